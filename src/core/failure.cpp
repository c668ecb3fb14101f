#include "core/failure.h"

#include "core/logger.h"

namespace tagvane {

std::string ErrorPart(const Failure* failure) {
  if (!failure) return {};
  return " Line " + std::to_string(failure->line) + " " + failure->description;
}

Failure MakeFailure(const std::exception& e, SourceLine where) {
  return Failure{1, where.line, e.what()};
}

Failure MakeUnknownFailure(SourceLine where) {
  return Failure{1, where.line, "Unknown error"};
}

void ReportFailure(Logger& log, std::string_view label, const Failure& failure, bool trace_only) {
  try {
    if (trace_only) {
      log.WriteTrace(kProductSource, label, &failure);
    } else {
      log.LogEvent(kProductSource, label, &failure);
    }
  } catch (...) {
    // Reporting must never fail the caller.
  }
}

}  // namespace tagvane
