// Reading database throughput: rows per second through the daemon's path
// (ReadingDatabase) into SQLite and PostgreSQL at 10, 1,000 and 10,000 tags
// beside the stock tools with the same batching (the sqlite3 shell with the
// same transactions, psql running one COPY per table per batch),
// ProcessCommData with UseSQL 0, 1 and 2, and the file size per million
// readings. PostgreSQL figures need TAGVANE_PG_SOURCE (bench/reading_db.sh
// starts a private server and sets it).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/app.h"
#include "database/pg_store.h"
#include "database/reading_database.h"
#include "database/reading_text.h"
#include "receiver/data_monitor.h"
#include "receiver/device_table.h"
#include "receiver/report_parser.h"
#include "receiver/rfid_device.h"
#include "scratch_dir.h"

namespace tagvane {
namespace {

constexpr int kRows = 100000;       // rows per iteration
constexpr int kTransaction = 1000;  // rows per transaction

const char* PgSource() { return std::getenv("TAGVANE_PG_SOURCE"); }

// The tag identifier of tag i: B000, B001, ... (hexadecimal).
std::string TagId(int i) {
  char id[16];
  std::snprintf(id, sizeof id, "%04X", static_cast<unsigned>(0xB000 + i) & 0xFFFFu);
  return id;
}

// The rows of an iteration go to the tags in turn.
std::vector<std::string> TagIds(int tags) {
  std::vector<std::string> ids;
  for (int i = 0; i < tags; ++i) ids.push_back(TagId(i));
  return ids;
}

// An App on a scratch folder with the reading database installed. The real
// clock and loop: PostgreSQL is driven by the loop.
struct Bed {
  explicit Bed(int use_sql, int tags = 1) : app(Options()), parser(app, monitor) {
    app.InitXap();
    app.GetSettings().UseSQL = static_cast<int16_t>(use_sql);
    if (use_sql == 2 && PgSource()) app.GetSettings().SQLSource = PgSource();
    auto owned = std::make_unique<ReadingDatabase>(app);
    db = owned.get();
    app.GetHooks().RecordReading = [this](const std::string& id, int16_t s) {
      db->RecordReading(id, s);
    };
    app.SetDatabase(std::move(owned));
    for (int i = 0; i < tags; ++i) {
      const std::string code = MakeDeviceCode(app, "", TagId(i));
      SetIniSectionValue(app, "RFIDUnits", "0", code,
                         code + "~3~Tag" + std::to_string(i) +
                             "~False~~Room~01~False~False~False~10~~Switch~True~1~1~50~50~0~0");
    }
    db->Open();
    WaitIdle();
  }
  AppOptions Options() {
    AppOptions o;
    o.app_dir = dir.path;
    o.computer_name = "BENCH";
    return o;
  }
  void WaitIdle() {
    if (app.GetSettings().UseSQL == 0) return;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(600);
    while (!(db->Available() && db->Idle()) && std::chrono::steady_clock::now() < end) {
      app.Loop().PumpFor(std::chrono::milliseconds(1));
    }
  }
  ScratchDir dir;
  App app;
  DataMonitor monitor;
  ReportParser parser;
  ReadingDatabase* db = nullptr;
};

// SQLite: the loop runs after every kTransaction rows, so each transaction
// holds kTransaction rows as in the sqlite3 run. PostgreSQL: the rows are
// handed over as fast as they come and written in the daemon's batches (at
// most ReadingDatabase::kBatchLimit rows per COPY), against one \copy.
void WriteRowsThroughDaemon(Bed& bed, const std::vector<std::string>& ids,
                            bool pump_per_transaction) {
  for (int i = 0; i < kRows; i += kTransaction) {
    for (int j = 0; j < kTransaction; ++j) {
      bed.db->RecordReading(ids[(i + j) % ids.size()], static_cast<int16_t>(j));
    }
    if (pump_per_transaction) bed.app.Loop().Pump();
  }
  bed.WaitIdle();
}

// Seconds of CPU (user plus system) used so far by this process (the
// daemon's path runs in it) or by its finished children (the tools).
double CpuSeconds(int who) {
  rusage r{};
  getrusage(who, &r);
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// The CPU time of `who` over the object's life, per row, as counter `name`.
struct CpuPerRow {
  CpuPerRow(benchmark::State& state, int who, const char* name)
      : state_(state), who_(who), name_(name), start_(CpuSeconds(who)) {}
  ~CpuPerRow() {
    state_.counters[name_] =
        1e6 * (CpuSeconds(who_) - start_) / static_cast<double>(state_.iterations() * kRows);
  }
  benchmark::State& state_;
  int who_;
  const char* name_;
  double start_;
};

void BM_SqliteDaemonPath(benchmark::State& state) {
  const auto ids = TagIds(static_cast<int>(state.range(0)));
  Bed bed(1, static_cast<int>(ids.size()));
  {
    CpuPerRow cpu(state, RUSAGE_SELF, "cpu_us_per_row");
    for (auto _ : state) WriteRowsThroughDaemon(bed, ids, true);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_SqliteDaemonPath)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The sqlite3 shell running the same rows, kTransaction per transaction, into
// the same schema (one table per tag) in WAL mode with the same synchronous
// setting. The tool's CPU time is the child's (children_cpu_us_per_row).
void BM_Sqlite3Tool(benchmark::State& state) {
  const auto ids = TagIds(static_cast<int>(state.range(0)));
  ScratchDir dir;
  const auto db = dir.path / "tool.db";
  const auto script = dir.path / "rows.sql";
  {
    std::ofstream out(dir.path / "tables.sql");
    out << "PRAGMA journal_mode=WAL;\nBEGIN;\n";
    for (const std::string& id : ids) {
      out << "CREATE TABLE IF NOT EXISTS tbl" << id
          << " (ID INTEGER PRIMARY KEY AUTOINCREMENT, SampleDate TEXT NOT NULL, Strength "
             "INTEGER NULL);\n";
    }
    out << "COMMIT;\n";
  }
  {
    std::ofstream out(script);
    out << "PRAGMA synchronous=NORMAL;\n";
    const std::string date = StdTimeOf(MakeDateTime(2026, 12, 5, 14, 3, 7));
    for (int i = 0; i < kRows; i += kTransaction) {
      out << "BEGIN;\n";
      for (int j = 0; j < kTransaction; ++j) {
        out << "INSERT INTO tbl" << ids[(i + j) % ids.size()] << " (SampleDate,Strength) VALUES ('"
            << date << "'," << j << ");\n";
      }
      out << "COMMIT;\n";
    }
  }
  const std::string sqlite3 = "sqlite3 " + db.string() + " < ";
  if (std::system((sqlite3 + (dir.path / "tables.sql").string() + " > /dev/null").c_str()) != 0) {
    return state.SkipWithError("sqlite3 failed");
  }
  const std::string command = sqlite3 + script.string() + " > /dev/null";
  CpuPerRow cpu(state, RUSAGE_CHILDREN, "children_cpu_us_per_row");
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("sqlite3 failed");
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_Sqlite3Tool)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_PgDaemonPath(benchmark::State& state) {
  if (!PgSource()) return state.SkipWithError("TAGVANE_PG_SOURCE not set");
  const auto ids = TagIds(static_cast<int>(state.range(0)));
  Bed bed(2, static_cast<int>(ids.size()));
  if (!bed.db->Available()) return state.SkipWithError("server not reachable");
  {
    CpuPerRow cpu(state, RUSAGE_SELF, "cpu_us_per_row");
    for (auto _ : state) WriteRowsThroughDaemon(bed, ids, false);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_PgDaemonPath)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// psql running the same rows with the daemon's batching: transactions of at
// most ReadingDatabase::kBatchLimit rows and PgStore::kTablesPerWrite tables,
// one COPY per table in each, into tables of the same schema (made before
// the timing).
void BM_PsqlCopy(benchmark::State& state) {
  if (!PgSource()) return state.SkipWithError("TAGVANE_PG_SOURCE not set");
  const auto ids = TagIds(static_cast<int>(state.range(0)));
  ScratchDir dir;
  {
    std::ofstream out(dir.path / "tables.sql");
    out << "BEGIN;\n";
    for (const std::string& id : ids) {
      out << "CREATE TABLE IF NOT EXISTS tblcopy" << id
          << " (ID integer GENERATED BY DEFAULT AS IDENTITY, SampleDate timestamp NOT NULL, "
             "Strength integer NULL, PRIMARY KEY (ID));\n";
      if ((&id - ids.data()) % 200 == 199) out << "COMMIT;\nBEGIN;\n";
    }
    out << "COMMIT;\n";
  }
  const auto rows = dir.path / "rows.sql";
  {
    std::ofstream out(rows);
    const std::string date = StdTimeOf(MakeDateTime(2026, 12, 5, 14, 3, 7));
    const size_t batch = ReadingDatabase::kBatchLimit;
    for (size_t first = 0; first < static_cast<size_t>(kRows); first += batch) {
      const size_t end = std::min(first + batch, static_cast<size_t>(kRows));
      std::vector<std::string> per_table(ids.size());
      for (size_t j = first; j < end; ++j) {
        per_table[j % ids.size()] += date + '\t' + std::to_string(j % kTransaction) + '\n';
      }
      out << "BEGIN;\n";
      size_t tables = 0;
      for (size_t t = 0; t < ids.size(); ++t) {
        if (per_table[t].empty()) continue;
        if (tables++ == PgStore::kTablesPerWrite) out << "COMMIT;\nBEGIN;\n", tables = 1;
        out << "COPY tblcopy" << ids[t] << " (SampleDate, Strength) FROM STDIN;\n"
            << per_table[t] << "\\.\n";
      }
      out << "COMMIT;\n";
    }
  }
  const std::string psql =
      std::string("psql -q -v ON_ERROR_STOP=1 \"") + PgSource() + " dbname=qbxrfid\" -f ";
  if (std::system((psql + (dir.path / "tables.sql").string() + " > /dev/null").c_str()) != 0) {
    return state.SkipWithError("psql could not make the tables");
  }
  const std::string command = psql + rows.string() + " > /dev/null";
  CpuPerRow cpu(state, RUSAGE_CHILDREN, "children_cpu_us_per_row");
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("psql failed");
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_PsqlCopy)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Receiver reports per second, 20 reports of 10 tags in use per chunk, with
// the readings written as the daemon writes them.
void BM_ProcessCommData(benchmark::State& state) {
  const int use_sql = static_cast<int>(state.range(0));
  if (use_sql == 2 && !PgSource()) return state.SkipWithError("TAGVANE_PG_SOURCE not set");
  Bed bed(use_sql, 10);
  std::string chunk;
  for (int i = 0; i < 20; ++i) {
    char report[16];
    std::snprintf(report, sizeof report, "B%03d%d ", i % 10, 40 + i);
    chunk += report;
  }
  for (auto _ : state) {
    bed.parser.ProcessCommData(chunk, 2);
    bed.app.Loop().Pump();
  }
  bed.WaitIdle();
  state.SetItemsProcessed(state.iterations() * 20);
}
BENCHMARK(BM_ProcessCommData)->Arg(0)->Arg(1)->Arg(2)->UseRealTime();

// Size of the SQLite file after a million readings of ten tags.
void BM_SqliteFileSizePerMillion(benchmark::State& state) {
  for (auto _ : state) {
    Bed bed(1);
    const auto ids = TagIds(10);
    for (int i = 0; i < 1000000; i += kTransaction) {
      for (int j = 0; j < kTransaction; ++j) {
        bed.db->RecordReading(ids[j % 10], static_cast<int16_t>(40 + j % 60));
      }
      bed.app.Loop().Pump();
    }
    bed.app.Shutdown();  // closes the store: the WAL is folded into the file
    const auto file = bed.dir.path / "Data/Tagvane/qbxRFID.db";
    state.counters["MB_per_million"] = static_cast<double>(std::filesystem::file_size(file)) / 1e6;
  }
}
BENCHMARK(BM_SqliteFileSizePerMillion)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tagvane
