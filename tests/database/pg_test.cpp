// The reading database on a real PostgreSQL server started by the tests:
// database and tables made on first start, rows through the daemon's loop,
// and a server that goes away for a few seconds while readings arrive.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "database/database_bed.h"
#include "database/pg_server.h"
#include "database/pg_store.h"
#include "support/app_options.h"

namespace tagvane::test {
namespace {

class PgReadings : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new PgServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server_->Error().empty()) << server_->Error();
    server_->Query("postgres", "DROP DATABASE IF EXISTS qbxrfid");
  }
  static PgServer* server_;
};
PgServer* PgReadings::server_ = nullptr;

// Pumps the real loop until done() or the bound (against hangs) passes.
bool PumpLoop(App& app, const std::function<bool()>& done) {
  return PumpUntil(done, [&] { app.Loop().PumpFor(std::chrono::milliseconds(10)); },
                   std::chrono::seconds(20));
}

// The same for a bed on a manual clock: the clock follows the real time so
// the write steps move on.
bool PumpBed(DatabaseBed& bed, const std::function<bool()>& done) {
  return PumpUntil(done, [&] {
    bed.app.Loop().PumpFor(std::chrono::milliseconds(10));
    bed.timers.Advance(std::chrono::milliseconds(10));
  }, std::chrono::seconds(60));
}

// An App in a folder of its own whose reading database is PostgreSQL at
// source, on the daemon's own clock and loop timers (retry pauses are real).
struct PgApp {
  explicit PgApp(const std::string& source) : app(TestAppOptions(dir.Path())) {
    app.InitXap();
    app.GetSettings().UseSQL = 2;
    app.GetSettings().SQLSource = source;
    auto owned = std::make_unique<ReadingDatabase>(app);
    db = owned.get();
    app.SetDatabase(std::move(owned));
    db->Open();
  }
  TempDir dir;
  App app;
  ReadingDatabase* db;
};

TEST(PgSource, ConnectionParameters) {
  using P = PgLink::Params;
  const auto has = [](const P& p, const std::string& k, const std::string& v) {
    for (const auto& [key, value] : p) {
      if (key == k && value == v) return true;
    }
    return false;
  };
  auto p = PgStore::ConnectionParams("host=localhost user=tagvane", "qbxrfid");
  EXPECT_TRUE(has(p, "dbname", "host=localhost user=tagvane"));
  EXPECT_TRUE(has(p, "dbname", "qbxrfid"));
  p = PgStore::ConnectionParams("dbserver", "qbxrfid");
  EXPECT_TRUE(has(p, "host", "dbserver"));
  EXPECT_TRUE(PgStore::SourceNamesDatabase("host=a dbname=other"));
  EXPECT_FALSE(PgStore::SourceNamesDatabase("host=a user=b"));
}

