#include "database/sqlite_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <stdexcept>
#include <system_error>

#include "core/text.h"
#include "database/reading_text.h"

namespace tagvane {

namespace {

bool IsDamage(int code) {
  code &= 0xff;
  return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

// The name a damaged file is moved to: "<file>.corrupt-yyyymmdd-hhmmss",
// with a number added when that exists already.
std::filesystem::path AsideName(const std::filesystem::path& file, DateTime now) {
  std::string stamp;
  for (char c : StdTimeOf(now)) {
    if (c == ' ') stamp += '-';
    else if (c != '-' && c != ':') stamp += c;
  }
  if (stamp.size() == 8) stamp += "-000000";
  std::filesystem::path aside = file.string() + ".corrupt-" + stamp;
  for (int n = 2; std::filesystem::exists(aside); ++n) {
    aside = file.string() + ".corrupt-" + stamp + "-" + std::to_string(n);
  }
  return aside;
}

}  // namespace

SqliteStore::SqliteStore(asio::io_context& io, const Clock& clock, std::filesystem::path file)
    : io_(io), clock_(clock), file_(std::move(file)) {}

SqliteStore::~SqliteStore() {
  *alive_ = false;
  Disconnect();
}

void SqliteStore::NoteDamage() {
  if (db_ && IsDamage(sqlite3_extended_errcode(db_))) damaged_ = true;
}

void SqliteStore::Fail(const std::string& what) {
  std::string text = what;
  if (db_) {
    text += ": " + std::string(sqlite3_errmsg(db_));
    NoteDamage();
  }
  throw std::runtime_error(text);
}

void SqliteStore::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "error";
    sqlite3_free(message);
    NoteDamage();
    throw std::runtime_error(text);
  }
}

void SqliteStore::Open() {
  std::error_code ec;
  std::filesystem::create_directories(file_.parent_path(), ec);
  // The file is created when it is missing.
  const int rc = sqlite3_open_v2(
      file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
      nullptr);
  if (rc != SQLITE_OK) Fail("CreateDatabase " + file_.string());
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // WAL lets readers (the sqlite3 tool, reports) work beside the daemon;
  // NORMAL syncs at checkpoints, so a crash of the daemon loses nothing and
  // a power cut at most the last transactions. A larger page cache keeps
  // the pages of thousands of tables at hand within one transaction.
  Exec("PRAGMA journal_mode=WAL");
  Exec("PRAGMA synchronous=NORMAL");
  Exec("PRAGMA cache_size=-32768");
  sqlite3_stmt* list = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT name FROM sqlite_master WHERE type='table'", -1, &list,
                         nullptr) != SQLITE_OK) {
    Fail("CreateRFIDTables");
  }
  tables_.Clear();
  int step;
  while ((step = sqlite3_step(list)) == SQLITE_ROW) {
    tables_.Add(reinterpret_cast<const char*>(sqlite3_column_text(list, 0)), true);
  }
  sqlite3_finalize(list);
  if (step != SQLITE_DONE) Fail("CreateRFIDTables");
  // A full check would read the whole file; the first page and the schema
  // are what every write needs, and a deeper fault shows when it is met.
  struct stat st {};
  if (::stat(file_.c_str(), &st) == 0) {
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
}

void SqliteStore::Connect(Done done) {
  Disconnect();
  std::string error;
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      if (damaged_) MoveAside(error);
      Open();
      return done(true, "");
    } catch (const std::exception& e) {
      error = e.what();
      Disconnect();
      // Only a damaged file is worth a second attempt (with a new file).
      if (!damaged_) break;
    }
  }
  done(false, error);
}

void SqliteStore::MoveAside(const std::string& why) {
  damaged_ = false;
  const std::filesystem::path aside = AsideName(file_, clock_.Now());
  std::error_code ec;
  std::filesystem::rename(file_, aside, ec);
  if (ec) {
    Note("CreateDatabase " + file_.string() + " is damaged (" + why +
         ") and could not be moved aside: " + ec.message());
    return;
  }
  // The journal belongs to the damaged file; replayed into a new one it
  // would damage that too.
  std::filesystem::rename(file_.string() + "-wal", aside.string() + "-wal", ec);
  std::filesystem::remove(file_.string() + "-shm", ec);
  Note("CreateDatabase " + file_.string() + " is damaged (" + why + "); moved aside to " +
       aside.string() + " and a new file started");
}

