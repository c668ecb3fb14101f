// The reading database: every report of a tag in use becomes one row of that
// tag's table "tbl" + identifier, in a SQLite file (UseSQL 1) or on a
// PostgreSQL server (UseSQL 2). Readings are queued and written in batches
// (one transaction per received chunk, or after 100 ms at the latest) so the
// receiver never waits for the store. While the store is unavailable the
// readings wait in a bounded buffer and the connection is retried with a
// growing pause; shut-down writes what is left, for a few seconds at most.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/ci_map.h"
#include "core/clock.h"
#include "core/subsystems.h"
#include "core/timer.h"
#include "database/reading_store.h"

namespace tagvane {

class App;

class ReadingDatabase final : public DatabasePort {
 public:
  static constexpr size_t kBufferLimit = 100000;
  static constexpr size_t kBatchLimit = 20000;
  static constexpr Milliseconds kBatchAge{100};
  static constexpr Milliseconds kFirstRetry{1000};
  static constexpr Milliseconds kLastRetry{60000};
  static constexpr Milliseconds kCloseLimit{3000};
  static constexpr Milliseconds kPruneInterval{3600 * 1000};
  static constexpr int kPruneBatch = 1000;

  explicit ReadingDatabase(App& app);
  ~ReadingDatabase() override;

  // Opening the database (start-up, after the settings): nothing when
  // UseSQL is 0; otherwise the store is chosen, connected (the database is
  // created when missing) and the tables of the tags in use are made.
  void Open() override;
  // Writes what is queued (bounded by kCloseLimit) and closes the store.
  void Close() override;

  // Queues one reading of a tag in use (tag identifier, strength).
  void RecordReading(const std::string& tag_id, int16_t strength);
  // Makes the table of every tag in use that has none (start-up, a new
  // device, a tag accepted on the status page).
  void CreateRFIDTables();
  // One retention pass now (normally hourly when ReadingsKeepDays > 0).
  void PruneOldReadings();

  // Replaces the store chosen by Open (tests, benchmarks); call before Open.
  void UseStore(std::unique_ptr<ReadingStore> store) { store_ = std::move(store); }

  // The database name ("" while closed).
  const std::string& DatabaseName() const { return name_; }
  bool Available() const { return connected_; }
  bool Idle() const { return !busy_ && queue_.empty() && in_flight_.empty(); }
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
  void AfterWrite(bool ok, const std::string& error);
  void WantTable(const std::string& table);
  void Drop(size_t count);
  void PruneNext();

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

  // Tables the tags in use need, in the order they were asked for.
  CaseInsensitiveMap<bool> wanted_;
  // Tables whose creation was already announced in the event log.
  CaseInsensitiveMap<bool> announced_;
  // Identifiers already reported as unusable table names.
  std::set<std::string> refused_;

  std::deque<ReadingRow> queue_;
  std::vector<ReadingRow> in_flight_;
  DateTime batch_started_{};
  std::chrono::local_time<std::chrono::seconds> sample_second_{};
  std::string sample_text_;
  uint64_t written_ = 0;
  uint64_t dropped_total_ = 0;

  bool outage_ = false;
  // Readings dropped since the last outage ended.
  uint64_t outage_dropped_ = 0;
  Milliseconds retry_delay_ = kFirstRetry;
  Timer retry_timer_;

  int keep_days_ = 0;
  Timer prune_timer_;
  std::vector<std::string> prune_tables_;
  std::string prune_cutoff_;
  bool pruning_ = false;
  uint64_t pruned_ = 0;
};

}  // namespace tagvane
