// An App on a scratch folder with a manual clock and timers, for the
// benchmarks that drive the daemon's parts without its event loop; the
// folder holds Config/Tagvane.ini with the text given.
#pragma once

#include <fstream>
#include <memory>
#include <string_view>

#include "core/app.h"
#include "core/clock.h"
#include "core/timer.h"
#include "scratch_dir.h"

namespace tagvane {

struct ScratchApp {
  explicit ScratchApp(std::string_view ini) {
    std::filesystem::create_directories(dir.path / "Config");
    std::ofstream(dir.path / "Config/Tagvane.ini") << ini;
    AppOptions options;
    options.app_dir = dir.path;
    options.computer_name = "bench";
    options.clock = &clock;
    options.timers = &timers;
    app = std::make_unique<App>(options);
  }
  // Declared in this order so the App goes first and the folder last.
  ScratchDir dir;
  ManualClock clock;
  ManualTimerService timers{clock};
  std::unique_ptr<App> app;
};

}  // namespace tagvane
