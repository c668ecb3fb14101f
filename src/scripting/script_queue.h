// The one script queue: texts for the main script's "Main" (a tag name, a
// record name, or "" for the periodic call) and runs of subscribed scripts,
// drained first-in first-out on ScriptQueueTimer (5 ms after the first
// entry; 60000 ms while draining, so a long script is not re-entered).
// Entries queued while draining run in the same tick. The queue is bounded:
// a flood drops the oldest entries and logs how many, at most once a minute.
#pragma once

#include <deque>
#include <functional>
#include <string>

#include "core/timer.h"
#include "scripting/subscriptions.h"

namespace tagvane {

class Logger;

class ScriptQueue {
 public:
  static constexpr size_t kLimit = 10000;

  struct Entry {
    std::string text;
    ScriptVBSPtr subscription;  // set: run this subscription's script
  };
  using Runner = std::function<void(const Entry&)>;

  ScriptQueue(TimerService& timers, Logger& log, Runner runner);

  void QueueScript(std::string text);
  // Queues one run of a subscription's script unless one already waits.
  void QueueSubscription(const ScriptVBSPtr& subscription);
  // The timer tick (public for tests and benchmarks).
  void Tick();

  size_t size() const { return entries_.size(); }
  uint64_t Dropped() const { return dropped_; }
  Timer& QueueTimer() { return timer_; }

 private:
  void Push(Entry entry);

  Logger& log_;
  Runner runner_;
  Timer timer_;
  std::deque<Entry> entries_;
  uint64_t dropped_ = 0;
};

}  // namespace tagvane
