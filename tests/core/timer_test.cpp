#include <gtest/gtest.h>

#include <asio/post.hpp>

#include <chrono>
#include <functional>
#include <thread>

#include "core/event_loop.h"
#include "core/logger.h"
#include "core/timer.h"

namespace tagvane {
namespace {

using std::chrono::milliseconds;

TEST(Timer, TicksEveryIntervalWhileEnabled) {
  ManualClock clock;
  ManualTimerService timers(clock);
  int ticks = 0;
  Timer t(timers, [&] { ++ticks; });
  t.SetInterval(3000);
  timers.Advance(milliseconds(10000));
  EXPECT_EQ(ticks, 0);  // not enabled yet
  t.SetEnabled(true);
  timers.Advance(milliseconds(8999));
  EXPECT_EQ(ticks, 2);
  timers.Advance(milliseconds(1));
  EXPECT_EQ(ticks, 3);
  t.SetInterval(0);  // interval 0 is inactive even when enabled
  timers.Advance(milliseconds(60000));
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(timers.Pending(), 0u);
  // A destroyed timer never fires.
  {
    Timer gone(timers, [&] { ++ticks; });
    gone.SetInterval(10);
    gone.SetEnabled(true);
  }
  timers.Advance(milliseconds(100));
  EXPECT_EQ(ticks, 3);
}

TEST(Timer, TickHandlerMayRearmOrStopItsOwnTimer) {
  ManualClock clock;
  ManualTimerService timers(clock);
  std::vector<int64_t> at;
  Timer t(timers);
  const auto start = clock.Now();
  t.SetOnTick([&] {
    at.push_back((clock.Now() - start).count());
    if (at.size() == 1) t.SetInterval(200);  // the next tick comes 200 ms later
    if (at.size() == 3) t.SetEnabled(false);
  });
  t.SetInterval(1000);
  t.SetEnabled(true);
  timers.Advance(milliseconds(5000));
  EXPECT_EQ(at, (std::vector<int64_t>{1000, 1200, 1400}));
}

TEST(Timer, TimersFireInDeadlineOrderWithTheClockAtEachDeadline) {
  ManualClock clock;
  ManualTimerService timers(clock);
  std::vector<std::string> order;
  Timer a(timers, [&] { order.push_back("a"); });
  Timer b(timers, [&] { order.push_back("b"); });
  a.SetInterval(300);
  b.SetInterval(200);
  a.SetEnabled(true);
  b.SetEnabled(true);
  timers.Advance(milliseconds(600));
  // At 600 both are due; a was armed first (at 300), so it fires first.
  EXPECT_EQ(order, (std::vector<std::string>{"b", "a", "b", "a", "b"}));
}

TEST(EventLoop, RealTimersRunPumpReentersAndAnEscapedFailureIsLoggedNotFatal) {
  EventLoop loop;
  ManualClock clock;
  bool debug = false;
  Logger log(clock, debug);
  loop.SetLog(&log);
  int ticks = 0;
  bool nested = false;
  Timer outer(loop.Timers());
  Timer inner(loop.Timers(), [&] { ++ticks; });
  // A handler that lets an exception escape must not end the loop.
  asio::post(loop.Io(), [] { throw std::runtime_error("boom"); });
  outer.SetOnTick([&] {
    outer.SetEnabled(false);
    // A wait that pumps lets other handlers (the inner timer) run.
    while (ticks < 2) loop.PumpFor(milliseconds(50));
    nested = true;
    loop.Stop();
  });
  inner.SetInterval(1);
  inner.SetEnabled(true);
  outer.SetInterval(1);
  outer.SetEnabled(true);
  loop.Run();
  EXPECT_TRUE(nested);
  EXPECT_GE(ticks, 2);
  ASSERT_EQ(log.Recent().size(), 1u);
  EXPECT_EQ(log.Recent()[0].text.rfind("EventLoop Line ", 0), 0u) << log.Recent()[0].text;
  EXPECT_NE(log.Recent()[0].text.find("boom"), std::string::npos);
}

TEST(EventLoop, PumpWithinEndsWhileAFloodOfHandlersIsStillReady) {
  EventLoop loop;
  // A handler that is always ready again, as a receiver line under a flood.
  int ran = 0;
  std::function<void()> busy = [&] {
    ++ran;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    asio::post(loop.Io(), busy);
  };
  asio::post(loop.Io(), busy);
  loop.PumpWithin(milliseconds(5));
  EXPECT_GE(ran, 1);
  EXPECT_LT(ran, 100);  // Pump would run 10,000 of them (10 s)
}

}  // namespace
}  // namespace tagvane
