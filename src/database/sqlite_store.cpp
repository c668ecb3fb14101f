#include "database/sqlite_store.h"

#include <sqlite3.h>

#include <stdexcept>
#include <system_error>

#include "core/text.h"

namespace tagvane {

SqliteStore::SqliteStore(std::filesystem::path file) : file_(std::move(file)) {}

SqliteStore::~SqliteStore() { Disconnect(); }

void SqliteStore::Fail(const std::string& what) {
  std::string text = what;
  if (db_) text += ": " + std::string(sqlite3_errmsg(db_));
  throw std::runtime_error(text);
}

void SqliteStore::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "error";
    sqlite3_free(message);
    throw std::runtime_error(text);
  }
}

void SqliteStore::Connect(Done done) {
  Disconnect();
  try {
    std::error_code ec;
    std::filesystem::create_directories(file_.parent_path(), ec);
    // The file is created when it is missing.
    const int rc = sqlite3_open_v2(file_.c_str(), &db_,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                       SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) Fail("CreateDatabase " + file_.string());
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // WAL lets readers (the sqlite3 tool, reports) work beside the daemon;
    // NORMAL syncs at checkpoints, so a crash of the daemon loses nothing and
    // a power cut at most the last transactions.
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    sqlite3_stmt* list = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT name FROM sqlite_master WHERE type='table'", -1, &list,
                           nullptr) != SQLITE_OK) {
      Fail("CreateRFIDTables");
    }
    tables_.Clear();
    int rc2;
    while ((rc2 = sqlite3_step(list)) == SQLITE_ROW) {
      tables_.Add(reinterpret_cast<const char*>(sqlite3_column_text(list, 0)), true);
    }
    sqlite3_finalize(list);
    if (rc2 != SQLITE_DONE) Fail("CreateRFIDTables");
  } catch (const std::exception& e) {
    const std::string error = e.what();
    Disconnect();
    done(false, error);
    return;
  }
  done(true, "");
}

void SqliteStore::Disconnect() {
  for (auto& [name, stmt] : inserts_) sqlite3_finalize(stmt);
  inserts_.clear();
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

std::vector<std::string> SqliteStore::Tables() const { return tables_.Keys(); }

sqlite3_stmt* SqliteStore::InsertFor(const std::string& table) {
  const std::string key = ToLower(table);
  auto it = inserts_.find(key);
  if (it != inserts_.end()) return it->second;
  // table is a checked name ("tbl" + four letters or digits).
  const std::string sql = "INSERT INTO " + table + " (SampleDate,Strength) VALUES (?1,?2)";
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
      SQLITE_OK) {
    Fail("RecordReading " + table);
  }
  inserts_.emplace(key, stmt);
  return stmt;
}

void SqliteStore::Write(const std::vector<std::string>& new_tables,
                        const std::vector<ReadingRow>& rows, Done done) {
  if (!db_) return done(false, "the database is not open");
  try {
    Exec("BEGIN IMMEDIATE");
    try {
      for (const std::string& table : new_tables) {
        const std::string sql = "CREATE TABLE IF NOT EXISTS " + table +
                                " (ID INTEGER PRIMARY KEY AUTOINCREMENT, SampleDate TEXT NOT "
                                "NULL, Strength INTEGER NULL)";
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
          std::string text = "NewTable: " + std::string(message ? message : "error");
          sqlite3_free(message);
          throw std::runtime_error(text);
        }
      }
      for (const ReadingRow& row : rows) {
        sqlite3_stmt* stmt = InsertFor(row.table);
        sqlite3_bind_text(stmt, 1, row.sample_date.data(),
                          static_cast<int>(row.sample_date.size()), SQLITE_STATIC);
        sqlite3_bind_int(stmt, 2, row.strength);
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc != SQLITE_DONE) Fail("RecordReading " + row.table);
      }
      Exec("COMMIT");
    } catch (...) {
      if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  } catch (const std::exception& e) {
    done(false, e.what());
    return;
  }
  for (const std::string& table : new_tables) tables_.Add(table, true);
  done(true, "");
}

void SqliteStore::Prune(const std::string& table, const std::string& cutoff, int limit,
                        Pruned done) {
  if (!db_) return done(false, 0, "the database is not open");
  // SampleDate texts sort as their dates do ("yyyy-mm-dd" before any time of
  // that day), so a text comparison finds the older rows.
  // Rows are appended in time order, so the old ones are at the head: only
  // the first limit rows are looked at, however big the table is.
  const std::string sql = "DELETE FROM " + table + " WHERE ID IN (SELECT ID FROM " + table +
                          " ORDER BY ID LIMIT ?2) AND SampleDate < ?1";
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    const std::string error = sqlite3_errmsg(db_);
    return done(false, 0, error);
  }
  sqlite3_bind_text(stmt, 1, cutoff.data(), static_cast<int>(cutoff.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int(stmt, 2, limit);
  const int rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) {
    const std::string error = sqlite3_errmsg(db_);
    return done(false, 0, error);
  }
  done(true, static_cast<long>(sqlite3_changes(db_)), "");
}

}  // namespace tagvane
