// The reading database on a PostgreSQL server (UseSQL 2), reached through
// PgLink on the daemon's loop. SQLSource is a libpq connection string (or a
// bare host name); the database is "qbxrfid", created on the server when it
// cannot be reached. Rows go to the server with COPY, one table after the
// other, inside one transaction when a batch spans several tables; the
// writes never wait on the loop, so a deadline does not apply to them.
#pragma once

#include <asio/io_context.hpp>
#include <memory>
#include <string>

#include "core/ci_map.h"
#include "database/pg_link.h"
#include "database/reading_store.h"

namespace tagvane {

class PgStore final : public ReadingStore {
 public:
  static constexpr const char* kDatabaseName = "qbxrfid";
  // The server locks every table a transaction writes until the commit.
  static constexpr size_t kTablesPerWrite = 200;

  PgStore(asio::io_context& io, std::string source);

  std::string Name() const override { return kDatabaseName; }
  void Connect(Done done) override;
  void Disconnect() override { link_.Close(); }
  bool HasTable(std::string_view table) const override { return tables_.Contains(table); }
  size_t TablesPerWrite() const override { return kTablesPerWrite; }
  std::vector<std::string> Tables() const override { return tables_.Keys(); }
  void Write(const std::vector<std::string>& new_tables, const std::vector<TurnRow>& turns,
             const std::vector<ReadingRow>& rows, SteadyTime deadline, Written done) override;
  void Prune(const std::string& table, const std::string& cutoff, int limit,
             Pruned done) override;
  // One round of three queries on the server (readings thinned there by
  // their row number in the window, turns, the turn before); the loop only
  // reads the answer.
  void LoadHistory(const HistoryQuery& query, HistoryDone done) override;

  // The connection parameters for SQLSource and a database name: a source
  // with "=" or a URI is a connection string (a database it names is
  // replaced), anything else non-empty is a host name.
  static PgLink::Params ConnectionParams(const std::string& source, const std::string& dbname);
  // Whether the source names a database of its own.
  static bool SourceNamesDatabase(const std::string& source);

 private:
  void ConnectMain(Done done);
  void CreateDatabase(const std::string& first_error, Done done);
  void LoadTables(Done done);

  std::string source_;
  PgLink link_;
  CaseInsensitiveMap<bool> tables_;
};

}  // namespace tagvane
