// Timers with two properties, Interval (ms) and Enabled, which every
// component sets the same way. A timer ticks every Interval ms while enabled; interval 0 means
// inactive. A tick handler may change either property, re-arming the timer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/clock.h"

namespace tagvane {

// One schedulable slot of a timer service.
class TimerSlot {
 public:
  virtual ~TimerSlot() = default;
  // Fires the slot's callback once after delay, replacing an earlier arming.
  virtual void Arm(Milliseconds delay) = 0;
  virtual void Cancel() = 0;
};

// Where timers get their slots: the event loop in the daemon, a manually
// advanced queue in tests.
class TimerService {
 public:
  virtual ~TimerService() = default;
  virtual std::unique_ptr<TimerSlot> CreateSlot(std::function<void()> fire) = 0;
};

class Timer {
 public:
  Timer(TimerService& service, std::function<void()> on_tick = {});
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void SetOnTick(std::function<void()> on_tick) { on_tick_ = std::move(on_tick); }
  int Interval() const { return interval_ms_; }
  // Setting the interval of an enabled timer restarts its countdown.
  void SetInterval(int ms);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  // True while the timer will tick (enabled with a positive interval).
  bool Running() const { return enabled_ && interval_ms_ > 0; }
  uint64_t Ticks() const { return ticks_; }

 private:
  void Rearm();
  void Fire();

  std::function<void()> on_tick_;
  std::unique_ptr<TimerSlot> slot_;
  int interval_ms_ = 0;
  bool enabled_ = false;
  uint64_t ticks_ = 0;
};

// A timer service driven by hand together with a ManualClock: Advance moves
// the clock forward and fires every timer that falls due, in deadline order,
// with the clock set to each deadline as it fires.
class ManualTimerService final : public TimerService {
 public:
  explicit ManualTimerService(ManualClock& clock);
  ~ManualTimerService() override;
  std::unique_ptr<TimerSlot> CreateSlot(std::function<void()> fire) override;

  void Advance(Milliseconds d);
  // Number of armed slots.
  size_t Pending() const;

 private:
  class Slot;
  struct Impl;
  ManualClock& clock_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tagvane
