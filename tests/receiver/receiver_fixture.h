// A receiver test bed: an App on a temporary application folder with a
// manual clock and manual timers, its INI cache ready, and the parser and
// presence logic wired to it. Hooks record what they were asked to send.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
#include "receiver/data_monitor.h"
#include "receiver/device_table.h"
#include "receiver/presence.h"
#include "receiver/report_parser.h"
#include "support/app_options.h"
#include "support/test_support.h"

namespace tagvane::test {

struct ReceiverBed {
  explicit ReceiverBed(DateTime start = MakeDateTime(2026, 12, 5, 12, 0, 0))
      : clock(start), timers(clock), app(Options()), parser(app, monitor), presence(app) {
    app.InitXap();
    app.GetHooks().SendXapBSC = [this](const std::string& code, const std::string& cls) {
      bsc.push_back(code + " " + cls);
    };
    app.GetHooks().QueueScript = [this](const std::string& tag) { scripts.push_back(tag); };
  }

  AppOptions Options() {
    return test::TestAppOptions(dir.Path(), &clock, &timers);
  }

  // An enrolled device of this receiver for tag id, loaded as at start-up.
  DevicePtr Enrol(const std::string& id, const std::string& properties_tail = "") {
    const std::string code = MakeDeviceCode(app, "", id);
    SetIniSectionValue(app, "RFIDUnits", "0", code,
                       properties_tail.empty() ? code +
                                                     "~0~~False~~~~False~False~False~10~~Switch~"
                                                     "True~1~1~50~50~0~0"
                                               : properties_tail);
    return *app.Tables().DeviceTable.Find(code);
  }

  std::vector<std::string> LogTexts() const {
    std::vector<std::string> out;
    for (const auto& e : const_cast<App&>(app).Log().Recent()) out.push_back(e.text);
    return out;
  }
  size_t CountLog(const std::string& text) const {
    size_t n = 0;
    for (const auto& t : LogTexts()) n += t == text;
    return n;
  }

  TempDir dir;
  ManualClock clock;
  ManualTimerService timers;
  App app;
  DataMonitor monitor;
  ReportParser parser;
  PresenceLogic presence;
  std::vector<std::string> bsc;
  std::vector<std::string> scripts;
};

}  // namespace tagvane::test
