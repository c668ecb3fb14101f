#include "ui/service_manager.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

#include "core/app.h"
#include "receiver/data_monitor.h"

namespace tagvane {

ServiceManager::ServiceManager(App& app, Sink sink)
    : app_(app),
      sink_(std::move(sink)),
      watchdog_timer_(app.Timers()),
      status_timer_(app.Timers()) {
  if (!sink_) sink_ = [](const std::string& text) { sd_notify(0, text.c_str()); };
  watchdog_timer_.SetOnTick([this] {
    ++pings_;
    Notify("WATCHDOG=1");
  });
  status_timer_.SetOnTick([this] { CheckStatus(); });
}

void ServiceManager::Start() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  active_ = socket && *socket;
  if (!active_) return;
  uint64_t usec = 0;
  // 0 when WatchdogSec is not set (or WATCHDOG_PID names another process).
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    const uint64_t half_ms = usec / 2000;
    watchdog_ms_ = static_cast<int>(half_ms > 0 ? (half_ms < 3600000 ? half_ms : 3600000) : 1);
    watchdog_timer_.SetInterval(watchdog_ms_);
    watchdog_timer_.SetEnabled(true);
  }
  status_timer_.SetInterval(kStatusCheckMs);
  status_timer_.SetEnabled(true);
}

std::string ServiceManager::StatusText() const {
  const DataMonitor* monitor = app_.Receiver().Monitor();
  if (app_.GetSettings().RFIDPort.empty()) return "No receiver port set";
  if (!monitor || monitor->aOpenStatus.empty()) return "Port Not Connected";
  return monitor->aOpenStatus;
}

void ServiceManager::Ready() {
  if (!active_ || ready_) return;
  ready_ = true;
  last_status_ = StatusText();
  Notify("READY=1\nSTATUS=" + last_status_);
}

void ServiceManager::CheckStatus() {
  if (!active_ || !ready_ || stopping_) return;
  std::string status = StatusText();
  if (status == last_status_) return;
  last_status_ = std::move(status);
  Notify("STATUS=" + last_status_);
}

void ServiceManager::Stopping() {
  if (!active_ || stopping_) return;
  stopping_ = true;
  watchdog_timer_.SetEnabled(false);
  status_timer_.SetEnabled(false);
  Notify("STOPPING=1");
}

void ServiceManager::Notify(const std::string& text) { sink_(text); }

}  // namespace tagvane
