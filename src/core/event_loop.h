// The one event loop: an asio::io_context that every socket, the serial line
// and every timer of the daemon run on. Single-threaded.
#pragma once

#include <asio/io_context.hpp>
#include <chrono>
#include <memory>

#include "core/timer.h"

namespace tagvane {

class Logger;

class EventLoop {
 public:
  EventLoop();
  ~EventLoop();

  asio::io_context& Io() { return io_; }
  // Timers of this loop (steady time).
  TimerService& Timers() { return *timers_; }

  // Runs the handlers that are ready now and returns. Callers may be inside
  // a handler: the handlers run here can re-enter the caller's component.
  void Pump();
  // Pump, for at most limit of the loop's own time: a sender that lets other
  // events run between its sends is not held by a flood of them.
  void PumpWithin(Milliseconds limit);
  // Waits up to d for one handler, runs it and whatever else is ready.
  void PumpFor(Milliseconds d);
  // Runs until Stop(). The last guard: an exception escaping a handler is
  // logged under "EventLoop" (when a log is set) and the loop goes on, so
  // the shut-down still runs.
  void Run();
  void SetLog(Logger* log) { log_ = log; }
  void Stop();
  bool Stopped() const { return stop_requested_; }

 private:
  void Revive();
  // Runs ready handlers (at most 10,000) until none is left or until passes.
  void RunReady(std::chrono::steady_clock::time_point until);

  asio::io_context io_;
  bool stop_requested_ = false;
  Logger* log_ = nullptr;
  std::unique_ptr<TimerService> timers_;
};

}  // namespace tagvane