bool SqliteStore::Stale() const {
  if (!db_) return false;
  struct stat st {};
  if (::stat(file_.c_str(), &st) != 0) return true;
  return st.st_dev != device_ || st.st_ino != inode_;
}

std::optional<std::filesystem::path> SqliteStore::MovedTo() const {
  // The open file's descriptor names where it is now.
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    struct stat st {};
    if (::stat(fd.path().c_str(), &st) != 0 || st.st_dev != device_ || st.st_ino != inode_) {
      continue;
    }
    std::error_code link_ec;
    const std::filesystem::path target = std::filesystem::read_symlink(fd.path(), link_ec);
    if (link_ec || target.string().ends_with(" (deleted)")) return std::nullopt;
    return target;
  }
  return std::nullopt;
}

void SqliteStore::Disconnect() {
  ++generation_;
  // A file renamed while open keeps its last transactions in the journal
  // beside the old name: the journal follows the file, so opening the file
  // where it is now finds them.
  if (db_ && Stale()) {
    if (const auto moved = MovedTo()) {
      std::error_code ec;
      std::filesystem::rename(file_.string() + "-wal", moved->string() + "-wal", ec);
      std::filesystem::remove(file_.string() + "-shm", ec);
    }
  }
  for (auto& [name, stmt] : inserts_) sqlite3_finalize(stmt);
  inserts_.clear();
  sqlite3_finalize(insert_turn_);
  insert_turn_ = nullptr;
  // The last connection folds the journal into the file it has open (also
  // a file renamed meanwhile) and removes the journal.
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

sqlite3_stmt* SqliteStore::InsertTurn() {
  if (insert_turn_) return insert_turn_;
  const std::string sql = std::string("INSERT INTO ") + kTurnsTable +
                          " (SampleDate,DeviceCode,TagID,Status,Figure,TagName,Location) "
                          "VALUES (?1,?2,?3,?4,?5,?6,?7)";
  if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &insert_turn_,
                         nullptr) != SQLITE_OK) {
    Fail(std::string("RecordReading ") + kTurnsTable);
  }
  return insert_turn_;
}

void SqliteStore::Write(const std::vector<std::string>& new_tables,
                        const std::vector<TurnRow>& turns, const std::vector<ReadingRow>& rows,
                        SteadyTime deadline, Written done) {
  if (!db_) return done(false, 0, "the database is not open");
  size_t written = 0;
  try {
    Exec("BEGIN IMMEDIATE");
    try {
      for (const std::string& table : new_tables) {
        for (const std::string& sql : CreateTableSql(table, false)) {
          char* message = nullptr;
          if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            std::string text = "NewTable: " + std::string(message ? message : "error");
            sqlite3_free(message);
            NoteDamage();
            throw std::runtime_error(text);
          }
        }
      }
      auto bind = [](sqlite3_stmt* stmt, int n, const std::string& text) {
        sqlite3_bind_text(stmt, n, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
      };
      for (const TurnRow& turn : turns) {
        sqlite3_stmt* stmt = InsertTurn();
        bind(stmt, 1, turn.sample_date);
        bind(stmt, 2, turn.device_code);
        bind(stmt, 3, turn.tag_id);
        sqlite3_bind_text(stmt, 4, turn.on ? "ON" : "OFF", -1, SQLITE_STATIC);
        sqlite3_bind_int(stmt, 5, turn.figure);
        bind(stmt, 6, turn.name);
        bind(stmt, 7, turn.location);
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc != SQLITE_DONE) Fail(std::string("RecordReading ") + kTurnsTable);
      }
      for (const ReadingRow& row : rows) {
        // The clock is read every 64 rows; at least that many go each time.
        if (written % 64 == 0 && written > 0 && std::chrono::steady_clock::now() >= deadline) {
          break;
        }
        sqlite3_stmt* stmt = InsertFor(row.table);
        bind(stmt, 1, row.sample_date);
        sqlite3_bind_int(stmt, 2, row.strength);
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc != SQLITE_DONE) Fail("RecordReading " + row.table);
        ++written;
      }
      Exec("COMMIT");
    } catch (...) {
      if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  } catch (const std::exception& e) {
    done(false, 0, e.what());
    return;
  }
  for (const std::string& table : new_tables) tables_.Add(table, true);
  done(true, written, "");
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
    NoteDamage();
    const std::string error = sqlite3_errmsg(db_);
    return done(false, 0, error);
  }
  done(true, static_cast<long>(sqlite3_changes(db_)), "");
}

}  // namespace tagvane
