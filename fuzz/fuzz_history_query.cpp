// Fuzzes what /history and /api/history read from a request: the times of
// from= and to= (ParseHistoryTime) and the whole question (ReadHistoryAsk)
// on a real App with a few tags, in a zone with summer time. The input is
// split at '&' into name=value pairs, as the decoded query gives them. A
// question that is accepted must name a known tag and a window that is not
// empty and not longer than the longest allowed; a time that is read must be
// a whole second whose general date reads back as the same time.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "core/app.h"
#include "core/dates.h"
#include "receiver/device_table.h"
#include "receiver/rfid_device.h"
#include "web/history_query.h"

namespace {

struct Daemon {
  Daemon() {
    setenv("TZ", "Europe/London", 1);
    tzset();
    dir = std::filesystem::temp_directory_path() /
          ("tagvane-fuzz-history-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "Config");
    tagvane::AppOptions options;
    options.app_dir = dir;
    options.computer_name = "FUZZ";
    options.clock = &clock;
    options.timers = &timers;
    app = std::make_unique<tagvane::App>(options);
    // Keys and Bag on this receiver, and a second 1A2B heard by another.
    Add("____________1A2B", "Keys");
    Add("______" + app->State().ReceiverCode + "00C3", "Bag");
    Add("______Garage1A2B", "Keys elsewhere");
  }
  ~Daemon() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  void Add(const std::string& code, const std::string& name) {
    auto device = tagvane::NewRFIDDevice(*app);
    device->SetDC(code);
    device->SetTag(name);
    app->Tables().DeviceTable.Add(code, device);
    app->Tables().TagTable.Set(name, device);
  }
  std::filesystem::path dir;
  tagvane::ManualClock clock;
  tagvane::ManualTimerService timers{clock};
  std::unique_ptr<tagvane::App> app;
};

void CheckTime(std::string_view text) {
  const auto t = tagvane::ParseHistoryTime(text);
  if (!t) return;
  if (t->time_since_epoch() % std::chrono::seconds{1} != tagvane::Milliseconds{0}) __builtin_trap();
  const std::string general = tagvane::FormatGeneralDate(*t);
  const auto again = tagvane::ParseDate(general);
  if (!again || *again != *t) __builtin_trap();
  (void)tagvane::FormatIsoUtc(*t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Daemon daemon;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckTime(input);

  auto param = [input](std::string_view name) -> std::string {
    size_t start = 0;
    while (start <= input.size()) {
      size_t end = input.find('&', start);
      if (end == std::string_view::npos) end = input.size();
      const std::string_view pair = input.substr(start, end - start);
      const size_t eq = pair.find('=');
      if (eq != std::string_view::npos && pair.substr(0, eq) == name) {
        return std::string(pair.substr(eq + 1));
      }
      start = end + 1;
    }
    return "";
  };
  for (const char* name : {"from", "to"}) CheckTime(param(name));

  const auto read = tagvane::ReadHistoryAsk(*daemon.app, param);
  if (const auto* ask = std::get_if<tagvane::HistoryAsk>(&read)) {
    const tagvane::HistoryQuery& q = ask->query;
    if (!ask->device || q.tag_id.size() != 4) __builtin_trap();
    if (!(q.from < q.to) || q.to - q.from > tagvane::kLongestHistorySpan) __builtin_trap();
    if (q.max_readings != tagvane::kMaxHistoryReadings) __builtin_trap();
  } else {
    const auto& error = std::get<tagvane::HistoryAskError>(read);
    if (error.message.empty() || error.parameter.empty()) __builtin_trap();
  }
  return 0;
}
