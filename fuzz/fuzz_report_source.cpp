// Feeds arbitrary BSC report sources to TagwellReceived's address handling
// and to TagwellReceived itself on a real (unbound) daemon: no failure, and
// no device may appear under a code that is not a clean 16-character code.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "core/app.h"
#include "xap/xap_incoming.h"
#include "xap/xap_service.h"

namespace {

struct Daemon {
  Daemon() {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "tagvane-fuzz-source";
    std::filesystem::create_directories(dir / "Config");
    tagvane::AppOptions options;
    options.app_dir = dir;
    options.computer_name = "FUZZ";
    options.clock = &clock;
    options.timers = &timers;
    app = std::make_unique<tagvane::App>(options);
    tagvane::XapTransportOptions xap;
    xap.hub_port = 9;  // never bound: nothing is sent
    service = &tagvane::InstallXap(*app, xap);
    app->InitXap();
  }
  tagvane::ManualClock clock;
  tagvane::ManualTimerService timers{clock};
  std::unique_ptr<tagvane::App> app;
  tagvane::XapService* service = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Daemon daemon;
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  std::string location;
  std::string code;
  if (tagvane::SplitReportSource(source, location, code)) {
    if (code.size() != 16) __builtin_trap();
    for (char c : code) {
      if (c < 0x20 || c == '=' || c == '[' || c == ']' || c == '~') __builtin_trap();
    }
  }
  auto& table = daemon.app->Tables().DeviceTable;
  if (table.size() > 2000) table.Clear();
  daemon.service->Incoming().TagwellReceived(source, "on", "75");
  for (const auto& [key, device] : table) {
    if (key.size() != 16) __builtin_trap();
  }
  return 0;
}
