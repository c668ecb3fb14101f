#include "database/reading_database.h"

#include <asio/post.hpp>

#include <algorithm>

#include "core/app.h"
#include "core/failure.h"
#include "core/numbers.h"
#include "core/text.h"
#include "database/pg_store.h"
#include "database/reading_text.h"
#include "database/sqlite_store.h"
#include "receiver/rfid_device.h"

namespace tagvane {

ReadingDatabase::ReadingDatabase(App& app)
    : app_(app),
      step_timer_(app.Timers()),
      retry_timer_(app.Timers()),
      prune_timer_(app.Timers()) {
  retry_timer_.SetOnTick([this] {
    retry_timer_.SetEnabled(false);
    Connect();
  });
  step_timer_.SetOnTick([this] {
    step_timer_.SetEnabled(false);
    Flush();
  });
  prune_timer_.SetOnTick([this] {
    prune_timer_.SetInterval(static_cast<int>(kPruneInterval.count()));
    PruneOldReadings();
  });
  decision_listener_ =
      app.GetHooks().DeviceDecision.Add([this](const std::string& code) { OnDecision(code); });
}

ReadingDatabase::~ReadingDatabase() {
  *alive_ = false;
  app_.GetHooks().DeviceDecision.Remove(decision_listener_);
}

void ReadingDatabase::Open() {
  Guard(app_.Log(), "CreateDatabase", [&] {
    const Settings& settings = app_.GetSettings();
    if (settings.UseSQL == 0 || open_) return;
    if (!store_) {
      if (settings.UseSQL == 1) {
        store_ = std::make_unique<SqliteStore>(app_.Loop().Io(), app_.GetClock(),
                                               app_.DataDir() / "Tagvane" / "qbxRFID.db");
      } else if (settings.UseSQL == 2) {
        store_ = std::make_unique<PgStore>(app_.Loop().Io(), settings.SQLSource);
      } else {
        app_.Log().LogEvent(kProductSource, "CreateDatabase UseSQL " +
                                                std::to_string(settings.UseSQL) +
                                                " is not 0, 1 or 2; readings are not stored");
        return;
      }
    }
    store_->SetNotice([this](const std::string& text) {
      app_.Log().LogEvent(kProductSource, text);
    });
    name_ = store_->Name();
    open_ = true;
    // What a turn is measured against: the states the tags start with.
    for (const auto& [code, device] : app_.Tables().DeviceTable) {
      if (device) last_status_.Add(code, device->DeviceStatus());
    }
    const double days =
        LeadingNumber(app_.Ini().GetIniSetting("RFID", "ReadingsKeepDays", "0", kSettingsFile));
    keep_days_ = days >= 1 ? static_cast<int>(std::min(days, 1e6)) : 0;
    if (keep_days_ > 0) {
      // Soon after start-up, so a daemon restarted often still prunes.
      prune_timer_.SetInterval(static_cast<int>(kFirstPrune.count()));
      prune_timer_.SetEnabled(true);
    }
    Connect();
    CreateRFIDTables();
  });
}

void ReadingDatabase::Connect() {
  if (!store_ || connecting_ || connected_) return;
  connecting_ = true;
  store_->Connect([this](bool ok, const std::string& error) {
    connecting_ = false;
    if (ok) {
      OnConnected();
    } else {
      OnFailure(error);
    }
  });
}

void ReadingDatabase::OnConnected() {
  connected_ = true;
  retry_timer_.SetEnabled(false);
  // The tables the store has were learned again: what is still missing.
  missing_.clear();
  for (const auto& [table, unused] : wanted_) {
    if (!store_->HasTable(table)) missing_.push_back(table);
  }
  // The outage ends with the first write that succeeds (a locked file opens
  // but cannot be written).
  if (!outage_ && app_.GetSettings().DebugLog) {
    app_.Log().LogEvent(kDebugSource, "Reading database " + name_ + " open");
  }
  if (prune_due_) PruneOldReadings();
  ScheduleFlush();
}

void ReadingDatabase::OnFailure(const std::string& error) {
  connected_ = false;
  busy_ = false;
  store_->Disconnect();
  if (!outage_) {
    outage_ = true;
    app_.Log().LogEvent(kProductSource, "RecordReading " + error + "; readings are kept while " +
                                            name_ + " is unavailable");
  }
  // Reads waiting for the store are answered now rather than after it.
  while (!history_.empty()) {
    auto done = std::move(history_.front().second);
    history_.pop_front();
    HistoryResult result;
    result.error = "The reading database " + name_ + " is unavailable";
    done(std::move(result));
  }
  if (closing_) return;
  retry_timer_.SetInterval(static_cast<int>(retry_delay_.count()));
  retry_timer_.SetEnabled(true);
  next_try_ = app_.GetClock().Now() + retry_delay_;
  retry_delay_ = std::min(retry_delay_ * 2, kLastRetry);
}

std::optional<std::string> ReadingDatabase::TableFor(const std::string& tag_id) {
  auto table = ReadingTableName(tag_id);
  if (!table && refused_.insert(tag_id).second) {
    app_.Log().LogEvent(kProductSource, "NewTable: tbl" + PrintableTagId(tag_id) +
                                            " is not a usable table name (a tag identifier "
                                            "is four letters or digits); its readings are "
                                            "not stored");
  }
  return table;
}

void ReadingDatabase::CreateRFIDTables() {
  if (!open_) return;
  for (const auto& [code, device] : app_.Tables().DeviceTable) {
    // Each tag is checked on its own.
    Guard(app_.Log(), "CreateRFIDTables: Error #1", [&, &code = code, &device = device] {
      if (!device || !device->InUse()) return;
      if (const auto table = TableFor(std::string(Right(code, 4)))) WantTable(*table);
    });
  }
}

void ReadingDatabase::WantTable(const std::string& table) {
  if (!wanted_.Add(table, true) || !connected_ || store_->HasTable(table)) return;
  missing_.push_back(table);
  ScheduleFlush();
}

void ReadingDatabase::RecordReading(const std::string& tag_id, int16_t strength) {
  Guard(app_.Log(), "RecordReading", [&] {
    if (!open_) return;
    const auto table = TableFor(tag_id);
    if (!table) return;
    // Only tags in use are recorded, so a tag accepted since the last table
    // check gets its table here at the latest.
    WantTable(*table);
    if (Queued() >= kBufferLimit) Drop(1);
    const DateTime now = app_.GetClock().Now();
    // After an outage's wait the next reading tries at once, whatever the
    // retry timer is doing.
    if (!connected_ && !connecting_ && !closing_ && now >= next_try_) {
      retry_timer_.SetEnabled(false);
      Connect();
    }
    if (queue_.empty() && !busy_) batch_started_ = now;
    // Many readings share a second: its text is made once.
    const auto second = std::chrono::floor<std::chrono::seconds>(now);
    if (second != sample_second_ || sample_text_.empty()) {
      sample_second_ = second;
      sample_text_ = StdTimeOf(now);
    }
    queue_.push_back(ReadingRow{*table, sample_text_, strength});
    if (now - batch_started_ >= kBatchAge) {
      Flush();
    } else {
      ScheduleFlush();
    }
  });
}

void ReadingDatabase::Drop(size_t count) {
  count = std::min(count, queue_.size());
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(count));
  dropped_total_ += count;
  outage_dropped_ += count;
  drop_unlogged_ += count;
  const DateTime now = app_.GetClock().Now();
  if (drop_unlogged_ == 0 || (drop_logged_once_ && now - drop_logged_ < kDropLogInterval)) {
    return;
  }
  drop_logged_once_ = true;
  drop_logged_ = now;
  app_.Log().LogEvent(kProductSource, "RecordReading " + std::to_string(drop_unlogged_) +
                                          " readings dropped: the buffer of " +
                                          std::to_string(kBufferLimit) + " readings for " +
                                          name_ + " is full");
  drop_unlogged_ = 0;
}

