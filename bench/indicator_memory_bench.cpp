// Resident memory of the activity indicator over one million blinks, on the
// event loop's real timers: each blink is SwapIcons (the activity picture,
// Timer1 armed for 200 ms) and the end of the blink, as a fast receiver
// causes them. The reference keeps one 40-byte record per blink, the cost
// of an indicator that remembers every call it made; rss_growth_kB of the
// indicator should stay near 0 while the reference grows by about 40 MB.
//   build/bench/indicator_memory_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/event_loop.h"
#include "ui/tray_icon.h"

namespace tagvane {
namespace {

constexpr int kBlinks = 1'000'000;

double ResidentKiB() {
  long pages_total = 0, pages_resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
  std::fclose(f);
  return static_cast<double>(pages_resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0;
}

// The same loop keeping a record of every blink, for scale. It runs first:
// the heap it frees is one large block that goes back to the system.
void BM_ReferenceRecordPerBlink(benchmark::State& state) {
  struct Record {
    int operation;
    int picture;
    std::string tip;
  };
  for (auto _ : state) {
    std::vector<Record> records;
    const double before = ResidentKiB();
    for (int i = 0; i < kBlinks; ++i) {
      records.push_back({1, 2, "RFID Bench"});
      records.push_back({1, 1, "RFID Bench"});
    }
    state.counters["rss_growth_kB"] = ResidentKiB() - before;
    benchmark::DoNotOptimize(records.data());
  }
  state.SetItemsProcessed(state.iterations() * kBlinks);
}
BENCHMARK(BM_ReferenceRecordPerBlink)->Iterations(1)->Unit(benchmark::kMillisecond);


void BM_IndicatorMillionBlinks(benchmark::State& state) {
  for (auto _ : state) {
    EventLoop loop;
    ActivityIndicator indicator(loop.Timers());
    indicator.SetUp("RFID Bench location with a long name");
    const double before = ResidentKiB();
    for (int i = 0; i < kBlinks; ++i) {
      indicator.SwapIcons();
      indicator.Timer1_Timer();
      // The re-armed timer's cancelled wait completes on the loop.
      loop.Pump();
    }
    state.counters["rss_growth_kB"] = ResidentKiB() - before;
    benchmark::DoNotOptimize(indicator.Blinks());
  }
  state.SetItemsProcessed(state.iterations() * kBlinks);
}
BENCHMARK(BM_IndicatorMillionBlinks)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tagvane
