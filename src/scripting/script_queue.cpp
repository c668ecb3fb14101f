#include "scripting/script_queue.h"

#include "core/failure.h"
#include "core/logger.h"

namespace tagvane {

ScriptQueue::ScriptQueue(TimerService& timers, Logger& log, Runner runner)
    : log_(log), runner_(std::move(runner)), timer_(timers) {
  timer_.SetOnTick([this] { Tick(); });
}

void ScriptQueue::Push(Entry entry) {
  if (entries_.size() >= kLimit) {
    if (entries_.front().subscription) entries_.front().subscription->RunQueued = false;
    entries_.pop_front();
    ++dropped_;
    log_.LogEventLimited("ScriptQueueFull", kProductSource,
                         "Script queue full: oldest entry dropped (" + std::to_string(dropped_) +
                             " so far)");
  }
  entries_.push_back(std::move(entry));
  if (!timer_.Enabled()) {
    timer_.SetInterval(5);
    timer_.SetEnabled(true);
  }
}

void ScriptQueue::QueueScript(std::string text) { Push(Entry{std::move(text), nullptr}); }

void ScriptQueue::QueueSubscription(const ScriptVBSPtr& subscription) {
  if (subscription->RunQueued) return;
  subscription->RunQueued = true;
  Push(Entry{std::string(), subscription});
}

void ScriptQueue::Tick() {
  while (!entries_.empty()) {
    timer_.SetInterval(60000);
    Entry entry = std::move(entries_.front());
    entries_.pop_front();
    if (entry.subscription) entry.subscription->RunQueued = false;
    Guard(log_, "ScriptQueueTimer_Timer", [&] { runner_(entry); });
  }
  timer_.SetEnabled(false);
}

}  // namespace tagvane
