// The options of an App under test (its own folder, the computer "HOMEPC",
// the manual clock and timers and a call trace when given), and a test
// fixture holding all of them.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string_view>

#include "core/app.h"
#include "core/dates.h"
#include "support/test_support.h"

namespace tagvane::test {

inline AppOptions TestAppOptions(const std::filesystem::path& dir, const Clock* clock = nullptr,
                                 TimerService* timers = nullptr, CallTrace* trace = nullptr) {
  AppOptions o;
  o.app_dir = dir;
  o.exe_path = (dir / "bin/tagvane").string();
  o.computer_name = "HOMEPC";
  o.clock = clock;
  o.timers = timers;
  o.call_trace = trace;
  return o;
}

// How many of the App's event-log entries contain part.
inline size_t LogCount(App& app, std::string_view part) {
  size_t n = 0;
  for (const auto& e : app.Log().Recent()) n += e.text.find(part) != std::string::npos;
  return n;
}

// An App's folder, manual clock (5 Dec 2026 06:42:27) and timers, and the
// trace of the do-nothing subsystems' calls.
class AppTest : public ::testing::Test {
 protected:
  AppOptions Options() { return TestAppOptions(dir_.Path(), &clock_, &timers_, &trace_); }
  std::filesystem::path Ini() { return dir_ / "Config/Tagvane.ini"; }

  TempDir dir_;
  ManualClock clock_{MakeDateTime(2026, 12, 5, 6, 42, 27)};
  ManualTimerService timers_{clock_};
  CallTrace trace_;
};

}  // namespace tagvane::test
