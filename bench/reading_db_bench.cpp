// Reading database throughput: rows per second through the daemon's path
// (ReadingDatabase) into SQLite and PostgreSQL beside the stock tools (the
// sqlite3 shell with the same transactions, psql \copy of the same rows),
// ProcessCommData with UseSQL 0, 1 and 2, and the file size per million
// readings. PostgreSQL figures need TAGVANE_PG_SOURCE (bench/reading_db.sh
// starts a private server and sets it).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "scratch_dir.h"
#include "core/app.h"
#include "database/reading_database.h"
#include "database/reading_text.h"
#include "receiver/data_monitor.h"
#include "receiver/device_table.h"
#include "receiver/report_parser.h"
#include "receiver/rfid_device.h"

namespace tagvane {
namespace {

constexpr int kRows = 100000;       // rows per iteration
constexpr int kTransaction = 1000;  // rows per transaction

const char* PgSource() { return std::getenv("TAGVANE_PG_SOURCE"); }

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
      char id[8];
      std::snprintf(id, sizeof id, "B%03d", i);
      const std::string code = MakeDeviceCode(app, "", id);
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
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
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
void WriteRowsThroughDaemon(Bed& bed, bool pump_per_transaction) {
  for (int i = 0; i < kRows; i += kTransaction) {
    for (int j = 0; j < kTransaction; ++j) bed.db->RecordReading("B000", static_cast<int16_t>(j));
    if (pump_per_transaction) bed.app.Loop().Pump();
  }
  bed.WaitIdle();
}

void BM_SqliteDaemonPath(benchmark::State& state) {
  Bed bed(1);
  for (auto _ : state) WriteRowsThroughDaemon(bed, true);
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_SqliteDaemonPath)->Unit(benchmark::kMillisecond)->UseRealTime();

// The sqlite3 shell running the same rows, kTransaction per transaction, into
// the same schema in WAL mode with the same synchronous setting.
void BM_Sqlite3Tool(benchmark::State& state) {
  ScratchDir dir;
  const auto db = dir.path / "tool.db";
  const auto script = dir.path / "rows.sql";
  {
    std::ofstream out(script);
    out << "PRAGMA journal_mode=WAL;\nPRAGMA synchronous=NORMAL;\n"
           "CREATE TABLE IF NOT EXISTS tblB000 (ID INTEGER PRIMARY KEY AUTOINCREMENT, SampleDate "
           "TEXT NOT NULL, Strength INTEGER NULL);\n";
    const std::string date = StdTimeOf(MakeDateTime(2026, 12, 5, 14, 3, 7));
    for (int i = 0; i < kRows; i += kTransaction) {
      out << "BEGIN;\n";
      for (int j = 0; j < kTransaction; ++j) {
        out << "INSERT INTO tblB000 (SampleDate,Strength) VALUES ('" << date << "'," << j
            << ");\n";
      }
      out << "COMMIT;\n";
    }
  }
  const std::string command = "sqlite3 " + db.string() + " < " + script.string() + " > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("sqlite3 failed");
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_Sqlite3Tool)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PgDaemonPath(benchmark::State& state) {
  if (!PgSource()) return state.SkipWithError("TAGVANE_PG_SOURCE not set");
  Bed bed(2);
  if (!bed.db->Available()) return state.SkipWithError("server not reachable");
  for (auto _ : state) WriteRowsThroughDaemon(bed, false);
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_PgDaemonPath)->Unit(benchmark::kMillisecond)->UseRealTime();

// psql's \copy of the same rows into a table of the same schema.
void BM_PsqlCopy(benchmark::State& state) {
  if (!PgSource()) return state.SkipWithError("TAGVANE_PG_SOURCE not set");
  ScratchDir dir;
  const auto rows = dir.path / "rows.txt";
  {
    std::ofstream out(rows);
    const std::string date = StdTimeOf(MakeDateTime(2026, 12, 5, 14, 3, 7));
    for (int j = 0; j < kRows; ++j) out << date << '\t' << (j % kTransaction) << '\n';
  }
  const std::string psql = std::string("psql -q \"") + PgSource() + " dbname=qbxrfid\" -c ";
  // An existing table is fine, so the answer is not looked at.
  [[maybe_unused]] const int created = std::system((psql + "'CREATE TABLE IF NOT EXISTS tblcopy (ID integer GENERATED BY DEFAULT AS "
                      "IDENTITY, SampleDate timestamp NOT NULL, Strength integer NULL, PRIMARY "
                      "KEY (ID))' > /dev/null")
                  .c_str());
  const std::string command = psql + "\"\\copy tblcopy (SampleDate, Strength) FROM '" +
                              rows.string() + "'\" > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("psql failed");
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_PsqlCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

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
    const char* ids[] = {"B000", "B001", "B002", "B003", "B004",
                         "B005", "B006", "B007", "B008", "B009"};
    for (int i = 0; i < 1000000; i += kTransaction) {
      for (int j = 0; j < kTransaction; ++j) {
        bed.db->RecordReading(ids[j % 10], static_cast<int16_t>(40 + j % 60));
      }
      bed.app.Loop().Pump();
    }
    bed.app.Shutdown();  // closes the store: the WAL is folded into the file
    const auto file = bed.dir.path / "Data/Tagvane/qbxRFID.db";
    state.counters["MB_per_million"] =
        static_cast<double>(std::filesystem::file_size(file)) / 1e6;
  }
}
BENCHMARK(BM_SqliteFileSizePerMillion)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tagvane
