// Scripts: the time from a presence decision (the QueueScript call it makes)
// to the first line of the user's Main on the real event loop; API calls
// from Lua against plain Lua calls in the same run; the engine's memory with
// the demo script and after 100,000 queued runs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <lua.hpp>
#include <vector>

#include "core/app.h"
#include "receiver/rfid_device.h"
#include "scripting/script_host.h"

namespace tagvane {
namespace {

constexpr const char* kDemoScript = R"(-- Tagvane's main script (Lua 5.4). Main(name) runs for every event.
function Main(name)
  if name == "" then return end
  local state = Request(name)
  if state == nil then return end
  WriteLog("Tag", name .. " is " .. state.value .. " since " .. state.lastchange)
end
)";

struct BenchApp {
  explicit BenchApp(const std::string& main_script, const Clock* clock = nullptr,
                    TimerService* timers = nullptr) {
    dir = std::filesystem::temp_directory_path() / "tagvane-bench-scripts";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "Scripts");
    std::filesystem::create_directories(dir / "Config");
    std::ofstream(dir / "Scripts/Tagvane.txt") << main_script;
    AppOptions options;
    options.app_dir = dir;
    options.computer_name = "BENCH";
    options.clock = clock;
    options.timers = timers;
    app = std::make_unique<App>(options);
    host = &InstallScripting(*app);
    app->Start();
    for (int i = 0; i < 10000; ++i) {
      auto d = std::make_shared<RFIDDevice>();
      const std::string code = "TAG" + std::to_string(100000 + i);
      d->SetDC(code);
      d->SetTag("Tag" + std::to_string(i));
      d->SetDeviceStatus(i % 2 ? kStatusOn : kStatusOff);
      app->Tables().DeviceTable.Set(code, d);
      app->Tables().TagTable.Set("Tag" + std::to_string(i), d);
    }
  }
  ~BenchApp() {
    app.reset();
    std::filesystem::remove_all(dir);
  }
  std::filesystem::path dir;
  std::unique_ptr<App> app;
  ScriptHost* host = nullptr;
};

using SteadyClock = std::chrono::steady_clock;
SteadyClock::time_point g_main_started;

void BM_DecisionToMain(benchmark::State& state) {
  BenchApp b("function Main(name) started() end\n");
  lua_register(b.host->Engine().State(), "started", [](lua_State*) {
    g_main_started = SteadyClock::now();
    return 0;
  });
  std::vector<double> latencies_ms;
  for (auto _ : state) {
    latencies_ms.clear();
    for (int i = 0; i < 1000; ++i) {
      g_main_started = {};
      const auto queued = SteadyClock::now();
      b.app->GetHooks().QueueScript("Tag1");  // what a presence decision calls
      while (g_main_started == SteadyClock::time_point{}) b.app->Loop().Pump();
      latencies_ms.push_back(
          std::chrono::duration<double, std::milli>(g_main_started - queued).count());
    }
  }
  std::sort(latencies_ms.begin(), latencies_ms.end());
  state.counters["median_ms"] = latencies_ms[latencies_ms.size() / 2];
  state.counters["p99_ms"] = latencies_ms[latencies_ms.size() * 99 / 100];
  state.counters["max_ms"] = latencies_ms.back();
}
BENCHMARK(BM_DecisionToMain)->Iterations(1)->Unit(benchmark::kMillisecond);

constexpr const char* kCallLoops = R"(
codes = {}
for i = 1, 10000 do codes[i] = "TAG" .. (100000 + i - 1) end
local function plain(dc) return 17 end
function ApiLoop()
  local s = 0
  for i = 1, 10000 do s = s + DeviceStatus(codes[i]) end
  return s
end
function PlainLoop()
  local s = 0
  for i = 1, 10000 do s = s + plain(codes[i]) end
  return s
end
function IniLoop()
  local n = 0
  for i = 1, 10000 do n = n + #GetIniSetting("RFID", "HTTPPort", "8017") end
  return n
end
)";

void RunLoop(benchmark::State& state, const char* procedure) {
  BenchApp b("");
  ScriptEngine& engine = b.host->Engine();
  const int module = engine.NewModule();
  ScriptError err;
  engine.AddCode(module, kCallLoops, "loops", &err);
  for (auto _ : state) {
    bool found = false;
    benchmark::DoNotOptimize(engine.Run(module, procedure, "", &found, &err));
  }
  state.SetItemsProcessed(state.iterations() * 10000);
}
void BM_LuaDeviceStatus(benchmark::State& state) { RunLoop(state, "ApiLoop"); }
void BM_LuaGetIniSetting(benchmark::State& state) { RunLoop(state, "IniLoop"); }
void BM_LuaPlainCall(benchmark::State& state) { RunLoop(state, "PlainLoop"); }
BENCHMARK(BM_LuaDeviceStatus)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LuaGetIniSetting)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LuaPlainCall)->Unit(benchmark::kMillisecond);

void BM_EngineMemory(benchmark::State& state) {
  ManualClock clock;
  ManualTimerService timers(clock);
  BenchApp b(kDemoScript, &clock, &timers);
  ScriptEngine& engine = b.host->Engine();
  lua_gc(engine.State(), LUA_GCCOLLECT);
  const double loaded = static_cast<double>(engine.MemoryInUse());
  double after = 0, after_10k = 0;
  for (auto _ : state) {
    for (int i = 0; i < 100000; ++i) {
      b.host->QueueScript("Tag" + std::to_string(i % 10000));
      if (i % 100 == 99) b.host->Queue().Tick();
      if (i == 9999) {
        lua_gc(engine.State(), LUA_GCCOLLECT);
        after_10k = static_cast<double>(engine.MemoryInUse());
      }
    }
    b.host->Queue().Tick();
    b.app->Outbox().FlushStartupQueue();
    lua_gc(engine.State(), LUA_GCCOLLECT);
    after = static_cast<double>(engine.MemoryInUse());
  }
  state.counters["demo_loaded_KiB"] = loaded / 1024;
  state.counters["after_10k_runs_KiB"] = after_10k / 1024;
  state.counters["after_100k_runs_KiB"] = after / 1024;
}
BENCHMARK(BM_EngineMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tagvane
