// What the activity indicator and the data monitor cost the receiver path:
// ProcessCommData with the indicator blinking on every block, with and
// without a monitor page polling twice a second; and the size and cost of
// one /monitor/data answer from a full 10,000-character monitor.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "core/app.h"
#include "receiver/data_monitor.h"
#include "receiver/device_table.h"
#include "receiver/report_parser.h"
#include "ui/monitor_page.h"
#include "ui/tray_icon.h"

namespace tagvane {
namespace {

// A receiver that only lends the page the parser's monitor.
class MonitorOnly final : public ReceiverPort {
 public:
  explicit MonitorOnly(DataMonitor& m) : monitor_(m) {}
  bool InitCommPort(const std::string&) override { return false; }
  void InitRFID() override {}
  void LoadDevices() override {}
  void SendToReceiver(std::string_view) override {}
  void Close() override {}
  DataMonitor* Monitor() override { return &monitor_; }

 private:
  DataMonitor& monitor_;
};

struct Bed {
  Bed() : timers(clock), app(Options()), parser(app, monitor), indicator(timers), page(app, indicator) {
    app.SetReceiver(std::make_unique<MonitorOnly>(monitor));
    app.InitXap();
    for (int i = 0; i < 10; ++i) {
      char id[8];
      std::snprintf(id, sizeof id, "%04X", i);
      const std::string code = MakeDeviceCode(app, "", id);
      SetIniSectionValue(app, "RFIDUnits", "0", code,
                         code + "~3~Tag" + std::to_string(i) +
                             "~False~~Room~01~False~False~False~10~~Switch~True~1~1~50~50~0~0");
    }
    BuildTagDictionary(app);
    app.GetHooks().SwapIcons = [this] { indicator.SwapIcons(); };
    indicator.SetUp("RFID Bench");
  }
  AppOptions Options() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tagvane-bench-XXXXXX").string();
    dir = mkdtemp(tmpl.data()) ? tmpl : std::string();
    AppOptions o;
    o.app_dir = dir;
    o.computer_name = "BENCH";
    o.clock = &clock;
    o.timers = &timers;
    return o;
  }
  ~Bed() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::filesystem::path dir;
  ManualClock clock;
  ManualTimerService timers;
  App app;
  DataMonitor monitor;
  ReportParser parser;
  ActivityIndicator indicator;
  MonitorPage page;
};

// Chunks of reports_per_chunk reports of ten tags, with or without the
// indicator's blink on every block; the page (when polling)
// asks for the new text every 500 ms of wall time, as the browser does.
void BM_ProcessCommDataIndicator(benchmark::State& state) {
  const int per_chunk = static_cast<int>(state.range(0));
  const bool polling = state.range(1) != 0;
  Bed bed;
  // indicator 0: the hook does nothing, the receiver path alone.
  if (state.range(2) == 0) bed.app.GetHooks().SwapIcons = [] {};
  std::string chunk;
  for (int r = 0; r < per_chunk; ++r) chunk += "000" + std::to_string(r % 10) + "55 ";
  std::string seq;
  auto last_poll = std::chrono::steady_clock::now();
  uint64_t polls = 0;
  size_t answer_bytes = 0;
  for (auto _ : state) {
    bed.parser.ProcessCommData(chunk, 2);
    if (polling && std::chrono::steady_clock::now() - last_poll >= std::chrono::milliseconds(500)) {
      last_poll = std::chrono::steady_clock::now();
      const std::string json = bed.page.DataJson(seq);
      answer_bytes += json.size();
      seq = std::to_string(bed.page.Monitor().Appended());
      ++polls;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * per_chunk);
  state.counters["polls"] = static_cast<double>(polls);
  state.counters["bytes_a_poll"] = polls ? static_cast<double>(answer_bytes) / polls : 0;
  state.counters["blinks"] = static_cast<double>(bed.indicator.Blinks());
}
BENCHMARK(BM_ProcessCommDataIndicator)
    ->ArgNames({"reports_per_chunk", "polling", "indicator"})
    ->Args({1, 0, 0})
    ->Args({1, 0, 1})
    ->Args({1, 1, 1})
    ->Args({1000, 0, 0})
    ->Args({1000, 0, 1})
    ->Args({1000, 1, 1})
    ->MinTime(2.0);

// One answer from a full monitor: the whole text (a page that just opened)
// and the newest line only (a page that keeps up).
void BM_MonitorDataFull(benchmark::State& state) {
  const bool whole = state.range(0) != 0;
  Bed bed;
  DataMonitor& monitor = bed.page.Monitor();
  for (int i = 0; monitor.CommData().size() < DataMonitor::kCommDataLimit; ++i) {
    monitor.AppendCommData("06:42:27", "(0.2)\t0001 \tRoom                \t 55\t 55.0\t100\tON");
  }
  const std::string since =
      whole ? std::string() : std::to_string(monitor.Appended() - 60);
  size_t size = 0;
  for (auto _ : state) {
    const std::string json = bed.page.DataJson(since);
    size = json.size();
    benchmark::DoNotOptimize(json.data());
  }
  state.counters["answer_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_MonitorDataFull)->ArgNames({"whole"})->Arg(1)->Arg(0);

}  // namespace
}  // namespace tagvane
