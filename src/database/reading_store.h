// What the reading database needs from a store (the SQLite file or the
// PostgreSQL server): connect, know its tables, write one batch of rows as
// one transaction, prune old rows, read a tag's history back. Every
// operation reports through a callback, which a synchronous store may call
// before returning; a store runs one operation at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "database/history.h"

namespace tagvane {

// One reading as it is stored: its table (a checked name, "tbl" + four
// letters or digits), its SampleDate text and the reported strength.
struct ReadingRow {
  std::string table;
  std::string sample_date;
  int16_t strength = 0;
};

// One presence turn as it is stored in the turns table.
struct TurnRow {
  std::string sample_date;
  std::string device_code;
  std::string tag_id;
  bool on = false;
  int figure = 0;
  std::string name;
  std::string location;
};

// The table of presence turns of every tag (its name is not a reading
// table's: those are "tbl" + exactly four characters).
inline constexpr const char* kTurnsTable = "tblTurns";

class ReadingStore {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;
  // ok, and the store's description of the failure when not ok.
  using Done = std::function<void(bool ok, const std::string& error)>;
  // ok, how many of the rows were written (a prefix), the failure text.
  using Written = std::function<void(bool ok, size_t rows_written, const std::string& error)>;
  // ok, the number of rows deleted, the failure text.
  using Pruned = std::function<void(bool ok, long deleted, const std::string& error)>;
  using HistoryDone = std::function<void(HistoryResult)>;
  // Something the store did on its own that belongs in the event log (a
  // damaged file moved aside, a file found deleted).
  using Notice = std::function<void(const std::string& text)>;

  virtual ~ReadingStore() = default;
  // The database name used in log entries (the file path, or the server's
  // database name).
  virtual std::string Name() const = 0;
  // Opens the database, creating it when it is missing, and learns which
  // tables exist.
  virtual void Connect(Done done) = 0;
  // Drops the connection and what was prepared on it; any operation in
  // flight is abandoned without its callback.
  virtual void Disconnect() = 0;
  // Whether a table of that name exists (compared without case).
  virtual bool HasTable(std::string_view table) const = 0;
  // True when the connection no longer reaches the database it opened (a
  // file deleted or renamed under it): the caller reconnects.
  virtual bool Stale() const { return false; }
  virtual std::vector<std::string> Tables() const = 0;
  // How many existing tables one Write may append rows to (a server holds
  // a lock for each until the commit, and has room for a few thousand).
  virtual size_t TablesPerWrite() const { return SIZE_MAX; }
  // One transaction: creates new_tables (names checked by the caller; the
  // turns table gets its own columns), appends the turns, then rows in their
  // order. A store that works on the loop thread stops appending rows once
  // deadline has passed and commits what it has: rows_written tells how
  // many of rows (from the front) were kept. On failure nothing is kept.
  virtual void Write(const std::vector<std::string>& new_tables,
                     const std::vector<TurnRow>& turns, const std::vector<ReadingRow>& rows,
                     SteadyTime deadline, Written done) = 0;
  // Deletes up to limit of the oldest rows of table whose SampleDate is
  // before cutoff (a SampleDate text).
  virtual void Prune(const std::string& table, const std::string& cutoff, int limit,
                     Pruned done) = 0;
  // Reads the window of query (the tag's table and turns must be checked by
  // the caller); done runs exactly once with ok set.
  virtual void LoadHistory(const HistoryQuery& query, HistoryDone done) = 0;

  void SetNotice(Notice notice) { notice_ = std::move(notice); }

 protected:
  void Note(const std::string& text) const {
    if (notice_) notice_(text);
  }

 private:
  Notice notice_;
};

}  // namespace tagvane
