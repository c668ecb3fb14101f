// Tag history: the readings and presence turns of one tag in a time window,
// read back from the reading database for the history page and the API.
// The reading database implements HistorySource; the page and the API only
// see this interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"

namespace tagvane {

struct HistoryReading {
  DateTime time;
  int16_t strength = 0;
};

// One presence turn as it was announced: On or Off, the figure of merit,
// and the tag's name and location at that moment.
struct HistoryTurn {
  DateTime time;
  bool on = false;
  int figure = 0;
  std::string name;
  std::string location;
};

struct HistoryQuery {
  std::string tag_id;  // the 4-character tag identifier
  DateTime from;       // the window, both ends included, to the second
  DateTime to;
  // At most this many readings come back; beyond it they are thinned evenly.
  size_t max_readings = 10000;
};

struct HistoryResult {
  bool ok = false;
  std::string error;  // why not, when !ok ("No reading database is configured", ...)
  std::vector<HistoryReading> readings;  // in time order
  size_t readings_in_window = 0;         // before thinning
  bool thinned = false;
  std::vector<HistoryTurn> turns;  // in time order, at most kMaxTurns
  // The last turn before the window: the tag's state at its start.
  std::optional<HistoryTurn> before;
  static constexpr size_t kMaxTurns = 10000;
};

class HistorySource {
 public:
  virtual ~HistorySource() = default;
  // Calls done exactly once with the result, either before returning or
  // later from the event loop (a large window on SQLite is read in slices
  // between which the loop runs; PostgreSQL answers when the server does).
  // Never blocks the loop for more than a few milliseconds. An unusable tag
  // identifier or a window whose end is before its start gives ok=false.
  virtual void LoadHistory(const HistoryQuery& query, std::function<void(HistoryResult)> done) = 0;
};

}  // namespace tagvane
