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
    : app_(app), retry_timer_(app.Timers()), prune_timer_(app.Timers()) {
  retry_timer_.SetOnTick([this] {
    retry_timer_.SetEnabled(false);
    Connect();
  });
  prune_timer_.SetOnTick([this] { PruneOldReadings(); });
}

ReadingDatabase::~ReadingDatabase() { *alive_ = false; }

void ReadingDatabase::Open() {
  Guard(app_.Log(), "CreateDatabase", [&] {
    const Settings& settings = app_.GetSettings();
    if (settings.UseSQL == 0 || open_) return;
    if (!store_) {
      if (settings.UseSQL == 1) {
        store_ = std::make_unique<SqliteStore>(app_.DataDir() / "Tagvane" / "qbxRFID.db");
      } else if (settings.UseSQL == 2) {
        store_ = std::make_unique<PgStore>(app_.Loop().Io(), settings.SQLSource);
      } else {
        app_.Log().LogEvent(kProductSource, "CreateDatabase UseSQL " +
                                                std::to_string(settings.UseSQL) +
                                                " is not 0, 1 or 2; readings are not stored");
        return;
      }
    }
    name_ = store_->Name();
    open_ = true;
    const double days =
        LeadingNumber(app_.Ini().GetIniSetting("RFID", "ReadingsKeepDays", "0", kSettingsFile));
    keep_days_ = days >= 1 ? static_cast<int>(std::min(days, 1e6)) : 0;
    if (keep_days_ > 0) {
      prune_timer_.SetInterval(static_cast<int>(kPruneInterval.count()));
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
  // The outage ends with the first write that succeeds (a locked file opens
  // but cannot be written).
  if (!outage_ && app_.GetSettings().DebugLog) {
    app_.Log().LogEvent(kDebugSource, "Reading database " + name_ + " open");
  }
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
  if (closing_) return;
  retry_timer_.SetInterval(static_cast<int>(retry_delay_.count()));
  retry_timer_.SetEnabled(true);
  retry_delay_ = std::min(retry_delay_ * 2, kLastRetry);
}

void ReadingDatabase::CreateRFIDTables() {
  if (!open_) return;
  for (const auto& [code, device] : app_.Tables().DeviceTable) {
    // Each tag is checked on its own.
    Guard(app_.Log(), "CreateRFIDTables: Error #1", [&, &code = code, &device = device] {
      if (!device || !device->InUse()) return;
      const std::string tag_id(Right(code, 4));
      if (const auto table = ReadingTableName(tag_id)) {
        WantTable(*table);
      } else if (refused_.insert(tag_id).second) {
        app_.Log().LogEvent(kProductSource, "NewTable: tbl" + PrintableTagId(tag_id) +
                                                " is not a usable table name (a tag identifier "
                                                "is four letters or digits); its readings are "
                                                "not stored");
      }
    });
  }
}

void ReadingDatabase::WantTable(const std::string& table) {
  if (wanted_.Add(table, true) && connected_ && !store_->HasTable(table)) ScheduleFlush();
}

void ReadingDatabase::RecordReading(const std::string& tag_id, int16_t strength) {
  Guard(app_.Log(), "RecordReading", [&] {
    if (!open_) return;
    const auto table = ReadingTableName(tag_id);
    if (!table) {
      if (refused_.insert(tag_id).second) {
        app_.Log().LogEvent(kProductSource, "NewTable: tbl" + PrintableTagId(tag_id) +
                                                " is not a usable table name (a tag identifier "
                                                "is four letters or digits); its readings are "
                                                "not stored");
      }
      return;
    }
    // Only tags in use are recorded, so a tag accepted since the last table
    // check gets its table here at the latest.
    WantTable(*table);
    if (Queued() >= kBufferLimit) Drop(1);
    const DateTime now = app_.GetClock().Now();
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

void ReadingDatabase::Flush() {
  if (!connected_ || busy_ || !store_) return;
  std::vector<std::string> new_tables;
  for (const auto& [table, unused] : wanted_) {
    if (!store_->HasTable(table)) new_tables.push_back(table);
  }
  if (new_tables.empty() && queue_.empty()) return PruneNext();
  for (const std::string& table : new_tables) {
    if (announced_.Add(table, true)) {
      app_.Log().LogEvent(kProductSource,
                          "Creating database table for Sensor " + table + " in " + name_);
    }
  }
  const size_t n = std::min(queue_.size(), kBatchLimit);
  in_flight_.assign(std::make_move_iterator(queue_.begin()),
                    std::make_move_iterator(queue_.begin() + static_cast<std::ptrdiff_t>(n)));
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
  busy_ = true;
  store_->Write(new_tables, in_flight_,
                [this](bool ok, const std::string& error) { AfterWrite(ok, error); });
}

void ReadingDatabase::AfterWrite(bool ok, const std::string& error) {
  busy_ = false;
  if (ok) {
    retry_delay_ = kFirstRetry;
    if (outage_) {
      outage_ = false;
      app_.Log().LogEvent(kProductSource, "RecordReading " + name_ + " is available again; " +
                                              std::to_string(Queued()) + " readings kept, " +
                                              std::to_string(outage_dropped_) + " dropped");
      outage_dropped_ = 0;
    }
    written_ += in_flight_.size();
    in_flight_.clear();
    batch_started_ = app_.GetClock().Now();
    if (!queue_.empty() || pruning_) ScheduleFlush();
    return;
  }
  // Nothing of the batch was kept: it goes back, in order, before what came
  // in meanwhile; the buffer bound drops the oldest.
  queue_.insert(queue_.begin(), std::make_move_iterator(in_flight_.begin()),
                std::make_move_iterator(in_flight_.end()));
  in_flight_.clear();
  if (queue_.size() > kBufferLimit) Drop(queue_.size() - kBufferLimit);
  OnFailure(error);
}

void ReadingDatabase::PruneOldReadings() {
  if (!connected_ || keep_days_ <= 0 || pruning_) return;
  const DateTime cutoff = app_.GetClock().Now() - std::chrono::days(keep_days_);
  prune_cutoff_ = StdTimeOf(cutoff);
  prune_tables_.clear();
  for (const std::string& table : store_->Tables()) {
    // Only the tables this program makes (other tables may share the store).
    if (table.size() == 7 && StartsWithNoCase(table, "tbl") && ReadingTableName(table.substr(3))) {
      prune_tables_.push_back(table);
    }
  }
  pruned_ = 0;
  pruning_ = true;
  ScheduleFlush();
}

void ReadingDatabase::PruneNext() {
  if (!pruning_ || busy_ || !connected_) return;
  if (prune_tables_.empty()) {
    pruning_ = false;
    if (pruned_ > 0) {
      app_.Log().LogEvent(kProductSource, "ReadingsKeepDays " + std::to_string(pruned_) +
                                              " readings older than " + prune_cutoff_ +
                                              " removed");
    }
    return;
  }
  busy_ = true;
  const std::string table = prune_tables_.back();
  // Small batches from the oldest rows on: one step never holds the loop long.
  store_->Prune(table, prune_cutoff_, kPruneBatch,
                [this](bool ok, long deleted, const std::string& error) {
                  busy_ = false;
                  if (!ok) {
                    pruning_ = false;
                    app_.Log().LogEvent(kProductSource, "ReadingsKeepDays " + error);
                    return;
                  }
                  pruned_ += static_cast<uint64_t>(deleted);
                  if (deleted < kPruneBatch) prune_tables_.pop_back();
                  ScheduleFlush();
                });
}

void ReadingDatabase::Close() {
  Guard(app_.Log(), "RecordReading", [&] {
    if (!open_) return;
    closing_ = true;
    pruning_ = false;
    retry_timer_.SetEnabled(false);
    prune_timer_.SetEnabled(false);
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
