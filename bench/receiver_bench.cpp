// Receiver throughput: ProcessCommData with few and many known tags, in
// large and small chunks, and one off-timer pass over many devices.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include "scratch_dir.h"
#include "core/app.h"
#include "receiver/data_monitor.h"
#include "receiver/device_table.h"
#include "receiver/presence.h"
#include "receiver/report_parser.h"
#include "receiver/rfid_device.h"

namespace tagvane {
namespace {

std::string TagId(int i) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", i & 0xFFFF);
  return buf;
}

struct Bed {
  explicit Bed(int tags) : timers(clock), app(Options()), parser(app, monitor), presence(app) {
    app.InitXap();
    for (int i = 0; i < tags; ++i) {
      const std::string code = MakeDeviceCode(app, "", TagId(i));
      SetIniSectionValue(app, "RFIDUnits", "0", code,
                         code + "~3~Tag" + std::to_string(i) +
                             "~False~~Room~01~False~False~False~10~~Switch~True~1~1~50~50~0~0");
    }
    BuildTagDictionary(app);
  }
  AppOptions Options() {
    AppOptions o;
    o.app_dir = dir.Path();
    o.computer_name = "BENCH";
    o.clock = &clock;
    o.timers = &timers;
    return o;
  }
  ScratchDir dir;
  ManualClock clock;
  ManualTimerService timers;
  App app;
  DataMonitor monitor;
  ReportParser parser;
  PresenceLogic presence;
};

// Reports of every known tag in turn, reports_per_chunk to a chunk.
std::vector<std::string> Chunks(int tags, int reports_per_chunk, int chunk_count) {
  std::vector<std::string> chunks;
  int next = 0;
  for (int c = 0; c < chunk_count; ++c) {
    std::string chunk;
    for (int r = 0; r < reports_per_chunk; ++r) {
      chunk += TagId(next);
      chunk += std::to_string(40 + next % 50);
      chunk += ' ';
      next = (next + 1) % tags;
    }
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

void BM_ProcessCommData(benchmark::State& state) {
  const int tags = static_cast<int>(state.range(0));
  const int per_chunk = static_cast<int>(state.range(1));
  Bed bed(tags);
  const auto chunks = Chunks(tags, per_chunk, std::max(1, 20000 / per_chunk));
  size_t i = 0;
  uint64_t bytes = 0;
  for (auto _ : state) {
    const std::string& chunk = chunks[i++ % chunks.size()];
    bed.parser.ProcessCommData(chunk, 2);
    bytes += chunk.size();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * per_chunk);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["devices"] = static_cast<double>(bed.app.Tables().DeviceTable.size());
}
// 200 new tags reported one by one into a table of n stored devices (on
// disk, as at start-up). flush_each = 1 flushes the INI cache after every new
// device, as AddRFIDUnit used to; 0 is the coalesced flush (one timer tick).
void BM_NewTags(benchmark::State& state) {
  const int stored = static_cast<int>(state.range(0));
  const bool flush_each = state.range(1) != 0;
  Bed bed(stored);
  for (int i = 0; i < stored; ++i) {
    const std::string code = MakeDeviceCode(bed.app, "", TagId(i));
    bed.app.Ini().SaveIniSetting("RFIDUnits", code, (*bed.app.Tables().DeviceTable.Find(code))->Properties(),
                                 kSettingsFile);
  }
  bed.app.Ini().FlushIniCache();
  int next = stored;
  for (auto _ : state) {
    for (int i = 0; i < 200; ++i) {
      bed.parser.ProcessCommData(TagId(0x8000 + next++) + " ", 2);
      if (flush_each) bed.app.Ini().FlushIniCache();
    }
    bed.timers.Advance(std::chrono::milliseconds(App::kFlushDelayMs));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 200);
}
BENCHMARK(BM_NewTags)
    ->ArgsProduct({{1000, 5000, 20000}, {1, 0}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_ProcessCommData)
    ->ArgNames({"tags", "reports_per_chunk"})
    ->Args({10, 1000})
    ->Args({1000, 1000})
    ->Args({10000, 1000})
    ->Args({10, 1})
    ->Args({10000, 1});

// One pass in which every device moves (worst case: each one changes its
// figure, rebuilds its display text and looks for combined devices).
void BM_OffTimerPassMoving(benchmark::State& state) {
  const int tags = static_cast<int>(state.range(0));
  Bed bed(tags);
  const float now = SecondsSinceMidnight(bed.clock.Now());
  for (auto _ : state) {
    state.PauseTiming();
    for (auto& d : bed.app.Tables().OffTimerList) {
      d->SetFigureOfMerit(50);
      d->SetLastReceivedTimer(now);
    }
    state.ResumeTiming();
    bed.presence.OffTimer_Timer();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * tags);
}
BENCHMARK(BM_OffTimerPassMoving)->Arg(10000)->Unit(benchmark::kMicrosecond);

// A pass in which nothing changes (every tag steadily On).
void BM_OffTimerPassSteady(benchmark::State& state) {
  const int tags = static_cast<int>(state.range(0));
  Bed bed(tags);
  const float now = SecondsSinceMidnight(bed.clock.Now());
  for (auto& d : bed.app.Tables().OffTimerList) {
    d->SetFigureOfMerit(100);
    d->SetDeviceStatus(kStatusOn);
    d->SetLastReceivedTimer(now);
  }
  for (auto _ : state) bed.presence.OffTimer_Timer();
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * tags);
}
BENCHMARK(BM_OffTimerPassSteady)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tagvane
