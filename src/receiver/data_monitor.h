// The data monitor's state: the tag filter, the freeze box, the scrolling
// text of processed receiver data (the rightmost 10,000 characters) and the
// link status label. The receiver fills it; the web monitor shows it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tagvane {

class DataMonitor {
 public:
  static constexpr size_t kCommDataLimit = 10000;

  // When set, only chunks holding a report of this tag identifier (any
  // case, blanks trimmed), or whose whole text equals it, are shown; empty
  // shows everything. Freeze stops every append.
  std::string aTagFilter;
  bool Freeze = false;
  // "Port Open / <n> tries" or "Port Not Connected".
  std::string aOpenStatus;

  // The rightmost kCommDataLimit characters of everything appended.
  std::string_view CommData() const;
  // Appends CR LF, time_text, " |  " and line, keeping the tail.
  void AppendCommData(std::string_view time_text, std::string_view line);
  void ClearCommData();
  // Counts appends, so a page can tell whether anything new arrived.
  uint64_t Updates() const { return updates_; }
  // Characters appended since start: a reader that remembers this number
  // needs only the text added after it. A clear (or a line longer than the
  // limit) moves it on by more than the limit, so such a reader starts over.
  uint64_t Appended() const { return appended_; }

 private:
  // Grows to twice the limit before the head is cut, so each append costs
  // its own length on average.
  std::string text_;
  uint64_t updates_ = 0;
  uint64_t appended_ = 0;
};

}  // namespace tagvane