void ReadingDatabase::ScheduleFlush() {
  if (flush_posted_ || !open_) return;
  flush_posted_ = true;
  std::weak_ptr<bool> alive = alive_;
  asio::post(app_.Loop().Io(), [this, alive] {
    auto token = alive.lock();
    if (!token || !*token) return;
    flush_posted_ = false;
    Flush();
  });
}

bool ReadingDatabase::ReopenIfStale() {
  if (!store_->Stale()) return false;
  app_.Log().LogEvent(kProductSource, "RecordReading " + name_ +
                                          " was deleted or moved while open; a new file is "
                                          "started with the tables of the tags in use");
  connected_ = false;
  store_->Disconnect();
  Connect();
  return true;
}

void ReadingDatabase::Flush() {
  if (!connected_ || busy_ || !store_) return;
  if (ReopenIfStale()) return;
  if (!history_.empty()) return RunHistory();
  // The loop's share for writing: kStepBudget of every kStep; the rest of
  // the rows wait for the next step. At shut-down, what the close allows.
  // Steps follow the daemon's clock (a clock set back starts a new one);
  // the time used is the loop's own.
  using Steady = std::chrono::steady_clock;
  const auto now = Steady::now();
  const DateTime today = app_.GetClock().Now();
  if (today - step_start_ >= kStep || today < step_start_) {
    step_start_ = today;
    step_used_ = {};
  }
  if (!closing_ && step_used_ >= kStepBudget) {
    const auto wait = std::chrono::ceil<Milliseconds>(step_start_ + kStep - today);
    step_timer_.SetInterval(static_cast<int>(std::max<int64_t>(wait.count(), 1)));
    step_timer_.SetEnabled(true);
    return;
  }
  // New tables go in a write of their own (but at shut-down), so the time
  // they take is known: rows would fill whatever a write leaves. After a
  // write of tables comes one of rows, so the readings of the tags that
  // have their table flow meanwhile.
  std::vector<std::string> new_tables;
  CaseInsensitiveMap<bool> fresh;
  in_flight_.clear();
  if (made_tables_last_ && !closing_) TakeRows({});
  made_tables_last_ = false;
  if (in_flight_.empty()) {
    new_tables = TakeNewTables(fresh);
    made_tables_last_ = !new_tables.empty();
    if (new_tables.empty() || closing_) TakeRows(fresh);
  }
  // Turns go once their table is there (it is made first of the missing).
  const bool turns_go = store_->HasTable(kTurnsTable) || fresh.Contains(kTurnsTable);
  if (new_tables.empty() && in_flight_.empty() && (turns_.empty() || !turns_go)) {
    return PruneNext();
  }
  const auto deadline = closing_ ? now + kCloseLimit : now + (kStepBudget - step_used_);
  tables_in_flight_ = std::move(new_tables);
  if (turns_go) {
    turns_in_flight_ = std::move(turns_);
    turns_.clear();
  }
  busy_ = true;
  // A store that writes at once has answered (and emptied the lists) when
  // Write returns.
  const size_t tables_made = tables_in_flight_.size();
  // Only the loop's own time counts (a server's work does not hold it).
  store_->Write(tables_in_flight_, turns_in_flight_, in_flight_, deadline,
                [this](bool ok, size_t rows_written, const std::string& error) {
                  AfterWrite(ok, rows_written, error);
                });
  const auto used = Steady::now() - now;
  step_used_ += used;
  AdjustTableAllowance(tables_made, used);
}

