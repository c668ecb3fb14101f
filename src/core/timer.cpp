#include "core/timer.h"

#include <set>
#include <tuple>

namespace tagvane {

Timer::Timer(TimerService& service, std::function<void()> on_tick)
    : on_tick_(std::move(on_tick)), slot_(service.CreateSlot([this] { Fire(); })) {}

void Timer::SetInterval(int ms) {
  interval_ms_ = ms < 0 ? 0 : ms;
  Rearm();
}

void Timer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Rearm();
}

void Timer::Rearm() {
  if (Running()) {
    slot_->Arm(Milliseconds(interval_ms_));
  } else {
    slot_->Cancel();
  }
}

void Timer::Fire() {
  if (!Running()) return;
  ++ticks_;
  // Arm the next tick first, so a handler that changes the timer wins.
  slot_->Arm(Milliseconds(interval_ms_));
  if (on_tick_) on_tick_();
}

// --- ManualTimerService -----------------------------------------------------

struct ManualTimerService::Impl {
  // (deadline in ms since the epoch of the clock, arming sequence, slot)
  std::set<std::tuple<int64_t, uint64_t, Slot*>> queue;
  uint64_t sequence = 0;
};

class ManualTimerService::Slot final : public TimerSlot {
 public:
  Slot(ManualTimerService& owner, std::function<void()> fire)
      : owner_(&owner), fire_(std::move(fire)) {}
  ~Slot() override { Cancel(); }

  void Arm(Milliseconds delay) override {
    Cancel();
    if (!owner_) return;
    key_ = {owner_->clock_.Now().time_since_epoch().count() + delay.count(),
            owner_->impl_->sequence++, this};
    owner_->impl_->queue.insert(key_);
    armed_ = true;
  }
  void Cancel() override {
    if (armed_ && owner_) owner_->impl_->queue.erase(key_);
    armed_ = false;
  }
  void Fire() {
    armed_ = false;
    fire_();
  }
  void Detach() {
    owner_ = nullptr;
    armed_ = false;
  }

 private:
  ManualTimerService* owner_;
  std::function<void()> fire_;
  std::tuple<int64_t, uint64_t, Slot*> key_{};
  bool armed_ = false;
};

ManualTimerService::ManualTimerService(ManualClock& clock)
    : clock_(clock), impl_(std::make_unique<Impl>()) {}

ManualTimerService::~ManualTimerService() {
  for (auto& entry : impl_->queue) std::get<2>(entry)->Detach();
}

std::unique_ptr<TimerSlot> ManualTimerService::CreateSlot(std::function<void()> fire) {
  return std::make_unique<Slot>(*this, std::move(fire));
}

void ManualTimerService::Advance(Milliseconds d) {
  const int64_t target = clock_.Now().time_since_epoch().count() + d.count();
  while (!impl_->queue.empty()) {
    auto first = *impl_->queue.begin();
    if (std::get<0>(first) > target) break;
    impl_->queue.erase(impl_->queue.begin());
    clock_.Set(DateTime(Milliseconds(std::get<0>(first))));
    std::get<2>(first)->Fire();
  }
  clock_.Set(DateTime(Milliseconds(target)));
}

size_t ManualTimerService::Pending() const { return impl_->queue.size(); }

}  // namespace tagvane
