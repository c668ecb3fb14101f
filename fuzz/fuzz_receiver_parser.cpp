// Fuzzes the receiver parser: the input is cut into chunks (each byte below
// 8 ends a chunk and picks its event code), fed to ProcessCommData, and the
// parser's invariants are checked after every input: no identifier that
// could break the INI layout becomes a device, and every device reads back
// from the saved text.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/app.h"
#include "core/ini_tool.h"
#include "receiver/data_monitor.h"
#include "receiver/device_table.h"
#include "receiver/presence.h"
#include "receiver/report_parser.h"
#include "receiver/rfid_device.h"

namespace {

struct Bed {
  Bed() : timers(clock), app(Options()), parser(app, monitor), presence(app) {
    app.InitXap();
    app.GetSettings().UseSQL = 1;
  }
  tagvane::AppOptions Options() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tagvane-fuzz-XXXXXX").string();
    dir = mkdtemp(tmpl.data()) ? tmpl : "/tmp";
    tagvane::AppOptions o;
    o.app_dir = dir;
    o.computer_name = "FUZZ";
    o.clock = &clock;
    o.timers = &timers;
    return o;
  }
  std::string dir;
  tagvane::ManualClock clock;
  tagvane::ManualTimerService timers;
  tagvane::App app;
  tagvane::DataMonitor monitor;
  tagvane::ReportParser parser;
  tagvane::PresenceLogic presence;
};

Bed& TheBed() {
  static Bed* bed = new Bed();
  return *bed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bed& bed = TheBed();
  auto& tables = bed.app.Tables();
  if (tables.DeviceTable.size() > 300) {
    tables.DeviceTable.Clear();
    tables.TagTable.Clear();
    tables.OffTimerList.clear();
    tables.OffTimerCount = 0;
    bed.app.Ini().ClearINISection("RFIDUnits", "Tagvane.ini");
  }
  bed.app.GetSettings().ignorestatus = size > 0 && data[0] == 'I';
  // A reading may arrive from inside the loop, as from a pumped wait.
  bed.app.GetHooks().RecordReading = [&](const std::string& id, int16_t) {
    if (id == "RRRR") bed.parser.ProcessCommData("AB12 ", 2);
  };
  std::string chunk;
  for (size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (data[i] < 8) {
      bed.parser.ProcessCommData(chunk, data[i] % 4);
      chunk.clear();
    } else {
      chunk += c;
    }
  }
  bed.parser.ProcessCommData(chunk, 2);
  const auto& state = bed.app.State();
  if (state.ProcessingData) std::abort();
  if (state.ReceiveBuffer.size() > tagvane::ReportParser::kPendingLimit + 8) std::abort();
  if (state.ReceiveBuffer.find(' ') != std::string::npos && state.ReceiveBuffer.size() >= 5) {
    std::abort();  // a complete report was left unconsumed
  }
  if (bed.monitor.CommData().size() > tagvane::DataMonitor::kCommDataLimit) std::abort();
  for (const auto& [code, device] : tables.DeviceTable) {
    if (code.size() != 16) std::abort();
    if (!tagvane::IsTagIdentifier(std::string_view(code).substr(12))) std::abort();
  }
  // Every device reads back from the text its INI file would hold.
  if (tagvane::IniTool* store = bed.app.Ini().Store("Tagvane.ini")) {
    tagvane::IniTool reread;
    reread.Parse(store->Render());
    for (const auto& [code, device] : tables.DeviceTable) {
      if (reread.Read("RFIDUnits", code, "").empty()) std::abort();
    }
  }
  bed.clock.Advance(std::chrono::milliseconds(3000));
  for (const auto& [code, device] : tables.DeviceTable) tagvane::SetupDelayTimer(bed.app, device);
  bed.presence.OffTimer_Timer();
  return 0;
}
