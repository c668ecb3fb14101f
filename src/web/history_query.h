// What the history page and /api/history share: reading the request (which
// tag, which window), the cap on readings, the UTC times of the answer, and
// the one way both ask the reading database, with a bound on the questions
// still waiting for an answer.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/clock.h"
#include "core/dates.h"
#include "core/shared_tables.h"
#include "database/history.h"

namespace tagvane {

class App;

inline constexpr std::string_view kNoReadingDatabase = "No reading database is configured";
// The window when the request names none.
inline constexpr std::chrono::hours kDefaultHistorySpan{24};
// The longest window a request may name (hours=, or from and to).
inline constexpr std::chrono::hours kLongestHistorySpan{24 * 366};
inline constexpr size_t kMaxHistoryReadings = 10000;

struct HistoryAsk {
  DevicePtr device;
  // What the user gave as tag= (for links back to the same tag).
  std::string tag_text;
  HistoryQuery query;
};

struct HistoryAskError {
  std::string message;
  std::string parameter;  // "tag", "from", "to" or "hours"
};

// The device a tag= text names: a tag name, a device code or a 4-character
// tag identifier (this receiver's own device first), all without regard to
// case; nullptr when none does.
DevicePtr FindHistoryDevice(App& app, std::string_view text);

// Reads tag=, from=, to= and hours= of the request. from and to are dates
// in the API's format (dd/MM/yyyy HH:mm:ss), ISO local time
// (2026-12-05T14:00:00) or ISO UTC (...Z, or an offset such as +01:00).
// to defaults to now, from to `hours` (1 to 8784, default 24) before to.
// param gives the decoded value of a parameter of the request, "" when absent.
using HistoryParam = std::function<std::string(std::string_view name)>;
std::variant<HistoryAsk, HistoryAskError> ReadHistoryAsk(App& app, const HistoryParam& param);

// A time as from= and to= take it (the forms above); nullopt otherwise.
std::optional<DateTime> ParseHistoryTime(std::string_view text);

// Keeps at most max readings, evenly spaced by position, the first and the
// last among them, and marks the result thinned; counts the readings of
// the window when the source did not.
void CapReadings(HistoryResult& result, size_t max = kMaxHistoryReadings);

// Percent-encoding of one query value (upper-case digits, as the server's
// decoder reads them).
std::string QueryEscape(std::string_view text);

// Local time to ISO UTC for many times in a row: the zone offset is looked
// up once per hour of local time.
class IsoUtcFormatter {
 public:
  std::string operator()(DateTime t);

 private:
  DateTime hour_{};
  Milliseconds offset_{};
  bool known_ = false;
};

// Asks a reading database; done runs once with the capped result, now or
// later from the loop, unless this asker has gone by then.
// Returns false (done not called) when kMaxWaiting questions already wait.
class HistoryAsker {
 public:
  static constexpr int kMaxWaiting = 32;
  using Done = std::function<void(HistoryResult)>;

  bool Ask(HistorySource& source, const HistoryQuery& query, Done done);
  int Waiting() const { return *waiting_; }

 private:
  std::shared_ptr<int> waiting_ = std::make_shared<int>(0);
};

}  // namespace tagvane
