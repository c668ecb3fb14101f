#include "database/pg_store.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>

#include "core/dates.h"
#include "core/text.h"
#include "database/reading_text.h"

namespace tagvane {

PgStore::PgStore(asio::io_context& io, std::string source)
    : source_(std::move(source)), link_(io) {}

bool PgStore::SourceNamesDatabase(const std::string& source) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(source.c_str(), &error);
  if (error) PQfreemem(error);
  bool named = false;
  if (options) {
    for (PQconninfoOption* o = options; o->keyword; ++o) {
      if (std::string_view(o->keyword) == "dbname" && o->val && *o->val) named = true;
    }
    PQconninfoFree(options);
  }
  return named;
}

PgLink::Params PgStore::ConnectionParams(const std::string& source, const std::string& dbname) {
  PgLink::Params params;
  const bool conninfo = source.find('=') != std::string::npos ||
                        source.rfind("postgresql://", 0) == 0 ||
                        source.rfind("postgres://", 0) == 0;
  if (conninfo) {
    // Expanded as a connection string; the later dbname wins.
    params.emplace_back("dbname", source);
  } else if (!source.empty()) {
    params.emplace_back("host", source);
  }
  if (!dbname.empty()) params.emplace_back("dbname", dbname);
  params.emplace_back("fallback_application_name", "tagvane");
  // A server that vanishes without closing the connection is noticed.
  params.emplace_back("keepalives", "1");
  params.emplace_back("keepalives_idle", "10");
  params.emplace_back("tcp_user_timeout", "15000");
  return params;
}

void PgStore::Connect(Done done) {
  tables_.Clear();
  link_.Connect(ConnectionParams(source_, kDatabaseName),
                [this, done](bool ok, const std::string& error) {
                  if (ok) return LoadTables(done);
                  CreateDatabase(error, done);
                });
}

void PgStore::CreateDatabase(const std::string& first_error, Done done) {
  // The source alone; when it names no database, the maintenance database
  // every server has (the login role's own database rarely exists).
  const std::string maintenance = SourceNamesDatabase(source_) ? "" : "postgres";
  link_.Connect(ConnectionParams(source_, maintenance), [this, first_error, done](
                                                            bool ok, const std::string&) {
    if (!ok) return done(false, first_error);
    std::vector<PgStep> steps(1);
    steps[0].sql = std::string("CREATE DATABASE ") + kDatabaseName;
    link_.Run(std::move(steps), [this, first_error, done](bool created, const std::string& error) {
      link_.Close();
      if (!created) return done(false, "CreateDatabase " + error + " (" + first_error + ")");
      ConnectMain(done);
    });
  });
}

void PgStore::ConnectMain(Done done) {
  link_.Connect(ConnectionParams(source_, kDatabaseName),
                [this, done](bool ok, const std::string& error) {
                  if (!ok) return done(false, error);
                  LoadTables(done);
                });
}

void PgStore::LoadTables(Done done) {
  std::vector<PgStep> steps(1);
  steps[0].sql = "SELECT tablename FROM pg_tables WHERE schemaname = current_schema()";
  steps[0].on_result = [this](PGresult* res) {
    for (int i = 0; i < PQntuples(res); ++i) tables_.Add(PQgetvalue(res, i, 0), true);
  };
  link_.Run(std::move(steps), [done](bool ok, const std::string& error) {
    done(ok, ok ? "" : "CreateRFIDTables " + error);
  });
}

void PgStore::Write(const std::vector<std::string>& new_tables,
                    const std::vector<TurnRow>& turns, const std::vector<ReadingRow>& rows,
                    SteadyTime, Written done) {
  if (!link_.Connected() || !link_.Idle()) return done(false, 0, "the database is not open");
  // One COPY per table, the table's rows in their order.
  CaseInsensitiveMap<std::string> data;
  const std::string* last_table = nullptr;
  std::string* text = nullptr;
  for (const ReadingRow& row : rows) {
    // Runs of one table are the common case: one lookup per run.
    if (!last_table || *last_table != row.table) {
      text = data.Find(row.table);
      if (!text) {
        data.Add(row.table, std::string());
        text = data.Find(row.table);
      }
      last_table = &row.table;
    }
    char number[8];
    const auto end = std::to_chars(number, number + sizeof number, row.strength).ptr;
    text->append(row.sample_date).append(1, '\t').append(number, end).append(1, '\n');
  }
  std::vector<PgStep> steps;
  for (const std::string& table : new_tables) {
    // table is a checked name ("tbl" + four letters or digits, or the turns
    // table).
    for (std::string& sql : CreateTableSql(table, true)) {
      PgStep step;
      step.sql = std::move(sql);
      steps.push_back(std::move(step));
    }
  }
  for (const TurnRow& turn : turns) {
    PgStep step;
    step.sql = std::string("INSERT INTO ") + kTurnsTable +
               " (SampleDate, DeviceCode, TagID, Status, Figure, TagName, Location) VALUES "
               "($1::timestamp, $2, $3, $4, $5::integer, $6, $7)";
    step.params = {turn.sample_date,       Latin1ToUtf8(turn.device_code),
                   Latin1ToUtf8(turn.tag_id), turn.on ? "ON" : "OFF",
                   std::to_string(turn.figure), Latin1ToUtf8(turn.name),
                   Latin1ToUtf8(turn.location)};
    steps.push_back(std::move(step));
  }
  for (auto& [table, text] : data) {
    PgStep step;
    step.sql = "COPY " + table + " (SampleDate, Strength) FROM STDIN";
    step.copy_data = std::move(text);
    steps.push_back(std::move(step));
  }
  if (steps.empty()) return done(true, 0, "");
  // A single COPY is a transaction of its own.
  if (steps.size() > 1) {
    PgStep begin;
    begin.sql = "BEGIN";
    steps.insert(steps.begin(), std::move(begin));
    PgStep commit;
    commit.sql = "COMMIT";
    steps.push_back(std::move(commit));
  }
  link_.Run(std::move(steps),
            [this, new_tables, n = rows.size(), done](bool ok, const std::string& error) {
              if (ok) {
                for (const std::string& table : new_tables) tables_.Add(table, true);
              }
              done(ok, ok ? n : 0, error);
            });
}