TEST_F(PgReadings, FirstStartCreatesTheDatabaseTablesAndRows) {
  DatabaseBed bed(2);
  bed.app.GetSettings().SQLSource = server_->Source();
  bed.Enrol("0001")->SetInUse(true);
  bed.Enrol("0002")->SetInUse(false);
  bed.Enrol("0003")->SetInUse(true);
  bed.db->Open();
  EXPECT_EQ(bed.db->DatabaseName(), "qbxrfid");
  ASSERT_TRUE(PumpBed(bed, [&] { return bed.db->Available() && bed.db->Idle(); }))
      << Join(bed.LogTexts(), "\n");
  EXPECT_EQ(server_->Query("postgres", "SELECT datname FROM pg_database WHERE datname='qbxrfid'"),
            std::vector<std::string>{"qbxrfid"});
  EXPECT_EQ(server_->Query("qbxrfid", "SELECT tablename FROM pg_tables WHERE schemaname='public' "
                                      "ORDER BY 1"),
            (std::vector<std::string>{"tbl0001", "tbl0003"}));
  EXPECT_EQ(bed.CountLog("Creating database table for Sensor tbl0003 in qbxrfid"), 1u);

  bed.clock.Set(MakeDateTime(2026, 3, 5, 9, 5, 3));
  bed.parser.ProcessCommData("000142 000257 0003 ", 2);
  bed.clock.Set(MakeDateTime(2026, 3, 6));
  bed.parser.ProcessCommData("00017 ", 2);
  ASSERT_TRUE(PumpBed(bed, [&] { return bed.db->Idle(); }));
  EXPECT_EQ(server_->Query("qbxrfid", "SELECT ID, SampleDate, Strength FROM tbl0001 ORDER BY ID"),
            (std::vector<std::string>{"1|2026-03-05 09:05:03|42", "2|2026-03-06 00:00:00|7"}));
  EXPECT_EQ(server_->Query("qbxrfid", "SELECT Strength FROM tbl0003"),
            std::vector<std::string>{"-1"});

  // A second start finds the database and its tables.
  bed.app.Shutdown();
  DatabaseBed again(2);
  again.app.GetSettings().SQLSource = server_->Source();
  again.Enrol("0001")->SetInUse(true);
  again.db->Open();
  ASSERT_TRUE(PumpBed(again, [&] { return again.db->Available() && again.db->Idle(); }));
  EXPECT_EQ(again.CountLog("Creating database table for Sensor tbl0001 in qbxrfid"), 0u);
  again.app.Shutdown();
}

TEST_F(PgReadings, AServerOutageLosesNoReadingAndKeepsTheirOrder) {
  PgApp bed(server_->Source());
  App& app = bed.app;
  ReadingDatabase& db = *bed.db;
  ASSERT_TRUE(PumpLoop(app, [&] { return db.Available(); })) << server_->Error();

  int next = 0;
  auto feed_for = [&](std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    // At most 10 readings per 10 ms, so the outage stays well inside the
    // buffer however fast the machine is.
    while (std::chrono::steady_clock::now() < end) {
      for (int i = 0; i < 10; ++i) db.RecordReading("0001", static_cast<int16_t>(next++ % 30000));
      const auto step_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
      while (std::chrono::steady_clock::now() < step_end) {
        app.Loop().PumpFor(std::chrono::milliseconds(2));
      }
    }
  };
  feed_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(server_->Stop());
  // Long enough for the wait between attempts to reach its cap of 10 s.
  feed_for(std::chrono::seconds(16));
  EXPECT_FALSE(db.Available());
  EXPECT_EQ(db.NextRetry(), ReadingDatabase::kLastRetry);
  ASSERT_TRUE(server_->Start()) << server_->Error();
  const auto back = std::chrono::steady_clock::now();
  while (!db.Available() && std::chrono::steady_clock::now() - back < std::chrono::seconds(12)) {
    feed_for(std::chrono::milliseconds(100));
  }
  EXPECT_LE(std::chrono::steady_clock::now() - back,
            ReadingDatabase::kLastRetry + std::chrono::seconds(1));
  ASSERT_TRUE(PumpLoop(app, [&] { return db.Available() && db.Idle(); }));

  const auto rows = server_->Query("qbxrfid", "SELECT Strength FROM tbl0001 ORDER BY ID");
  ASSERT_EQ(rows.size(), static_cast<size_t>(next));
  for (int i = 0; i < next; ++i) ASSERT_EQ(rows[static_cast<size_t>(i)], std::to_string(i % 30000));
  EXPECT_EQ(LogCount(app, "readings are kept while qbxrfid is unavailable"), 1u);
  EXPECT_EQ(LogCount(app, "qbxrfid is available again;"), 1u);
  EXPECT_EQ(LogCount(app, " readings kept, 0 dropped"), 1u);
  EXPECT_EQ(db.Dropped(), 0u);
  app.Shutdown();
}

