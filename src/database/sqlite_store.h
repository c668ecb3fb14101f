// The reading database in a SQLite file (UseSQL 1): WAL journal, one
// transaction per batch, one prepared INSERT per table kept for the life of
// the connection, values bound. Every write completes before it returns and
// stops at its deadline; a history read runs in short slices on the loop.
// A damaged file is moved aside and a new one started; a file deleted or
// renamed while open is noticed (Stale) so the caller can reopen it.
#pragma once

#include <sys/types.h>

#include <asio/io_context.hpp>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "core/ci_map.h"
#include "core/clock.h"
#include "database/reading_store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tagvane {

class SqliteStore final : public ReadingStore {
 public:
  // clock names the files moved aside.
  SqliteStore(asio::io_context& io, const Clock& clock, std::filesystem::path file);
  ~SqliteStore() override;

  std::string Name() const override { return file_.string(); }
  void Connect(Done done) override;
  void Disconnect() override;
  bool HasTable(std::string_view table) const override { return tables_.Contains(table); }
  std::vector<std::string> Tables() const override;
  void Write(const std::vector<std::string>& new_tables, const std::vector<TurnRow>& turns,
             const std::vector<ReadingRow>& rows, SteadyTime deadline, Written done) override;
  void Prune(const std::string& table, const std::string& cutoff, int limit,
             Pruned done) override;
  void LoadHistory(const HistoryQuery& query, HistoryDone done) override;

  // True when the open connection no longer writes to the file at the path
  // (deleted, or renamed and perhaps replaced): compares device and inode.
  bool Stale() const override;

  // How long a write waits for another process's lock before it counts as
  // a failure (the loop must not wait longer).
  static constexpr int kBusyTimeoutMs = 10;
  // Loop time one slice of a history read may take.
  static constexpr std::chrono::milliseconds kHistorySlice{3};

 private:
  class HistoryJob;

  void Open();
  // Where the open file is now when it was renamed (not when deleted).
  std::optional<std::filesystem::path> MovedTo() const;
  // Runs one slice of a history read and posts the next.
  void HistorySlice(std::shared_ptr<HistoryJob> job, uint64_t generation);
  // Renames a damaged file (and its journal) aside; logs through Note.
  void MoveAside(const std::string& why);
  // Runs sql; throws std::runtime_error with the store's message on failure.
  void Exec(const char* sql);
  sqlite3_stmt* InsertFor(const std::string& table);
  sqlite3_stmt* InsertTurn();
  // Throws std::runtime_error "what: message"; a damaged file is remembered
  // so the next Connect moves it aside.
  [[noreturn]] void Fail(const std::string& what);
  void NoteDamage();

  asio::io_context& io_;
  const Clock& clock_;
  std::filesystem::path file_;
  sqlite3* db_ = nullptr;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool damaged_ = false;
  CaseInsensitiveMap<bool> tables_;
  std::unordered_map<std::string, sqlite3_stmt*> inserts_;
  sqlite3_stmt* insert_turn_ = nullptr;
  // A history read in progress is abandoned when the connection changes.
  uint64_t generation_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tagvane
