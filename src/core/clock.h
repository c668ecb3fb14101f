// Time as the program sees it: local calendar time with no zone attached
// (stored dates carry none), injected so tests can move it by hand.
#pragma once

#include <chrono>
#include <cstdint>

namespace tagvane {

using Milliseconds = std::chrono::milliseconds;
// A local date and time, to the millisecond.
using DateTime = std::chrono::local_time<Milliseconds>;

class Clock {
 public:
  virtual ~Clock() = default;
  // The current local date and time.
  virtual DateTime Now() const = 0;
};

// Seconds since local midnight of t, as a single (the old Timer function).
float SecondsSinceMidnight(DateTime t);
// Builds a local date and time from its parts (month 1-12).
DateTime MakeDateTime(int year, int month, int day, int hour = 0, int minute = 0,
                      int second = 0, int millisecond = 0);

class SystemClock final : public Clock {
 public:
  DateTime Now() const override;
};

// A clock that stands still until told to move; tests and benchmarks use it
// together with ManualTimerService.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(DateTime start = MakeDateTime(2026, 12, 5, 6, 42, 27)) : now_(start) {}
  DateTime Now() const override { return now_; }
  void Set(DateTime t) { now_ = t; }
  void Advance(Milliseconds d) { now_ += d; }

 private:
  DateTime now_;
};

}  // namespace tagvane
