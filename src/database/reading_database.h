// The reading database: every report of a tag in use becomes one row of that
// tag's table "tbl" + identifier, in a SQLite file (UseSQL 1) or on a
// PostgreSQL server (UseSQL 2), and every presence turn of a tag in use one
// row of the turns table. Readings are queued and written in batches (one
// transaction per received chunk, or after 100 ms at the latest) so the
// receiver never waits for the store; a write on the loop gets at most
// kStepBudget of every kStep, the rest waits for the next step. New tables
// are made at most kTableBatch to a transaction, fewer when they take more
// than half that share, while the readings of tags whose table exists keep
// flowing. While the store is unavailable the readings wait in a bounded
// buffer and the connection is retried with a growing pause of at most
// kLastRetry; shut-down writes what is left, for a few seconds at most.
// The history of a tag is read back through HistorySource.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/ci_map.h"
#include "core/clock.h"
#include "core/subsystems.h"
#include "core/timer.h"
#include "database/history.h"
#include "database/reading_store.h"

namespace tagvane {

class App;

class ReadingDatabase final : public DatabasePort, public HistorySource {
 public:
  static constexpr size_t kBufferLimit = 100000;
  static constexpr size_t kBatchLimit = 20000;
  static constexpr size_t kMinReadyRows = 512;
  static constexpr size_t kTableBatch = 200;
  static constexpr size_t kTurnLimit = 10000;
  static constexpr size_t kHistoryPending = 32;
  static constexpr Milliseconds kBatchAge{100};
  static constexpr Milliseconds kStep{100};
  static constexpr Milliseconds kStepBudget{30};
  static constexpr Milliseconds kFirstRetry{1000};
  static constexpr Milliseconds kLastRetry{10000};
  static constexpr Milliseconds kCloseLimit{3000};
  static constexpr Milliseconds kFirstPrune{10 * 1000};
  static constexpr Milliseconds kPruneInterval{3600 * 1000};
  static constexpr Milliseconds kDropLogInterval{60 * 1000};
  static constexpr int kPruneBatch = 1000;

  explicit ReadingDatabase(App& app);
  ~ReadingDatabase() override;

  // Opening the database (start-up, after the settings): nothing when
  // UseSQL is 0; otherwise the store is chosen, connected (the database is
  // created when missing) and the tables of the tags in use are made.
  void Open() override;
  // Writes what is queued (bounded by kCloseLimit) and closes the store.
  void Close() override;
  // This database while it is open (UseSQL 1 or 2), else nullptr.
  HistorySource* History() override { return open_ ? this : nullptr; }

  // Queues one reading of a tag in use (tag identifier, strength).
  void RecordReading(const std::string& tag_id, int16_t strength);
  // Makes the table of every tag in use that has none (start-up, a new
  // device, a tag accepted on the status page).
  void CreateRFIDTables();
  // One retention pass now (10 s after opening, then hourly, when
  // ReadingsKeepDays > 0); waits for the store when it is unavailable.
  void PruneOldReadings();

  // The readings and turns of one tag (HistorySource). Fails with "No
  // reading database is configured" when closed, and when the store is
  // unavailable, the identifier unusable or too many reads are waiting.
  // Readings not yet written (at most a batch, or an outage's buffer) are
  // not part of the answer.
  void LoadHistory(const HistoryQuery& query, std::function<void(HistoryResult)> done) override;

  // Replaces the store chosen by Open (tests, benchmarks); call before Open.
  void UseStore(std::unique_ptr<ReadingStore> store) { store_ = std::move(store); }

  // The database name ("" while closed).
  const std::string& DatabaseName() const { return name_; }
  bool Available() const { return connected_; }
  bool Idle() const {
    return !busy_ && queue_.empty() && in_flight_.empty() && turns_.empty() &&
           missing_.empty() && history_.empty();
  }
  size_t Queued() const { return queue_.size() + in_flight_.size(); }
  uint64_t Dropped() const { return dropped_total_; }
  uint64_t Written() const { return written_; }
  Milliseconds NextRetry() const { return retry_delay_; }

 private:
  void Connect();
  void OnConnected();
  void OnFailure(const std::string& error);
  void ScheduleFlush();
  void Flush();
  bool ReopenIfStale();
  void RunHistory();
  void AfterWrite(bool ok, size_t rows_written, const std::string& error);
  // The missing tables the next write makes (also added to taken).
  std::vector<std::string> TakeNewTables(CaseInsensitiveMap<bool>& taken);
  // Moves the rows the next write takes from queue_ to in_flight_.
  void TakeRows(const CaseInsensitiveMap<bool>& fresh_tables);
  // How many new tables the next write may make, from the loop time the
  // last write that made tables took.
  void AdjustTableAllowance(size_t tables, std::chrono::steady_clock::duration used);
  void Announce(const std::string& table);
  void WantTable(const std::string& table);
  void Drop(size_t count);
  void PruneNext();
  void OnDecision(const std::string& code);
  // Whether an identifier is usable, logging an unusable one once.
  std::optional<std::string> TableFor(const std::string& tag_id);

  App& app_;
  std::unique_ptr<ReadingStore> store_;
  std::string name_;
  bool open_ = false;
  bool connecting_ = false;
  bool connected_ = false;
  bool busy_ = false;
  bool closing_ = false;
  bool flush_posted_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  int decision_listener_ = 0;

  // Tables the tags in use need, in the order they were asked for.
  CaseInsensitiveMap<bool> wanted_;
  // Those of them the store does not have yet, in that order.
  std::deque<std::string> missing_;
  // Tables whose creation was already announced in the event log.
  CaseInsensitiveMap<bool> announced_;
  // Identifiers already reported as unusable table names.
  std::set<std::string> refused_;

  std::deque<ReadingRow> queue_;
  std::vector<ReadingRow> in_flight_;
  std::vector<TurnRow> turns_;
  std::vector<TurnRow> turns_in_flight_;
  std::vector<std::string> tables_in_flight_;
  // The status each device had at its last decision (or at opening).
  CaseInsensitiveMap<int16_t> last_status_;
  std::deque<std::pair<HistoryQuery, std::function<void(HistoryResult)>>> history_;

  DateTime batch_started_{};
  std::chrono::local_time<std::chrono::seconds> sample_second_{};
  std::string sample_text_;
  uint64_t written_ = 0;
  uint64_t dropped_total_ = 0;
  // Loop time the writes of the current step have taken.
  DateTime step_start_{};
  std::chrono::steady_clock::duration step_used_{};
  size_t table_allowance_ = kTableBatch;
  bool made_tables_last_ = false;
  // Rows of existing tables a write takes: about twice what fitted the last
  // write its deadline cut short.
  size_t ready_rows_ = kBatchLimit;
  Timer step_timer_;

  bool outage_ = false;
  // Readings dropped since the last outage ended, and since the last entry.
  uint64_t outage_dropped_ = 0;
  uint64_t drop_unlogged_ = 0;
  DateTime drop_logged_{};
  bool drop_logged_once_ = false;
  Milliseconds retry_delay_ = kFirstRetry;
  DateTime next_try_{};
  Timer retry_timer_;

  int keep_days_ = 0;
  Timer prune_timer_;
  bool prune_due_ = false;
  std::vector<std::string> prune_tables_;
  std::string prune_cutoff_;
  bool pruning_ = false;
  uint64_t pruned_ = 0;
};

}  // namespace tagvane
