// The SQLite store's turns, history and faults against real files: a file
// deleted or moved while open, a damaged file, retention at start-up, and
// the password mask of the connection text.
#include <gtest/gtest.h>

#include "core/ini_cache.h"
#include "database/database_bed.h"
#include "database/reading_text.h"
#include "database/source_mask.h"

namespace tagvane::test {
namespace {

using std::chrono::seconds;

HistoryResult LoadNow(DatabaseBed& bed, const HistoryQuery& q) {
  HistoryResult out;
  bool done = false;
  bed.db->LoadHistory(q, [&](HistoryResult r) {
    out = std::move(r);
    done = true;
  });
  for (int i = 0; i < 1000 && !done; ++i) bed.Drain(1);
  EXPECT_TRUE(done);
  return out;
}

TEST(SqliteHistory, WindowThinningTurnsAndRefusals) {
  DatabaseBed bed;
  const DateTime t0 = MakeDateTime(2026, 3, 5, 9, 0, 0);
  FillHistory(bed, t0, [&] { bed.Drain(); });
  ExpectHistory(t0, [&](HistoryQuery q) { return LoadNow(bed, q); });
  EXPECT_EQ(Query(bed.File(), "SELECT SampleDate, DeviceCode, TagID, Status, TagName, Location "
                              "FROM tblTurns ORDER BY ID LIMIT 1"),
            std::vector<std::string>{"2026-03-05 09:00:50|" + bed.Enrol("0001")->DC() +
                                     "|0001|ON|Keys|Hall"});
  EXPECT_EQ(bed.CountLog("Creating database table tblTurns for the presence turns in " +
                         bed.File().string()),
            1u);
  // A large window on a large table: few slices, evenly spread rows.
  const HistoryResult big = LoadNow(bed, {"0001", t0, t0 + seconds(999), 7});
  EXPECT_EQ(big.readings_in_window, 1000u);
  ASSERT_EQ(big.readings.size(), 7u);
  EXPECT_EQ(big.readings[1].time, t0 + seconds(142));

  const struct {
    HistoryQuery q;
    const char* error;
  } refused[] = {{{"00;1", t0, t0, 10}, "not four letters or digits"},
                 {{"0001", t0 + seconds(5), t0, 10}, "The window ends before it starts"}};
  for (const auto& r : refused) {
    const HistoryResult result = LoadNow(bed, r.q);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find(r.error), std::string::npos) << result.error;
  }
  bed.app.Shutdown();
  EXPECT_EQ(bed.db->History(), nullptr);
  EXPECT_EQ(LoadNow(bed, {"0001", t0, t0, 10}).error, "No reading database is configured");
  DatabaseBed none(0);
  none.db->Open();
  EXPECT_EQ(none.db->History(), nullptr);
}

TEST(SqliteTurns, AnOnOffSequenceOfThePresenceLogicIsStored) {
  DatabaseBed bed;
  auto device = bed.Enrol("0001");
  device->SetTag("Wallet");
  device->SetLocation("Desk");
  bed.db->Open();
  // Heard for 30 s (On after 8 passes), silent for 90 s (Off), heard again
  // (from 0 the figure climbs in steps of 5 first).
  auto passes = [&](int n, bool heard) {
    for (int i = 0; i < n; ++i) {
      if (heard) bed.parser.ProcessCommData("000160 ", 2);
      bed.timers.Advance(seconds(3));
      bed.presence.OffTimer_Timer();
      bed.Drain();
    }
  };
  passes(10, true);
  passes(30, false);
  passes(20, true);
  EXPECT_EQ(Query(bed.File(), "SELECT Status, TagName, Location FROM tblTurns ORDER BY ID"),
            (std::vector<std::string>{"ON|Wallet|Desk", "OFF|Wallet|Desk", "ON|Wallet|Desk"}));
  EXPECT_EQ(Query(bed.File(), "SELECT count(*) FROM tbl0001"), std::vector<std::string>{"30"});
}

TEST(SqliteFaults, AFileDeletedOrMovedWhileOpenIsStartedAgainWithItsTables) {
  for (const bool moved : {false, true}) {
    DatabaseBed bed;
    bed.Enrol("0001");
    bed.Enrol("0002");
    bed.db->Open();
    bed.db->RecordReading("0001", 1);
    bed.Drain();
    const std::filesystem::path old = bed.File().string() + ".old";
    if (moved) {
      std::filesystem::rename(bed.File(), old);
    } else {
      std::filesystem::remove(bed.File());
    }
    bed.db->RecordReading("0001", 2);
    bed.db->RecordReading("0002", 3);
    bed.Drain();
    EXPECT_EQ(TableNames(bed.File()), (std::vector<std::string>{"tbl0001", "tbl0002"})) << moved;
    EXPECT_EQ(Query(bed.File(), "SELECT Strength FROM tbl0001"), std::vector<std::string>{"2"});
    EXPECT_EQ(Query(bed.File(), "SELECT Strength FROM tbl0002"), std::vector<std::string>{"3"});
    EXPECT_EQ(LogCount(bed.app, "RecordReading " + bed.File().string() +
                                    " was deleted or moved while open"),
              1u);
    // The moved file got what was written to it before.
    if (moved) {
      EXPECT_EQ(Query(old, "SELECT Strength FROM tbl0001"), std::vector<std::string>{"1"});
    }
    bed.app.Shutdown();
  }
}

TEST(SqliteFaults, ADamagedFileIsMovedAsideAndANewOneStarted) {
  DatabaseBed bed;
  const std::string junk(8192, '\x5a');
  WriteFile(bed.File(), junk);
  bed.Enrol("0001");
  bed.db->Open();
  bed.db->RecordReading("0001", 7);
  bed.Drain();
  EXPECT_EQ(Query(bed.File(), "SELECT Strength FROM tbl0001"), std::vector<std::string>{"7"});
  std::vector<std::filesystem::path> aside;
  for (const auto& entry : std::filesystem::directory_iterator(bed.File().parent_path())) {
    if (entry.path().filename().string().starts_with("qbxRFID.db.corrupt-2026")) {
      aside.push_back(entry.path());
    }
  }
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(ReadFile(aside[0]), junk);
  EXPECT_EQ(LogCount(bed.app, "is damaged (file is not a database); moved aside to " +
                                  aside[0].string()),
            1u);
}

TEST(SqliteFaults, RetentionRunsSoonAfterStartUpOnReadingsAndTurns) {
  DatabaseBed bed;
  WriteFile(bed.dir / "Config/Tagvane.ini", "[RFID]\r\nReadingsKeepDays=2\r\n");
  std::filesystem::create_directories(bed.File().parent_path());
  sqlite3* db = nullptr;
  sqlite3_open(bed.File().c_str(), &db);
  std::string sql;
  for (const std::string& table : {std::string("tbl0001"), std::string(kTurnsTable)}) {
    for (const std::string& s : CreateTableSql(table, false)) sql += s + ";";
  }
  sql += "INSERT INTO tbl0001 (SampleDate, Strength) VALUES ('2026-11-01 10:00:00', 1), "
         "('2026-12-05 10:00:00', 2);"
         "INSERT INTO tblTurns (SampleDate, DeviceCode, TagID, Status) VALUES "
         "('2026-11-01 10:00:00', 'x', '0001', 'ON');";
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  bed.db->Open();
  bed.Drain();
  EXPECT_EQ(Query(bed.File(), "SELECT count(*) FROM tbl0001"), std::vector<std::string>{"2"});
  bed.timers.Advance(ReadingDatabase::kFirstPrune);
  bed.Drain();
  EXPECT_EQ(Query(bed.File(), "SELECT Strength FROM tbl0001"), std::vector<std::string>{"2"});
  EXPECT_EQ(Query(bed.File(), "SELECT count(*) FROM tblTurns"), std::vector<std::string>{"0"});
  EXPECT_EQ(LogCount(bed.app, "ReadingsKeepDays 2 readings older than"), 1u);
}

TEST(SourceMask, PasswordsAreMaskedAndKeptWhenTheMaskComesBack) {
  const struct {
    const char* stored;
    const char* shown;
  } cases[] = {
      {"host=db user=tagvane password=s3cret", "host=db user=tagvane password=********"},
      {"password = 'a b\\' c'x host=db", "password = '********'x host=db"},
      {"postgresql://tagvane:s3cret@db:5432/x?sslmode=require&password=two",
       "postgresql://tagvane:********@db:5432/x?sslmode=require&password=********"},
      {"postgres://tagvane@db", "postgres://tagvane@db"},
      {"dbserver", "dbserver"},
      {"host=db passwordx=1", "host=db passwordx=1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MaskSourcePassword(c.stored), c.shown);
    EXPECT_EQ(KeepSourcePassword(c.shown, c.stored), c.stored);
  }
  // A new password typed over the mask, and a host changed beside it.
  EXPECT_EQ(KeepSourcePassword("host=db password=new", "host=db password=old"),
            "host=db password=new");
  EXPECT_EQ(KeepSourcePassword("host=other password=********", "host=db password=old"),
            "host=other password=old");
}

}  // namespace
}  // namespace tagvane::test
