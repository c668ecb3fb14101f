// Talks to systemd when it started the daemon (NOTIFY_SOCKET set): READY=1
// once start-up is done, STATUS= with the receiver link's state text when
// it changes, WATCHDOG=1 from the event loop at half the WatchdogSec the
// manager passes (a stalled loop stops the pings and gets restarted), and
// STOPPING=1 when the orderly shut-down begins. Without NOTIFY_SOCKET it
// does nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/timer.h"

namespace tagvane {

class App;

class ServiceManager {
 public:
  // Where the notifications go; by default sd_notify.
  using Sink = std::function<void(const std::string&)>;
  static constexpr int kStatusCheckMs = 1000;

  ServiceManager(App& app, Sink sink = {});

  // Reads NOTIFY_SOCKET and the watchdog interval, arms the timers.
  void Start();
  void Ready();
  void Stopping();
  // Sends STATUS= when the link's state text changed since the last one.
  void CheckStatus();

  bool Active() const { return active_; }
  // 0 when the manager asked for no watchdog.
  int WatchdogIntervalMs() const { return watchdog_ms_; }
  uint64_t WatchdogPings() const { return pings_; }
  // The link state text as it is reported.
  std::string StatusText() const;

 private:
  void Notify(const std::string& text);

  App& app_;
  Sink sink_;
  Timer watchdog_timer_;
  Timer status_timer_;
  bool active_ = false;
  bool ready_ = false;
  bool stopping_ = false;
  int watchdog_ms_ = 0;
  uint64_t pings_ = 0;
  std::string last_status_;
};

}  // namespace tagvane
