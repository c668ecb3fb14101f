// INI store: load, read, write and save a tag table of 5,000 records
// (10,000 keys) of realistic length.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fmt/format.h>

#include "core/ini_cache.h"
#include "core/logger.h"

namespace tagvane {
namespace {

std::filesystem::path BenchDir() {
  auto dir = std::filesystem::temp_directory_path() / "tagvane-bench-ini";
  std::filesystem::create_directories(dir / "Config");
  return dir;
}

// A Tagvane.ini with n tag records split over two sections.
std::string MakeFile(int records) {
  std::string text = "[RFID]\r\nDebugLog=false\r\n[RFIDUNITS]\r\n";
  for (int i = 0; i < records; ++i) {
    text += fmt::format(
        "______{:04X}=Kitchen_{}~Ground floor~{:04X}~2~100~True~1~05/12/2026 06:42:27~80~3~"
        "True~False~0~0~75~Hall~_____Hall~0~0~0\r\n",
        i, i, i);
  }
  text += "[TAGS]\r\n";
  for (int i = 0; i < records; ++i) text += fmt::format("Tag{:05}={:04X}\r\n", i, i);
  return text;
}

struct Fixture {
  Fixture() : log(clock, debug), dir(BenchDir()) {}
  ManualClock clock;
  bool debug = false;
  Logger log;
  std::filesystem::path dir;
};

void BM_IniLoad(benchmark::State& state) {
  Fixture f;
  const int records = static_cast<int>(state.range(0));
  const std::string text = MakeFile(records);
  std::FILE* out = std::fopen((f.dir / "Config/Load.ini").c_str(), "wb");
  std::fwrite(text.data(), 1, text.size(), out);
  std::fclose(out);
  for (auto _ : state) {
    IniTool tool;
    tool.Load(f.dir / "Config/Load.ini");
    benchmark::DoNotOptimize(tool.EntryCount());
  }
  state.SetItemsProcessed(state.iterations() * records * 2);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_IniLoad)->Arg(5000)->Unit(benchmark::kMillisecond);

void BM_IniReadThroughCache(benchmark::State& state) {
  Fixture f;
  IniCache cache(f.dir / "Config", f.log);
  const std::string text = MakeFile(5000);
  std::FILE* out = std::fopen((f.dir / "Config/Read.ini").c_str(), "wb");
  std::fwrite(text.data(), 1, text.size(), out);
  std::fclose(out);
  std::vector<std::string> keys;
  for (int i = 0; i < 5000; ++i) keys.push_back(fmt::format("Tag{:05}", i));
  for (auto _ : state) {
    for (const auto& k : keys) {
      benchmark::DoNotOptimize(cache.GetIniSetting("Tags", k, "", "Read.ini"));
      benchmark::DoNotOptimize(cache.GetIniSetting("RFIDUnits", k, "", "Read.ini"));
    }
  }
  state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_IniReadThroughCache)->Unit(benchmark::kMillisecond);

void BM_IniWriteAndSave(benchmark::State& state) {
  Fixture f;
  const int records = static_cast<int>(state.range(0));
  std::vector<std::pair<std::string, std::string>> rows;
  for (int i = 0; i < records; ++i) {
    rows.emplace_back(fmt::format("______{:04X}", (i * 7919) % 65536),
                      fmt::format("Kitchen_{}~Ground floor~{:04X}~2~100~True~1~05/12/2026 "
                                  "06:42:27~80~3~True~False~0~0~75~Hall~_____Hall~0~0~0",
                                  i, i));
  }
  for (auto _ : state) {
    IniCache cache(f.dir / "Config", f.log);
    for (const auto& [k, v] : rows) {
      cache.SaveIniSetting("RFIDUnits", k, v, "Save.ini");
      cache.SaveIniSetting("Tags", v.substr(0, 12), k, "Save.ini");
    }
    cache.FlushIniCache();
  }
  state.SetItemsProcessed(state.iterations() * records * 2);
  state.SetComplexityN(records * 2);
}
BENCHMARK(BM_IniWriteAndSave)
    ->Arg(1250)->Arg(2500)->Arg(5000)->Arg(10000)
    ->Complexity(benchmark::oNLogN)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tagvane
