// What the reading database needs from a store (the SQLite file or the
// PostgreSQL server): connect, know its tables, write one batch of rows as
// one transaction, prune old rows. Every operation reports through a
// callback, which a synchronous store may call before returning; a store runs
// one operation at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tagvane {

// One reading as it is stored: its table (a checked name, "tbl" + four
// letters or digits), its SampleDate text and the reported strength.
struct ReadingRow {
  std::string table;
  std::string sample_date;
  int16_t strength = 0;
};

class ReadingStore {
 public:
  // ok, and the store's description of the failure when not ok.
  using Done = std::function<void(bool ok, const std::string& error)>;
  // ok, the number of rows deleted, the failure text.
  using Pruned = std::function<void(bool ok, long deleted, const std::string& error)>;

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
  virtual std::vector<std::string> Tables() const = 0;
  // One transaction: creates new_tables (names checked by the caller), then
  // appends rows in their order. On failure nothing of it is kept.
  virtual void Write(const std::vector<std::string>& new_tables,
                     const std::vector<ReadingRow>& rows, Done done) = 0;
  // Deletes up to limit of the oldest rows of table whose SampleDate is
  // before cutoff (a SampleDate text).
  virtual void Prune(const std::string& table, const std::string& cutoff, int limit,
                     Pruned done) = 0;
};

}  // namespace tagvane