TEST_F(PgReadings, ShutDownWritesTheQueueAndNoServerMeansAnOutageNotAHang) {
  {
    PgApp bed(server_->Source());
    for (int16_t i = 0; i < 1000; ++i) bed.db->RecordReading("0005", i);
    bed.app.Shutdown();
  }
  EXPECT_EQ(server_->Query("qbxrfid", "SELECT count(*) FROM tbl0005"),
            std::vector<std::string>{"1000"});

  // A source where no server listens.
  TempDir nowhere;
  PgApp bed("host=" + nowhere.Path().string() + " port=5999 user=tagvane");
  App& lonely = bed.app;
  ReadingDatabase& db2 = *bed.db;
  db2.RecordReading("0001", 1);
  ASSERT_TRUE(PumpLoop(lonely, [&] { return db2.NextRetry() > std::chrono::seconds(1); }));
  EXPECT_FALSE(db2.Available());
  EXPECT_EQ(db2.Queued(), 1u);
  lonely.Shutdown();
}

TEST_F(PgReadings, TenThousandTablesAreMadeInBatchesWhileReadingsFlow) {
  DatabaseBed bed(2);
  bed.app.GetSettings().SQLSource = server_->Source();
  for (int i = 0; i < 10000; ++i) bed.Enrol(DatabaseBed::TagId(i));
  bed.db->Open();
  // The first tag's table comes with the first batch; its readings are
  // stored long before the last table is made.
  ASSERT_TRUE(PumpBed(bed, [&] {
    return server_->Query("qbxrfid", "SELECT count(*) FROM pg_tables WHERE tablename='tbl0000'") ==
           std::vector<std::string>{"1"};
  })) << Join(bed.LogTexts(), "\n");
  bed.db->RecordReading("0000", 42);
  ASSERT_TRUE(PumpBed(bed, [&] { return bed.db->Written() == 1; }));
  const auto made = server_->Query(
      "qbxrfid", "SELECT count(*) FROM pg_tables WHERE tablename LIKE 'tbl%'");
  ASSERT_EQ(made.size(), 1u);
  EXPECT_LT(std::stoi(made[0]), 10000);
  ASSERT_TRUE(PumpBed(bed, [&] { return bed.db->Idle(); }));
  EXPECT_EQ(server_->Query("qbxrfid",
                           "SELECT count(*) FROM pg_tables WHERE tablename LIKE 'tbl%'"),
            std::vector<std::string>{"10000"});
  // Each table announced once, when it was made (the log keeps the last).
  EXPECT_EQ(LogCount(bed.app, "Creating database table for Sensor tbl270F in qbxrfid"), 1u);
  EXPECT_EQ(server_->Query("qbxrfid", "SELECT Strength FROM tbl0000"),
            std::vector<std::string>{"42"});
  // A reading of every tag at once, as after an outage: more tables than a
  // server can lock in one transaction.
  for (int i = 0; i < 10000; ++i) bed.db->RecordReading(DatabaseBed::TagId(i), 7);
  ASSERT_TRUE(PumpBed(bed, [&] { return bed.db->Written() == 10001; }))
      << bed.db->Written() << "\n" << Join(bed.LogTexts(), "\n");
  EXPECT_EQ(server_->Query("qbxrfid", "SELECT Strength FROM tbl270F"),
            std::vector<std::string>{"7"});
  bed.app.Shutdown();
}

TEST_F(PgReadings, HistoryWindowThinningAndTurns) {
  DatabaseBed bed(2);
  bed.app.GetSettings().SQLSource = server_->Source();
  const DateTime t0 = MakeDateTime(2026, 3, 5, 9, 0, 0);
  auto drain = [&] { ASSERT_TRUE(PumpBed(bed, [&] { return bed.db->Available() && bed.db->Idle(); })); };
  FillHistory(bed, t0, drain);
  ExpectHistory(t0, [&](HistoryQuery q) {
    HistoryResult out;
    bool done = false;
    bed.db->LoadHistory(q, [&](HistoryResult r) {
      out = std::move(r);
      done = true;
    });
    EXPECT_TRUE(PumpBed(bed, [&] { return done; }));
    return out;
  });
  bed.app.Shutdown();
}

}  // namespace
}  // namespace tagvane::test
