#include "core/failure.h"

#include "core/logger.h"

namespace tagvane {

std::string ErrorPart(const Failure* failure) {
  if (!failure) return {};
  return " Line " + std::to_string(failure->line) + " " + failure->description;
}

Failure MakeFailure(const std::exception& e, const std::source_location& where) {
  return Failure{1, static_cast<int>(where.line()), e.what()};
}

Failure MakeUnknownFailure(const std::source_location& where) {
  return Failure{1, static_cast<int>(where.line()), "Unknown error"};
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
