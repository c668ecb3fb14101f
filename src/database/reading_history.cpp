// The reading database's presence turns (written beside the readings) and
// the history read back through HistorySource.
#include "core/app.h"
#include "core/failure.h"
#include "core/text.h"
#include "database/reading_database.h"
#include "database/reading_text.h"
#include "receiver/rfid_device.h"

namespace tagvane {

void ReadingDatabase::OnDecision(const std::string& code) {
  Guard(app_.Log(), "RecordReading", [&] {
    if (!open_) return;
    const DevicePtr* device = app_.Tables().DeviceTable.Find(code);
    if (!device || !*device) return;
    const int16_t status = (*device)->DeviceStatus();
    // A decision is a turn or a change of the figure; only a turn (the
    // status differs from the one this tag had at its last decision, or at
    // opening) is stored.
    int16_t* last = last_status_.Find(code);
    if (last && *last == status) return;
    if (last) {
      *last = status;
    } else {
      last_status_.Add(code, status);
    }
    if (status != kStatusOn && status != kStatusOff) return;
    WantTable(kTurnsTable);
    if (turns_.size() >= kTurnLimit) {
      turns_.erase(turns_.begin());
      ++dropped_total_;
    }
    turns_.push_back(TurnRow{StdTimeOf(app_.GetClock().Now()), (*device)->DC(),
                             std::string(Right((*device)->DC(), 4)), status == kStatusOn,
                             (*device)->DeviceValue(), (*device)->Tag(), (*device)->Location()});
    ScheduleFlush();
  });
}

void ReadingDatabase::LoadHistory(const HistoryQuery& query,
                                  std::function<void(HistoryResult)> done) {
  HistoryResult refused;
  if (!open_) {
    refused.error = "No reading database is configured";
  } else if (!ReadingTableName(query.tag_id)) {
    refused.error = "No readings are stored for a tag identifier that is not four letters or "
                    "digits";
  } else if (query.to < query.from) {
    refused.error = "The window ends before it starts";
  } else if (!connected_) {
    refused.error = "The reading database " + name_ + " is unavailable";
  } else if (history_.size() >= kHistoryPending) {
    refused.error = "The reading database is busy; try again";
  } else {
    history_.emplace_back(query, std::move(done));
    ScheduleFlush();
    return;
  }
  done(std::move(refused));
}

void ReadingDatabase::RunHistory() {
  auto [query, done] = std::move(history_.front());
  history_.pop_front();
  busy_ = true;
  store_->LoadHistory(query, [this, done = std::move(done)](HistoryResult result) {
    busy_ = false;
    const bool failed = !result.ok;
    Guard(app_.Log(), "LoadHistory", [&] { done(std::move(result)); });
    // A server drops the connection after a failed query: make it again.
    if (failed && !closing_) {
      connected_ = false;
      store_->Disconnect();
      Connect();
      return;
    }
    ScheduleFlush();
  });
}

}  // namespace tagvane
