// The one failure convention: a procedure that fails logs one entry named
// after itself (with the error part " Line <n> <description>") and goes on
// with its next step. Guard() wraps one step; no exception reaches the loop.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace tagvane {

// The source line of a call site (works with both g++ and clang, whose
// standard library support for std::source_location differs).
struct SourceLine {
  int line = 0;
  static constexpr SourceLine Current(int line = __builtin_LINE()) { return SourceLine{line}; }
};

// A failure still pending while its handler writes the log entry.
struct Failure {
  int number = 1;
  int line = 0;
  std::string description;
};

// " Line <line> <description>", or "" when there is no failure.
std::string ErrorPart(const Failure* failure);

class Logger;

// Runs step(); on an exception writes LogEvent(source, label) with the error
// part and returns false. The line reported is the guard's own call site.
template <typename F>
bool Guard(Logger& log, std::string_view label, F&& step,
           SourceLine where = SourceLine::Current());

// Same, but reports through WriteTrace (the few low-level routines that write
// their failures to the trace file).
template <typename F>
bool GuardTrace(Logger& log, std::string_view label, F&& step,
                SourceLine where = SourceLine::Current());

Failure MakeFailure(const std::exception& e, SourceLine where);
Failure MakeUnknownFailure(SourceLine where);
void ReportFailure(Logger& log, std::string_view label, const Failure& failure, bool trace_only);

template <typename F>
bool Guard(Logger& log, std::string_view label, F&& step, SourceLine where) {
  try {
    step();
    return true;
  } catch (const std::exception& e) {
    ReportFailure(log, label, MakeFailure(e, where), false);
  } catch (...) {
    ReportFailure(log, label, MakeUnknownFailure(where), false);
  }
  return false;
}

template <typename F>
bool GuardTrace(Logger& log, std::string_view label, F&& step, SourceLine where) {
  try {
    step();
    return true;
  } catch (const std::exception& e) {
    ReportFailure(log, label, MakeFailure(e, where), true);
  } catch (...) {
    ReportFailure(log, label, MakeUnknownFailure(where), true);
  }
  return false;
}

}  // namespace tagvane
