// The daemon's signals, handled on the event loop (a handler only wakes
// the loop): SIGTERM and SIGINT run the orderly shut-down, SIGHUP reads
// the settings again without a restart.
#pragma once

#include <asio/signal_set.hpp>
#include <system_error>

namespace tagvane {

class App;
class WebUi;

class ServiceSignals {
 public:
  // ui may be null: then SIGHUP re-reads through the App alone.
  ServiceSignals(App& app, WebUi* ui);
  ~ServiceSignals();
  ServiceSignals(const ServiceSignals&) = delete;
  ServiceSignals& operator=(const ServiceSignals&) = delete;

 private:
  void Wait();
  void OnSignal(const std::error_code& error, int number);

  App& app_;
  WebUi* ui_;
  asio::signal_set signals_;
};

}  // namespace tagvane
