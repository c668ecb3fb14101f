// The history read of the SQLite store. Reading tables have no index on
// their time column (they stay as users' queries know them), but rows are
// appended in time order, so the window is found by bisection over the
// primary key: a few dozen index seeks, however big the table. A window of
// up to max_readings rows is read in pages; a larger one is thinned by
// seeking evenly spaced row numbers. Every slice stops after kHistorySlice
// and the rest runs from the loop.
#include <sqlite3.h>

#include <asio/post.hpp>

#include <algorithm>
#include <limits>

#include "core/dates.h"
#include "core/text.h"
#include "database/reading_text.h"
#include "database/sqlite_store.h"

namespace tagvane {

class SqliteStore::HistoryJob {
 public:
  HistoryJob(sqlite3* db, const HistoryQuery& query, HistoryDone done)
      : db_(db), query_(query), done_(std::move(done)) {}
  ~HistoryJob() {
    for (sqlite3_stmt* s : {seek_, before_id_, range_}) sqlite3_finalize(s);
  }

  // Works until `until`; true when the result has been delivered.
  bool Step(SteadyTime until) {
    try {
      if (phase_ == Phase::kLocate) Locate();
      while (phase_ == Phase::kRead || phase_ == Phase::kSample) {
        if (phase_ == Phase::kRead ? !ReadPage() : !SamplePage()) phase_ = Phase::kDone;
        if (std::chrono::steady_clock::now() >= until) break;
      }
      for (sqlite3_stmt* s : {seek_, before_id_, range_}) {
        if (s) sqlite3_reset(s);
      }
    } catch (const std::exception& e) {
      result_.ok = false;
      result_.error = e.what();
      result_.readings.clear();
      phase_ = Phase::kDone;
    }
    if (phase_ != Phase::kDone) return false;
    Finish();
    return true;
  }

  void Abandon(const std::string& why) {
    result_ = HistoryResult{};
    result_.error = why;
    Finish();
  }

 private:
  enum class Phase { kLocate, kRead, kSample, kDone };
  struct Row {
    int64_t id = 0;
    std::string date;
    int strength = 0;
  };

