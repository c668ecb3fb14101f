#include "core/event_loop.h"

#include <asio/executor_work_guard.hpp>
#include <asio/steady_timer.hpp>

#include "core/failure.h"

namespace tagvane {
namespace {

class AsioSlot final : public TimerSlot {
 public:
  AsioSlot(asio::io_context& io, std::function<void()> fire)
      : timer_(io), fire_(std::move(fire)), alive_(std::make_shared<bool>(true)) {}
  ~AsioSlot() override {
    *alive_ = false;
    timer_.cancel();
  }
  void Arm(Milliseconds delay) override {
    const uint64_t generation = ++generation_;
    timer_.expires_after(delay);
    std::weak_ptr<bool> alive = alive_;
    timer_.async_wait([this, alive, generation](const std::error_code& ec) {
      auto token = alive.lock();
      if (ec || !token || !*token || generation != generation_) return;
      fire_();
    });
  }
  void Cancel() override {
    ++generation_;
    timer_.cancel();
  }

 private:
  asio::steady_timer timer_;
  std::function<void()> fire_;
  std::shared_ptr<bool> alive_;
  uint64_t generation_ = 0;
};

class AsioTimerService final : public TimerService {
 public:
  explicit AsioTimerService(asio::io_context& io) : io_(io) {}
  std::unique_ptr<TimerSlot> CreateSlot(std::function<void()> fire) override {
    return std::make_unique<AsioSlot>(io_, std::move(fire));
  }

 private:
  asio::io_context& io_;
};

}  // namespace

EventLoop::EventLoop() : timers_(std::make_unique<AsioTimerService>(io_)) {}
EventLoop::~EventLoop() = default;

// An io_context that runs out of work marks itself stopped, and every later
// run returns at once; only Stop() may end the loop for good.
void EventLoop::Revive() {
  if (io_.stopped() && !stop_requested_) io_.restart();
}

void EventLoop::Pump() { RunReady(std::chrono::steady_clock::time_point::max()); }

void EventLoop::PumpWithin(Milliseconds limit) {
  RunReady(std::chrono::steady_clock::now() + limit);
}

void EventLoop::RunReady(std::chrono::steady_clock::time_point until) {
  if (stop_requested_) return;
  Revive();
  // Bounded, so a flood of ready handlers cannot keep the caller forever.
  for (int i = 0; i < 10000 && io_.poll_one(); ++i) {
    if (std::chrono::steady_clock::now() >= until) break;
  }
  Revive();
}

void EventLoop::PumpFor(Milliseconds d) {
  if (stop_requested_) return;
  Revive();
  io_.run_one_for(d);
  Pump();
}

void EventLoop::Run() {
  if (stop_requested_) return;
  Revive();
  auto guard = asio::make_work_guard(io_);
  while (!stop_requested_) {
    try {
      io_.run();
      break;
    } catch (const std::exception& e) {
      if (log_) ReportFailure(*log_, "EventLoop", MakeFailure(e, SourceLine::Current()), false);
    } catch (...) {
      if (log_) ReportFailure(*log_, "EventLoop", MakeUnknownFailure(SourceLine::Current()), false);
    }
    Revive();
  }
}

void EventLoop::Stop() {
  stop_requested_ = true;
  io_.stop();
}

}  // namespace tagvane