std::vector<std::string> ReadingDatabase::TakeNewTables(CaseInsensitiveMap<bool>& taken) {
  // At most kTableBatch new tables a transaction (a server holds a lock
  // for each until the commit), and no more than the loop's share allows:
  // a file's new table costs more the more tables it has.
  std::vector<std::string> tables;
  const size_t limit = closing_ ? kTableBatch : table_allowance_;
  // The turns table before the tags' (turns wait for it, and there is one).
  if (wanted_.Contains(kTurnsTable) && !store_->HasTable(kTurnsTable) &&
      taken.Add(kTurnsTable, true)) {
    tables.push_back(kTurnsTable);
  }
  while (!missing_.empty() && tables.size() < limit) {
    std::string table = std::move(missing_.front());
    missing_.pop_front();
    if (store_->HasTable(table) || !taken.Add(table, true)) continue;
    tables.push_back(std::move(table));
  }
  return tables;
}

void ReadingDatabase::TakeRows(const CaseInsensitiveMap<bool>& fresh_tables) {
  // The rows whose table exists or comes now (fresh_tables) go, into at
  // most TablesPerWrite existing tables; the others wait, each table's in
  // order. At most kBatchLimit rows are looked at, so a buffer waiting for
  // its tables is not moved about whole at every step, and no more are taken
  // than a write got through lately (ready_rows_).
  const bool all_ready = missing_.empty();
  const size_t tables_per_write = store_->TablesPerWrite();
  CaseInsensitiveMap<bool> touched;
  std::deque<ReadingRow> waiting;
  const size_t ready_limit = closing_ ? kBatchLimit : ready_rows_;
  while (!queue_.empty() && in_flight_.size() < ready_limit &&
         in_flight_.size() + waiting.size() < kBatchLimit) {
    ReadingRow& row = queue_.front();
    const bool fresh = fresh_tables.Contains(row.table);
    const bool ready = fresh || all_ready || store_->HasTable(row.table);
    if (ready && (fresh || touched.Contains(row.table) ||
                  (touched.size() < tables_per_write && touched.Add(row.table, true)))) {
      in_flight_.push_back(std::move(row));
    } else {
      waiting.push_back(std::move(row));
    }
    queue_.pop_front();
  }
  queue_.insert(queue_.begin(), std::make_move_iterator(waiting.begin()),
                std::make_move_iterator(waiting.end()));
}

