// Spawned jobs: the time from Launch to the job's exit status being
// collected on the event loop, for one job and for 16 started together. The
// runner is a shell script that exits at once, so the figures are the
// launcher's and the system's cost, not a job's work.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <vector>

#include "core/clock.h"
#include "core/event_loop.h"
#include "core/logger.h"
#include "scratch_dir.h"
#include "scripting/job_processes.h"

namespace tagvane {
namespace {

std::filesystem::path WriteRunner(const std::filesystem::path& dir) {
  const auto runner = dir / "runner.sh";
  std::ofstream(runner) << "#!/bin/sh\nexit 0\n";
  chmod(runner.c_str(), 0755);
  return runner;
}

struct JobBench {
  void PumpUntilIdle() {
    while (launcher.Running() > 0) loop.PumpFor(std::chrono::milliseconds(50));
  }
  ScratchDir scratch;
  std::filesystem::path runner = WriteRunner(scratch.Path());
  EventLoop loop;
  SystemClock clock;
  bool debug = false;
  Logger log{clock, debug};
  ProcessJobLauncher launcher{loop.Io(), log, runner,
                              [] { return MakeJobEnvironment(8017, "token", "/tmp"); }};
};

void BM_JobLaunchToReaped(benchmark::State& state) {
  JobBench b;
  for (auto _ : state) {
    auto job = b.launcher.Launch(b.scratch.Path() / "~Job.wsf");
    if (!job) state.SkipWithError("not started");
    b.PumpUntilIdle();
  }
}
BENCHMARK(BM_JobLaunchToReaped)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_SixteenJobsLaunchToReaped(benchmark::State& state) {
  JobBench b;
  for (auto _ : state) {
    for (size_t i = 0; i < ProcessJobLauncher::kMaxRunning; ++i) {
      if (!b.launcher.Launch(b.scratch.Path() / "~Job.wsf")) state.SkipWithError("not started");
    }
    b.PumpUntilIdle();
  }
}
BENCHMARK(BM_SixteenJobsLaunchToReaped)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tagvane