  sqlite3_stmt* Prepare(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      throw std::runtime_error(std::string("LoadHistory ") + sqlite3_errmsg(db_));
    }
    return stmt;
  }
  static void BindText(sqlite3_stmt* stmt, int n, const std::string& text) {
    sqlite3_bind_text(stmt, n, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  static std::string Text(sqlite3_stmt* stmt, int column) {
    const auto* text = sqlite3_column_text(stmt, column);
    return text ? reinterpret_cast<const char*>(text) : "";
  }
  int StepRow(sqlite3_stmt* stmt) {
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      throw std::runtime_error(std::string("LoadHistory ") + sqlite3_errmsg(db_));
    }
    return rc;
  }

  // The first row whose ID is at least id.
  std::optional<Row> Seek(int64_t id) {
    sqlite3_reset(seek_);
    sqlite3_bind_int64(seek_, 1, id);
    if (StepRow(seek_) != SQLITE_ROW) return std::nullopt;
    return Row{sqlite3_column_int64(seek_, 0), Text(seek_, 1), sqlite3_column_int(seek_, 2)};
  }
  // The smallest ID from which the next row's SampleDate is at least (or,
  // when strictly, beyond) key; rows are in time order.
  int64_t LowerBound(int64_t lo, int64_t hi, const std::string& key, bool strictly) {
    while (lo < hi) {
      const int64_t mid = lo + (hi - lo) / 2;
      const auto row = Seek(mid);
      const bool at_or_after = !row || (strictly ? row->date > key : row->date >= key);
      if (at_or_after) {
        hi = mid;
      } else {
        lo = row->id + 1;
      }
    }
    return lo;
  }

  void Locate() {
    phase_ = Phase::kDone;
    result_.ok = true;
    from_ = StdTimeOf(query_.from);
    to_ = StdTimeOf(query_.to);
    ReadTurns();
    const auto table = ReadingTableName(query_.tag_id);
    if (!table || !HasTableNamed(*table)) return;
    seek_ = Prepare("SELECT ID, SampleDate, Strength FROM " + *table +
                    " WHERE ID >= ?1 ORDER BY ID LIMIT 1");
    before_id_ = Prepare("SELECT ID FROM " + *table + " WHERE ID < ?1 ORDER BY ID DESC LIMIT 1");
    range_ = Prepare("SELECT ID, SampleDate, Strength FROM " + *table +
                     " WHERE ID >= ?1 AND ID <= ?2 ORDER BY ID LIMIT 512");
    const auto head = Seek(std::numeric_limits<int64_t>::min());
    if (!head) return;
    sqlite3_reset(before_id_);
    sqlite3_bind_int64(before_id_, 1, std::numeric_limits<int64_t>::max());
    if (StepRow(before_id_) != SQLITE_ROW) return;
    const int64_t tail = sqlite3_column_int64(before_id_, 0);
    const auto first = Seek(LowerBound(head->id, tail + 1, from_, false));
    const int64_t end = LowerBound(head->id, tail + 1, to_, true);
    sqlite3_reset(before_id_);
    sqlite3_bind_int64(before_id_, 1, end);
    if (!first || StepRow(before_id_) != SQLITE_ROW) return;
    first_ = first->id;
    last_ = sqlite3_column_int64(before_id_, 0);
    if (last_ < first_) return;
    // IDs of a reading table have no gaps but where rows were deleted by
    // hand, so the span is the count of rows in the window.
    span_ = static_cast<uint64_t>(last_ - first_) + 1;
    const size_t max = std::max<size_t>(query_.max_readings, 1);
    if (span_ <= max) {
      cursor_ = first_;
      phase_ = Phase::kRead;
    } else {
      result_.thinned = true;
      result_.readings_in_window = span_;
      result_.readings.reserve(max);
      phase_ = Phase::kSample;
    }
  }

  bool HasTableNamed(const std::string& table) {
    sqlite3_stmt* stmt =
        Prepare("SELECT 1 FROM sqlite_master WHERE type='table' AND name = ?1 COLLATE NOCASE");
    BindText(stmt, 1, table);
    const bool found = StepRow(stmt) == SQLITE_ROW;
    sqlite3_finalize(stmt);
    return found;
  }

  void ReadTurns() {
    if (!HasTableNamed(kTurnsTable)) return;
    const std::string tag = ToUpper(query_.tag_id);
    const std::string columns = "SELECT SampleDate, Status, Figure, TagName, Location FROM ";
    auto read = [&](sqlite3_stmt* stmt, auto&& add) {
      while (StepRow(stmt) == SQLITE_ROW) {
        const auto time = ParseDate(Text(stmt, 0));
        if (!time) continue;
        add(HistoryTurn{*time, EqualsNoCase(Text(stmt, 1), "ON"), sqlite3_column_int(stmt, 2),
                        Text(stmt, 3), Text(stmt, 4)});
      }
      sqlite3_finalize(stmt);
    };
    sqlite3_stmt* in = Prepare(columns + kTurnsTable +
                               " WHERE TagID = ?1 AND SampleDate >= ?2 AND SampleDate <= ?3 "
                               "ORDER BY SampleDate, ID LIMIT ?4");
    BindText(in, 1, tag);
    BindText(in, 2, from_);
    BindText(in, 3, to_);
    sqlite3_bind_int64(in, 4, static_cast<int64_t>(HistoryResult::kMaxTurns));
    read(in, [&](HistoryTurn t) { result_.turns.push_back(std::move(t)); });
    sqlite3_stmt* before = Prepare(columns + kTurnsTable +
                                   " WHERE TagID = ?1 AND SampleDate < ?2 "
                                   "ORDER BY SampleDate DESC, ID DESC LIMIT 1");
    BindText(before, 1, tag);
    BindText(before, 2, from_);
    read(before, [&](HistoryTurn t) { result_.before = std::move(t); });
  }

  void Add(const std::string& date, int strength) {
    const auto time = ParseDate(date);
    if (!time) return;  // a row a user wrote by hand in another form
    const int clamped = std::clamp(strength, -32768, 32767);
    result_.readings.push_back(HistoryReading{*time, static_cast<int16_t>(clamped)});
  }

  // One page of the whole window; false when the window is read.
  bool ReadPage() {
    sqlite3_reset(range_);
    sqlite3_bind_int64(range_, 1, cursor_);
    sqlite3_bind_int64(range_, 2, last_);
    int rows = 0;
    while (StepRow(range_) == SQLITE_ROW) {
      ++rows;
      cursor_ = sqlite3_column_int64(range_, 0) + 1;
      Add(Text(range_, 1), sqlite3_column_int(range_, 2));
      ++result_.readings_in_window;
    }
    return rows > 0 && cursor_ <= last_;
  }

  // A page of evenly spaced rows: row number i of n goes to the result.
  bool SamplePage() {
    const size_t max = std::max<size_t>(query_.max_readings, 1);
    for (int k = 0; k < 256 && sample_ < max; ++k, ++sample_) {
      const int64_t target = first_ + static_cast<int64_t>(sample_ * span_ / max);
      if (target <= taken_) continue;
      const auto row = Seek(target);
      if (!row || row->id > last_) return false;
      taken_ = row->id;
      Add(row->date, row->strength);
    }
    return sample_ < max;
  }

  void Finish() {
    phase_ = Phase::kDone;
    if (done_) {
      auto done = std::move(done_);
      done_ = nullptr;
      done(std::move(result_));
    }
  }

  sqlite3* db_;
  HistoryQuery query_;
  HistoryDone done_;
  HistoryResult result_;
  Phase phase_ = Phase::kLocate;
  std::string from_, to_;
  sqlite3_stmt* seek_ = nullptr;
  sqlite3_stmt* before_id_ = nullptr;
  sqlite3_stmt* range_ = nullptr;
  int64_t first_ = 0, last_ = -1, cursor_ = 0, taken_ = std::numeric_limits<int64_t>::min();
  uint64_t span_ = 0;
  size_t sample_ = 0;
};

void SqliteStore::LoadHistory(const HistoryQuery& query, HistoryDone done) {
  if (!db_) {
    HistoryResult result;
    result.error = "the reading database is not open";
    return done(std::move(result));
  }
  HistorySlice(std::make_shared<HistoryJob>(db_, query, std::move(done)), generation_);
}

void SqliteStore::HistorySlice(std::shared_ptr<HistoryJob> job, uint64_t generation) {
  if (generation != generation_) {
    return job->Abandon("the reading database was closed during the read");
  }
  if (job->Step(std::chrono::steady_clock::now() + kHistorySlice)) return;
  std::weak_ptr<bool> alive = alive_;
  asio::post(io_, [this, alive, job = std::move(job), generation]() mutable {
    auto token = alive.lock();
    if (token && *token) HistorySlice(std::move(job), generation);
  });
}

}  // namespace tagvane
