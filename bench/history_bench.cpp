// The cost of answering one history question once the reading database has
// answered: the chart (inline SVG) alone, the whole page body with the chart
// and the turn table, and the JSON of /api/history, each for 10,000
// readings (the cap) over 24 hours and 36 turns. Goal: under 50 ms each.
// The reference is the same readings written as plain "time,strength" lines
// in the same run: what any answer that names every reading must at least do.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "api/api_history.h"
#include "core/app.h"
#include "core/dates.h"
#include "receiver/device_table.h"
#include "receiver/rfid_device.h"
#include "web/history_page.h"
#include "web/history_svg.h"
#include "web/page_chrome.h"
#include "scratch_app.h"

namespace {

using namespace tagvane;

constexpr int kReadings = 10000;
constexpr int kTurns = 36;

struct Bed {
  ScratchApp scratch{"[RFID]\r\nHTTPPort=\r\nUseSQL=1\r\n"};
  ManualClock& clock = scratch.clock;
  std::unique_ptr<App>& app = scratch.app;
  std::unique_ptr<PageChrome> chrome;
  std::unique_ptr<HistoryPage> page;
  HistoryAsk ask;
  HistoryResult result;

  Bed() {
    chrome = std::make_unique<PageChrome>(*app, scratch.dir.path / "html");
    page = std::make_unique<HistoryPage>(*app, *chrome);

    auto device = NewRFIDDevice(*app);
    device->SetDC("____________1A2B");
    device->SetTag("Keys");
    device->SetLocation("Hall");
    app->Tables().DeviceTable.Add(device->DC(), device);
    ask.device = device;
    ask.tag_text = "Keys";
    ask.query.to = clock.Now();
    ask.query.from = ask.query.to - std::chrono::hours(24);
    ask.query.tag_id = "1A2B";

    // A reading about every 8.5 s, with a quiet stretch after every 1,000th
    // (the line breaks there), strengths wandering between 20 and 99.
    result.ok = true;
    const Milliseconds step{24 * 3600 * 1000 / (kReadings + 200)};
    for (int i = 0, slot = 0; i < kReadings; ++i, ++slot) {
      if (i % 1000 == 999) slot += 20;
      result.readings.push_back(
          {ask.query.from + step * slot, static_cast<int16_t>(20 + (i * 37) % 80)});
    }
    result.readings_in_window = result.readings.size();
    for (int i = 0; i < kTurns; ++i) {
      result.turns.push_back({ask.query.from + std::chrono::minutes(40 * i + 3), i % 2 == 0,
                              i % 2 == 0 ? 100 : 0, "Keys", "Hall"});
    }
  }
  ~Bed() {
    page.reset();
    chrome.reset();
  }
};

Bed& TheBed() {
  static Bed bed;
  return bed;
}

void Report(benchmark::State& state, size_t bytes) {
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["readings"] = static_cast<double>(TheBed().result.readings.size());
}

void BM_HistorySvg(benchmark::State& state) {
  Bed& bed = TheBed();
  size_t bytes = 0;
  for (auto _ : state) {
    HistoryChart chart;
    chart.from = bed.ask.query.from;
    chart.to = bed.ask.query.to;
    chart.readings = &bed.result.readings;
    chart.bands = PresenceBands(bed.result.turns, bed.result.before, chart.from, chart.to, 2);
    chart.label = "Signal strength of Keys";
    const std::string svg = HistorySvg(chart);
    bytes = svg.size();
    benchmark::DoNotOptimize(svg.data());
  }
  Report(state, bytes);
}
BENCHMARK(BM_HistorySvg)->Unit(benchmark::kMillisecond);

void BM_HistoryPageBody(benchmark::State& state) {
  Bed& bed = TheBed();
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string body = bed.page->Body(bed.ask, bed.result, 24);
    bytes = body.size();
    benchmark::DoNotOptimize(body.data());
  }
  Report(state, bytes);
}
BENCHMARK(BM_HistoryPageBody)->Unit(benchmark::kMillisecond);

void BM_HistoryJson(benchmark::State& state) {
  Bed& bed = TheBed();
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string json = HistoryJson(bed.ask, bed.result);
    bytes = json.size();
    benchmark::DoNotOptimize(json.data());
  }
  Report(state, bytes);
}
BENCHMARK(BM_HistoryJson)->Unit(benchmark::kMillisecond);

// The reference: every reading as "dd/MM/yyyy HH:mm:ss,strength\n".
void BM_ReferencePlainLines(benchmark::State& state) {
  Bed& bed = TheBed();
  size_t bytes = 0;
  for (auto _ : state) {
    std::string out;
    out.reserve(bed.result.readings.size() * 24);
    for (const HistoryReading& r : bed.result.readings) {
      out += FormatGeneralDate(r.time);
      out += ',';
      out += std::to_string(r.strength);
      out += '\n';
    }
    bytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  Report(state, bytes);
}
BENCHMARK(BM_ReferencePlainLines)->Unit(benchmark::kMillisecond);

}  // namespace
