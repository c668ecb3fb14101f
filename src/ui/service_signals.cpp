#include "ui/service_signals.h"

#include <csignal>

#include "core/app.h"
#include "ui/web_ui.h"

namespace tagvane {

ServiceSignals::ServiceSignals(App& app, WebUi* ui)
    : app_(app), ui_(ui), signals_(app.Loop().Io(), SIGINT, SIGTERM, SIGHUP) {
  Wait();
}

ServiceSignals::~ServiceSignals() {
  std::error_code ignored;
  signals_.cancel(ignored);
}

void ServiceSignals::Wait() {
  signals_.async_wait([this](const std::error_code& error, int number) { OnSignal(error, number); });
}

void ServiceSignals::OnSignal(const std::error_code& error, int number) {
  if (error) return;
  if (app_.Starting()) {
    // Start-up ends at its next step and the shut-down follows it.
    if (number != SIGHUP) app_.RequestShutdown();
  } else if (number == SIGHUP) {
    if (ui_) {
      ui_->ReloadSettings();
    } else {
      app_.InitIniKeys();
    }
  } else if (ui_) {
    ui_->OrderlyStop(false);
  } else if (!app_.ShutDownStarted()) {
    app_.Shutdown();
    app_.Loop().Stop();
  }
  Wait();
}

}  // namespace tagvane
