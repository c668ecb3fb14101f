// ReadingsKeepDays: old readings and turns are deleted in small steps
// between the writes.
#include "core/app.h"
#include "core/text.h"
#include "database/reading_database.h"
#include "database/reading_text.h"

namespace tagvane {

void ReadingDatabase::PruneOldReadings() {
  if (keep_days_ <= 0 || pruning_) return;
  if (!connected_) {
    prune_due_ = true;
    return;
  }
  prune_due_ = false;
  const DateTime cutoff = app_.GetClock().Now() - std::chrono::days(keep_days_);
  prune_cutoff_ = StdTimeOf(cutoff);
  prune_tables_.clear();
  for (const std::string& table : store_->Tables()) {
    // Only the tables this program makes (other tables may share the store).
    if ((table.size() == 7 && StartsWithNoCase(table, "tbl") &&
         ReadingTableName(table.substr(3))) ||
        EqualsNoCase(table, kTurnsTable)) {
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

}  // namespace tagvane
