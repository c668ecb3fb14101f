// The history chart as inline SVG, drawn by the daemon itself (no script,
// no external file): the signal strength over the window as a line, broken
// where the tag was not heard for a while, the On and Off periods as
// coloured bands under it, and time labels. It scales with the width of the
// page (viewBox), so one drawing serves a phone and a desktop.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "database/history.h"

namespace tagvane {

struct PresenceBand {
  DateTime from;
  DateTime to;
  bool on = false;
};

// The On and Off periods of [from, to) from the turns (in time order) and
// the last turn before from, when there is one: the state at from. Without
// it, before the first turn the tag was in the other state; without any
// turn at all it was all the while in status_now (2 On, 3 Off; anything
// else: no band).
std::vector<PresenceBand> PresenceBands(const std::vector<HistoryTurn>& turns,
                                        const std::optional<HistoryTurn>& before, DateTime from,
                                        DateTime to, int status_now);

struct HistoryChart {
  DateTime from;
  DateTime to;
  const std::vector<HistoryReading>* readings = nullptr;
  std::vector<PresenceBand> bands;
  // For screen readers: what the chart shows.
  std::string label;
};

// The <svg> element. Readings outside the window, and readings without a
// strength (-1), are left out of the line. Texts are escaped.
std::string HistorySvg(const HistoryChart& chart);

}  // namespace tagvane