void PgStore::Prune(const std::string& table, const std::string& cutoff, int limit,
                    Pruned done) {
  if (!link_.Connected() || !link_.Idle()) return done(false, 0, "the database is not open");
  std::vector<PgStep> steps(1);
  // The oldest rows are at the head of the table (see SqliteStore::Prune).
  steps[0].sql = "DELETE FROM " + table + " WHERE ID IN (SELECT ID FROM " + table +
                 " ORDER BY ID LIMIT " + std::to_string(limit) +
                 ") AND SampleDate < $1::timestamp";
  steps[0].params = {cutoff};
  auto deleted = std::make_shared<long>(0);
  steps[0].on_result = [deleted](PGresult* res) { *deleted = std::atol(PQcmdTuples(res)); };
  link_.Run(std::move(steps), [deleted, done](bool ok, const std::string& error) {
    done(ok, *deleted, error);
  });
}

void PgStore::LoadHistory(const HistoryQuery& query, HistoryDone done) {
  if (!link_.Connected() || !link_.Idle()) {
    HistoryResult result;
    result.error = "the reading database is not open";
    return done(std::move(result));
  }
  auto result = std::make_shared<HistoryResult>();
  result->ok = true;
  const std::string from = StdTimeOf(query.from), to = StdTimeOf(query.to);
  const std::string max = std::to_string(std::max<size_t>(query.max_readings, 1));
  const std::string date = "to_char(SampleDate, 'YYYY-MM-DD HH24:MI:SS')";
  std::vector<PgStep> steps;
  const auto table = ReadingTableName(query.tag_id);
  if (table && tables_.Contains(*table)) {
    PgStep step;
    // Row n of a window of N is kept when (n * max) mod N < max: exactly
    // max rows, evenly spread, chosen by the server.
    step.sql = "SELECT " + date + ", Strength, total FROM (SELECT SampleDate, Strength, "
               "row_number() OVER (ORDER BY ID) - 1 AS n, count(*) OVER () AS total FROM " +
               *table +
               " WHERE SampleDate >= $1::timestamp AND SampleDate <= $2::timestamp) s WHERE "
               "total <= $3::bigint OR (n * $3::bigint) % total < $3::bigint ORDER BY n";
    step.params = {from, to, max};
    step.on_result = [result](PGresult* res) {
      const int n = PQntuples(res);
      result->readings.reserve(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) {
        const auto time = ParseDate(PQgetvalue(res, i, 0));
        if (!time) continue;
        const long strength = PQgetisnull(res, i, 1) ? 0 : std::atol(PQgetvalue(res, i, 1));
        result->readings.push_back(
            HistoryReading{*time, static_cast<int16_t>(std::clamp(strength, -32768L, 32767L))});
        result->readings_in_window = std::strtoull(PQgetvalue(res, i, 2), nullptr, 10);
      }
      result->thinned = result->readings_in_window > static_cast<uint64_t>(n);
    };
    steps.push_back(std::move(step));
  }
  if (tables_.Contains(kTurnsTable)) {
    const std::string tag = ToUpper(query.tag_id);
    const std::string select = "SELECT " + date + ", Status, Figure, TagName, Location FROM " +
                               kTurnsTable + " WHERE TagID = $1 AND SampleDate ";
    auto turns = [](PGresult* res, auto&& add) {
      for (int i = 0; i < PQntuples(res); ++i) {
        const auto time = ParseDate(PQgetvalue(res, i, 0));
        if (!time) continue;
        add(HistoryTurn{*time, EqualsNoCase(PQgetvalue(res, i, 1), "ON"),
                        std::atoi(PQgetvalue(res, i, 2)), Utf8ToLatin1(PQgetvalue(res, i, 3)),
                        Utf8ToLatin1(PQgetvalue(res, i, 4))});
      }
    };
    PgStep in;
    in.sql = select + ">= $2::timestamp AND SampleDate <= $3::timestamp ORDER BY SampleDate, "
                      "ID LIMIT " + std::to_string(HistoryResult::kMaxTurns);
    in.params = {Latin1ToUtf8(tag), from, to};
    in.on_result = [result, turns](PGresult* res) {
      turns(res, [&](HistoryTurn t) { result->turns.push_back(std::move(t)); });
    };
    steps.push_back(std::move(in));
    PgStep before;
    before.sql = select + "< $2::timestamp ORDER BY SampleDate DESC, ID DESC LIMIT 1";
    before.params = {Latin1ToUtf8(tag), from};
    before.on_result = [result, turns](PGresult* res) {
      turns(res, [&](HistoryTurn t) { result->before = std::move(t); });
    };
    steps.push_back(std::move(before));
  }
  if (steps.empty()) return done(std::move(*result));
  link_.Run(std::move(steps), [result, done](bool ok, const std::string& error) {
    if (!ok) {
      *result = HistoryResult{};
      result->error = "LoadHistory " + error;
    }
    done(std::move(*result));
  });
}

}  // namespace tagvane
