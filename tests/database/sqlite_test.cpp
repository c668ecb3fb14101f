// The reading database in a SQLite file: texts, tables, rows, outages,
// retention and shut-down, against real files in temporary folders.
#include <gtest/gtest.h>

#include "core/ini_cache.h"
#include "database/database_bed.h"
#include "database/reading_text.h"

namespace tagvane::test {
namespace {

TEST(ReadingText, StdTimeIs24HourAndDropsTheTimeAtMidnight) {
  const DateTime now = MakeDateTime(2026, 12, 5, 14, 3, 7);
  EXPECT_EQ(StdTimeOf(MakeDateTime(2026, 3, 5, 9, 5, 3, 999)), "2026-03-05 09:05:03");
  EXPECT_EQ(StdTimeOf(MakeDateTime(2026, 3, 5, 21, 5, 3)), "2026-03-05 21:05:03");
  EXPECT_EQ(StdTimeOf(MakeDateTime(2026, 3, 5)), "2026-03-05");
  EXPECT_EQ(StdTimeOf(MakeDateTime(2026, 3, 5, 0, 0, 1)), "2026-03-05 00:00:01");
  EXPECT_EQ(StdTime("05/03/2026 09:05:03", now), "2026-03-05 09:05:03");
  EXPECT_EQ(StdTime("2026-03-05 00:00:00", now), "2026-03-05");
  // Not a date: the current time.
  EXPECT_EQ(StdTime("31/02/2026 10:00:00", now), "2026-12-05 14:03:07");
  EXPECT_EQ(StdTime("'; DROP TABLE x; --", now), "2026-12-05 14:03:07");
}

TEST(ReadingText, OnlyFourLettersOrDigitsMakeATableName) {
  EXPECT_EQ(ReadingTableName("1A2b"), "tbl1A2b");
  for (const char* bad : {"1A2", "1A2B3", "1A-B", "1A B", "1A;B", "1A\"B", "\xC3\xA9" "1AB"}) {
    EXPECT_FALSE(ReadingTableName(bad)) << bad;
  }
  EXPECT_FALSE(ReadingTableName(std::string("1A\0B", 4)));
  EXPECT_EQ(PrintableTagId(std::string("1A\x01;", 4)), "1A\\x01;");
}

TEST(SqliteReadings, UseSqlZeroCreatesNothing) {
  DatabaseBed bed(0);
  bed.Enrol("0001")->SetInUse(true);
  bed.app.InitHW();
  bed.parser.ProcessCommData("000142 ", 2);
  bed.db->RecordReading("0001", 42);
  bed.Pump();
  bed.app.Shutdown();
  EXPECT_FALSE(std::filesystem::exists(bed.dir.Path() / "Data/Tagvane"));
  EXPECT_EQ(bed.db->Written(), 0u);
}

TEST(SqliteReadings, FirstStartCreatesTheFileAndATablePerTagInUse) {
  DatabaseBed bed;
  bed.Enrol("0001");
  bed.Enrol("0002")->SetInUse(false);
  bed.Enrol("0003");
  bed.db->Open();
  EXPECT_EQ(bed.db->DatabaseName(), bed.File().string());
  ASSERT_TRUE(std::filesystem::exists(bed.File()));
  bed.Pump();
  EXPECT_EQ(TableNames(bed.File()), (std::vector<std::string>{"tbl0001", "tbl0003"}));
  EXPECT_EQ(bed.CountLog("Creating database table for Sensor tbl0001 in " + bed.File().string()),
            1u);
  EXPECT_EQ(Query(bed.File(), "PRAGMA journal_mode"), std::vector<std::string>{"wal"});

  // Reports of one chunk: the tag not in use gets no table and no rows.
  bed.clock.Set(MakeDateTime(2026, 3, 5, 9, 5, 3));
  bed.parser.ProcessCommData("000142 000257 0003 00017 ", 2);
  EXPECT_EQ(bed.db->Queued(), 3u);
  bed.Pump();
  EXPECT_EQ(bed.db->Queued(), 0u);
  EXPECT_EQ(Query(bed.File(), "SELECT * FROM tbl0001"),
            (std::vector<std::string>{"1|2026-03-05 09:05:03|42", "2|2026-03-05 09:05:03|7"}));
  EXPECT_EQ(Query(bed.File(), "SELECT * FROM tbl0003"),
            (std::vector<std::string>{"1|2026-03-05 09:05:03|-1"}));
  EXPECT_EQ(TableNames(bed.File()).size(), 2u);
  bed.app.Shutdown();
}

TEST(SqliteReadings, AnExistingTableIsKeptAndTheMissingOneMade) {
  DatabaseBed bed;
  std::filesystem::create_directories(bed.File().parent_path());
  {
    sqlite3* db = nullptr;
    sqlite3_open(bed.File().c_str(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE TBL0001 (ID INTEGER PRIMARY KEY AUTOINCREMENT, SampleDate TEXT, "
                 "Strength INTEGER); INSERT INTO TBL0001 (SampleDate, Strength) "
                 "VALUES ('2026-01-01', 5)",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  bed.Enrol("0001")->SetInUse(true);
  bed.Enrol("0003")->SetInUse(true);
  bed.db->Open();
  bed.Pump();
  EXPECT_EQ(TableNames(bed.File()), (std::vector<std::string>{"TBL0001", "tbl0003"}));
  EXPECT_EQ(bed.CountLog("Creating database table for Sensor tbl0001 in " + bed.File().string()),
            0u);
  EXPECT_EQ(bed.CountLog("Creating database table for Sensor tbl0003 in " + bed.File().string()),
            1u);
  bed.db->RecordReading("0001", 9);
  bed.Pump();
  EXPECT_EQ(Query(bed.File(), "SELECT ID, Strength FROM tbl0001"),
            (std::vector<std::string>{"1|5", "2|9"}));
}

TEST(SqliteReadings, ATagAcceptedLaterGetsItsTableAtOnce) {
  DatabaseBed bed;
  auto device = bed.Enrol("0002");
  device->SetInUse(false);
  bed.db->Open();
  bed.Pump();
  EXPECT_TRUE(TableNames(bed.File()).empty());
  device->SetInUse(true);
  bed.app.GetHooks().UpdateReadingTables();
  bed.Pump();
  EXPECT_EQ(TableNames(bed.File()), std::vector<std::string>{"tbl0002"});
  bed.parser.ProcessCommData("000261 ", 2);
  bed.Pump();
  EXPECT_EQ(Query(bed.File(), "SELECT Strength FROM tbl0002"), std::vector<std::string>{"61"});
  // A new device seen in a report brings its table once it is in use.
  bed.parser.ProcessCommData("0009 ", 2);
  bed.Pump();
  EXPECT_EQ(TableNames(bed.File()).size(), 1u);
}

TEST(SqliteReadings, AnUnusableIdentifierGetsNoTableAndOneLogEntry) {
  DatabaseBed bed;
  bed.db->Open();
  for (int i = 0; i < 3; ++i) bed.db->RecordReading("1A;B", 5);
  bed.db->RecordReading("1A2B", 5);
  bed.Pump();
  EXPECT_EQ(TableNames(bed.File()), std::vector<std::string>{"tbl1A2B"});
  EXPECT_EQ(LogCount(bed.app, "NewTable: tbl1A;B is not"), 1u);
}

// Another connection holds the write lock: the store is unavailable.
struct Locker {
  explicit Locker(const std::filesystem::path& file) {
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
  }
  ~Locker() { Release(); }
  void Release() {
    if (!db) return;
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    db = nullptr;
  }
  sqlite3* db = nullptr;
};

TEST(SqliteReadings, ALockedFileKeepsReadingsInOrderAndRetriesWithBackoff) {
  DatabaseBed bed;
  bed.db->Open();
  bed.db->RecordReading("0001", 1);
  bed.Pump();
  Locker lock(bed.File());
  for (int16_t i = 2; i <= 5; ++i) {
    bed.db->RecordReading("0001", i);
    bed.Pump();
  }
  EXPECT_FALSE(bed.db->Available());
  EXPECT_EQ(bed.db->Queued(), 4u);
  EXPECT_EQ(bed.db->NextRetry(), std::chrono::seconds(2));
  // Reconnecting works (the file opens) but writing fails again: the wait
  // doubles up to 10 s.
  for (int i = 0; i < 8; ++i) {
    bed.timers.Advance(bed.db->NextRetry());
    bed.db->RecordReading("0001", static_cast<int16_t>(6 + i));
    bed.Pump();
  }
  EXPECT_EQ(bed.db->NextRetry(), std::chrono::seconds(10));
  lock.Release();
  bed.timers.Advance(std::chrono::seconds(10));
  bed.Drain();
  EXPECT_TRUE(bed.db->Available());
  const auto rows = Query(bed.File(), "SELECT Strength FROM tbl0001 ORDER BY ID");
  ASSERT_EQ(rows.size(), 13u);
  for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i], std::to_string(i + 1));
  EXPECT_EQ(LogCount(bed.app, "readings are kept while"), 1u);
  EXPECT_EQ(LogCount(bed.app, "is available again; 12 readings kept, 0 dropped"), 1u);
  EXPECT_EQ(bed.db->NextRetry(), std::chrono::seconds(1));
}

// A turn that waited through an outage while hundreds of tables are still
// to be made: the turns table comes first, so no write fails for want of it.
TEST(SqliteReadings, ATurnWaitingForItsTableBehindHundredsOfOthersIsStored) {
  DatabaseBed bed;
  for (int i = 2; i <= 400; ++i) bed.Enrol(DatabaseBed::TagId(i));
  bed.Enrol("0001");
  bed.db->Open();
  Locker lock(bed.File());
  for (int i = 0; i < 10; ++i) {  // heard until it turns On
    bed.parser.ProcessCommData("000160 ", 2);
    bed.timers.Advance(std::chrono::seconds(3));
    bed.presence.OffTimer_Timer();
    bed.Pump();
  }
  lock.Release();
  bed.timers.Advance(std::chrono::seconds(60));
  bed.Drain();
  EXPECT_EQ(Query(bed.File(), "SELECT Status FROM tblTurns"), std::vector<std::string>{"ON"});
  EXPECT_EQ(Query(bed.File(), "SELECT count(*) FROM tbl0001"), std::vector<std::string>{"10"});
  EXPECT_TRUE(bed.db->Available());
}

TEST(SqliteReadings, TheBufferKeepsTheNewestRowsAndCountsTheDropped) {
  DatabaseBed bed;
  bed.db->Open();
  Locker lock(bed.File());
  const size_t total = ReadingDatabase::kBufferLimit + 5;
  for (size_t i = 0; i < total; ++i) bed.db->RecordReading("0001", static_cast<int16_t>(i % 30000));
  bed.Pump();
  EXPECT_EQ(bed.db->Queued(), ReadingDatabase::kBufferLimit);
  EXPECT_EQ(bed.db->Dropped(), 5u);
  lock.Release();
  bed.timers.Advance(std::chrono::seconds(1));
  bed.Drain();
  EXPECT_EQ(Query(bed.File(), "SELECT min(ID), count(*) FROM tbl0001"),
            std::vector<std::string>{"1|100000"});
  EXPECT_EQ(Query(bed.File(), "SELECT Strength FROM tbl0001 WHERE ID = 1"),
            std::vector<std::string>{"5"});
  EXPECT_EQ(LogCount(bed.app, "100000 readings kept, 5 dropped"), 1u);
}

TEST(SqliteReadings, ShutDownWritesWhatIsQueued) {
  DatabaseBed bed;
  bed.db->Open();
  for (int16_t i = 0; i < 10; ++i) bed.db->RecordReading("0001", i);
  bed.app.Shutdown();
  EXPECT_EQ(Query(bed.File(), "SELECT count(*) FROM tbl0001"), std::vector<std::string>{"10"});
  // Still locked at shut-down: the loss is reported, nothing hangs.
  DatabaseBed locked;
  locked.db->Open();
  locked.db->RecordReading("0001", 1);
  locked.Pump();
  Locker lock(locked.File());
  locked.db->RecordReading("0001", 2);
  locked.app.Shutdown();
  EXPECT_EQ(LogCount(locked.app, "1 readings could not be written"), 1u);
}

TEST(SqliteReadings, RetentionRemovesOnlyRowsOlderThanTheKeptDays) {
  DatabaseBed bed;
  WriteFile(bed.dir / "Config/Tagvane.ini", "[RFID]\r\nReadingsKeepDays=2\r\n");
  bed.clock.Set(MakeDateTime(2026, 3, 1, 12, 0, 0));
  bed.db->Open();
  for (int day = 0; day < 5; ++day) {
    for (int i = 0; i < 1500; ++i) bed.db->RecordReading(i % 2 ? "0001" : "0002", 1);
    bed.Pump();
    bed.clock.Advance(std::chrono::hours(24));
  }
  // Now 6 March 12:00: rows of 1-3 March go, 4 and 5 March stay. The pass
  // runs in steps between which the loop is free.
  bed.db->PruneOldReadings();
  for (int i = 0; i < 20; ++i) bed.Pump();
  EXPECT_EQ(Query(bed.File(), "SELECT min(SampleDate), count(*) FROM tbl0001"),
            std::vector<std::string>{"2026-03-04 12:00:00|1500"});
  EXPECT_EQ(Query(bed.File(), "SELECT count(*) FROM tbl0002"), std::vector<std::string>{"1500"});
  EXPECT_EQ(bed.CountLog("ReadingsKeepDays 4500 readings older than 2026-03-04 12:00:00 removed"),
            1u);
}

}  // namespace
}  // namespace tagvane::test
