// The reading database in a SQLite file (UseSQL 1): WAL journal, one
// transaction per batch, one prepared INSERT per table kept for the life of
// the connection, values bound. Every call completes before it returns.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>

#include "core/ci_map.h"
#include "database/reading_store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tagvane {

class SqliteStore final : public ReadingStore {
 public:
  explicit SqliteStore(std::filesystem::path file);
  ~SqliteStore() override;

  std::string Name() const override { return file_.string(); }
  void Connect(Done done) override;
  void Disconnect() override;
  bool HasTable(std::string_view table) const override { return tables_.Contains(table); }
  std::vector<std::string> Tables() const override;
  void Write(const std::vector<std::string>& new_tables, const std::vector<ReadingRow>& rows,
             Done done) override;
  void Prune(const std::string& table, const std::string& cutoff, int limit,
             Pruned done) override;

  // How long a write waits for another process's lock before it counts as
  // a failure (the loop must not wait longer).
  static constexpr int kBusyTimeoutMs = 10;

 private:
  // Runs sql; throws std::runtime_error with the store's message on failure.
  void Exec(const char* sql);
  sqlite3_stmt* InsertFor(const std::string& table);
  [[noreturn]] void Fail(const std::string& what);

  std::filesystem::path file_;
  sqlite3* db_ = nullptr;
  CaseInsensitiveMap<bool> tables_;
  std::unordered_map<std::string, sqlite3_stmt*> inserts_;
};

}  // namespace tagvane
