// A reading-database test bed: the receiver bed (App with manual clock and
// timers, parser) plus a ReadingDatabase wired to the App's hooks, and
// helpers that read a SQLite store back.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

#include "database/reading_database.h"
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

inline std::vector<std::string> TableNames(const std::filesystem::path& file) {
  return Query(file, "SELECT name FROM sqlite_master WHERE name LIKE 'tbl%' ORDER BY name");
}

}  // namespace tagvane::test
