// A reading-database test bed: the receiver bed (App with manual clock and
// timers, parser) plus a ReadingDatabase wired to the App's hooks, and
// helpers that read a SQLite store back.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "database/reading_database.h"
#include "receiver/rfid_device.h"
#include "receiver/receiver_fixture.h"

namespace tagvane::test {

struct DatabaseBed : ReceiverBed {
  explicit DatabaseBed(int use_sql = 1) {
    app.GetSettings().UseSQL = static_cast<int16_t>(use_sql);
    auto owned = std::make_unique<ReadingDatabase>(app);
    db = owned.get();
    app.GetHooks().RecordReading = [this](const std::string& id, int16_t s) {
      db->RecordReading(id, s);
    };
    app.GetHooks().UpdateReadingTables = [this] { db->CreateRFIDTables(); };
    app.SetDatabase(std::move(owned));
  }
  std::filesystem::path File() const { return dir.Path() / "Data/Tagvane/qbxRFID.db"; }
  // The i-th of many tag identifiers ("0000", "0001", ... in hex).
  static std::string TagId(int i) {
    char id[8];
    std::snprintf(id, sizeof id, "%04X", i & 0xFFFF);
    return id;
  }
  // Runs what the loop has ready (the posted batch writes).
  void Pump() { app.Loop().Pump(); }
  // Runs the loop and moves the clock on by write steps until the queue is
  // written (or max_steps steps have passed).
  void Drain(int max_steps = 1000) {
    for (int i = 0; i < max_steps; ++i) {
      Pump();
      if (db->Available() && db->Idle()) return;
      timers.Advance(ReadingDatabase::kStep);
    }
  }

  ReadingDatabase* db = nullptr;
};

// The rows of one query, each row's columns joined with "|".
inline std::vector<std::string> Query(const std::filesystem::path& file, const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return {"<cannot open>"};
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    rows.push_back(std::string("<error> ") + sqlite3_errmsg(db));
  } else {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        if (i) row += "|";
        const auto* text = sqlite3_column_text(stmt, i);
        row += text ? reinterpret_cast<const char*>(text) : "NULL";
      }
      rows.push_back(row);
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

// One reading of tag 0001 a second for 1,000 s from t0 (strength i % 100),
// and turns On at t0+50 s, Off at t0+150 s, On at t0+250 s.
inline void FillHistory(DatabaseBed& bed, DateTime t0, const std::function<void()>& drain) {
  auto device = bed.Enrol("0001");
  device->SetTag("Keys");
  device->SetLocation("Hall");
  bed.db->Open();
  drain();
  for (int i = 0; i < 1000; ++i) {
    bed.clock.Set(t0 + std::chrono::seconds(i));
    bed.db->RecordReading("0001", static_cast<int16_t>(i % 100));
    for (int turn : {50, 150, 250}) {
      if (i != turn) continue;
      device->SetDeviceStatus(turn == 150 ? kStatusOff : kStatusOn);
      bed.app.GetHooks().DeviceDecision(device->DC());
      // A figure change without a turn is not stored.
      bed.app.GetHooks().DeviceDecision(device->DC());
    }
    if (i % 100 == 99) drain();
  }
  drain();
}

// The window t0+100 s .. t0+299 s read back whole and thinned, through
// whichever store bed has; load runs one query to its answer.
inline void ExpectHistory(DateTime t0, const std::function<HistoryResult(HistoryQuery)>& load) {
  using std::chrono::seconds;
  HistoryQuery q{"0001", t0 + seconds(100), t0 + seconds(299), 1000};
  HistoryResult all = load(q);
  ASSERT_TRUE(all.ok) << all.error;
  ASSERT_EQ(all.readings.size(), 200u);
  EXPECT_EQ(all.readings_in_window, 200u);
  EXPECT_FALSE(all.thinned);
  EXPECT_EQ(all.readings.front().time, t0 + seconds(100));
  EXPECT_EQ(all.readings.back().time, t0 + seconds(299));
  EXPECT_EQ(all.readings.back().strength, 99);
  ASSERT_EQ(all.turns.size(), 2u);
  EXPECT_EQ(all.turns[0].time, t0 + seconds(150));
  EXPECT_FALSE(all.turns[0].on);
  EXPECT_TRUE(all.turns[1].on);
  EXPECT_EQ(all.turns[1].name, "Keys");
  EXPECT_EQ(all.turns[1].location, "Hall");
  ASSERT_TRUE(all.before);
  EXPECT_TRUE(all.before->on);
  EXPECT_EQ(all.before->time, t0 + seconds(50));

  q.max_readings = 50;
  HistoryResult thin = load(q);
  ASSERT_TRUE(thin.ok) << thin.error;
  EXPECT_TRUE(thin.thinned);
  EXPECT_EQ(thin.readings_in_window, 200u);
  ASSERT_EQ(thin.readings.size(), 50u);
  for (size_t i = 0; i < thin.readings.size(); ++i) {
    EXPECT_EQ(thin.readings[i].time, t0 + seconds(100 + 4 * static_cast<int>(i)));
  }
  // Outside the rows, and a tag with no table yet.
  EXPECT_TRUE(load({"0001", t0 - seconds(99), t0 - seconds(1), 10}).readings.empty());
  const HistoryResult none = load({"0009", t0, t0 + seconds(999), 10});
  EXPECT_TRUE(none.ok);
  EXPECT_TRUE(none.readings.empty() && none.turns.empty());
}

inline std::vector<std::string> TableNames(const std::filesystem::path& file) {
  return Query(file, "SELECT name FROM sqlite_master WHERE name LIKE 'tbl%' ORDER BY name");
}

}  // namespace tagvane::test