void ReadingDatabase::AdjustTableAllowance(size_t tables, std::chrono::steady_clock::duration used) {
  if (tables == 0) return;
  // Half the step's share for tables, judged by the last write that made
  // some; the allowance at most doubles a step, and is never below one.
  const size_t fits = used > used.zero() ? static_cast<size_t>(tables * (kStepBudget / 2) / used)
                                         : kTableBatch;
  table_allowance_ = std::clamp<size_t>(fits, 1, std::min(kTableBatch, 2 * table_allowance_));
}

void ReadingDatabase::Announce(const std::string& table) {
  if (!announced_.Add(table, true)) return;
  if (EqualsNoCase(table, kTurnsTable)) {
    app_.Log().LogEvent(kProductSource, std::string("Creating database table ") + kTurnsTable +
                                            " for the presence turns in " + name_);
    return;
  }
  app_.Log().LogEvent(kProductSource,
                      "Creating database table for Sensor " + table + " in " + name_);
}

void ReadingDatabase::AfterWrite(bool ok, size_t rows_written, const std::string& error) {
  busy_ = false;
  if (ok) {
    retry_delay_ = kFirstRetry;
    // Only tables that were really made are announced.
    for (const std::string& table : tables_in_flight_) Announce(table);
    tables_in_flight_.clear();
    turns_in_flight_.clear();
    if (outage_) {
      outage_ = false;
      app_.Log().LogEvent(kProductSource, "RecordReading " + name_ + " is available again; " +
                                              std::to_string(Queued()) + " readings kept, " +
                                              std::to_string(outage_dropped_) + " dropped");
      outage_dropped_ = 0;
    }
    rows_written = std::min(rows_written, in_flight_.size());
    written_ += rows_written;
    // A write cut short by its deadline says how many rows fit one.
    if (rows_written < in_flight_.size()) {
      ready_rows_ = std::clamp<size_t>(2 * rows_written, kMinReadyRows, kBatchLimit);
    } else if (rows_written == ready_rows_) {
      ready_rows_ = std::min(kBatchLimit, 2 * ready_rows_);
    }
    // Rows past the deadline go back to the head of the queue, in order.
    queue_.insert(queue_.begin(),
                  std::make_move_iterator(in_flight_.begin() +
                                          static_cast<std::ptrdiff_t>(rows_written)),
                  std::make_move_iterator(in_flight_.end()));
    in_flight_.clear();
    batch_started_ = app_.GetClock().Now();
    if (!queue_.empty() || !missing_.empty() || !turns_.empty() || pruning_ ||
        !history_.empty()) {
      ScheduleFlush();
    }
    return;
  }
  // Nothing of the batch was kept: it goes back, in order, before what came
  // in meanwhile; the buffer bound drops the oldest.
  queue_.insert(queue_.begin(), std::make_move_iterator(in_flight_.begin()),
                std::make_move_iterator(in_flight_.end()));
  in_flight_.clear();
  turns_.insert(turns_.begin(), turns_in_flight_.begin(), turns_in_flight_.end());
  turns_in_flight_.clear();
  tables_in_flight_.clear();
  if (queue_.size() > kBufferLimit) Drop(queue_.size() - kBufferLimit);
  OnFailure(error);
}

void ReadingDatabase::Close() {
  Guard(app_.Log(), "RecordReading", [&] {
    if (!open_) return;
    closing_ = true;
    pruning_ = false;
    retry_timer_.SetEnabled(false);
    prune_timer_.SetEnabled(false);
    step_timer_.SetEnabled(false);
    using Steady = std::chrono::steady_clock;
    const auto deadline = Steady::now() + kCloseLimit;
    // One more attempt when the store is away.
    if (!connected_) Connect();
    while (Steady::now() < deadline) {
      if (connected_ && !busy_) Flush();
      if (connected_ && Idle()) break;
      if (!connected_ && !connecting_) break;
      app_.Loop().PumpFor(Milliseconds(20));
    }
    if (Queued() > 0) {
      app_.Log().LogEvent(kProductSource, "RecordReading " + std::to_string(Queued()) +
                                              " readings could not be written to " + name_ +
                                              " before shut-down");
    }
    if (store_) store_->Disconnect();
    connected_ = false;
    busy_ = false;
    open_ = false;
  });
}

}  // namespace tagvane
