// App: the one object that owns the event loop, the clock, the settings, the
// shared tables, the INI cache, the logger and the subsystems, and runs the
// start-up and shut-down sequences. Nothing in the program is global; two
// Apps can run side by side in one process.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "core/clock.h"
#include "core/event_loop.h"
#include "core/hooks.h"
#include "core/ini_cache.h"
#include "core/logger.h"
#include "core/metrics.h"
#include "core/settings.h"
#include "core/shared_tables.h"
#include "core/subsystems.h"
#include "core/timer.h"
#include "xap/send_xap.h"

namespace tagvane {

struct AppOptions {
  // The application folder (Config/, Data/, HTML/, Scripts/ below it).
  std::filesystem::path app_dir;
  // The running executable's path (reported as ExePath).
  std::string exe_path;
  // Empty: the host name.
  std::string computer_name;
  // Copy every event-log entry to standard error.
  bool foreground = false;
  // Injected time; when null the App uses the system clock and the event
  // loop's timers.
  const Clock* clock = nullptr;
  TimerService* timers = nullptr;
  // When set, the do-nothing subsystems record their calls here.
  CallTrace* call_trace = nullptr;
};

class App {
 public:
  explicit App(AppOptions options);
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // Installs the real subsystems (before Start). Until then each is a
  // do-nothing version.
  void SetReceiver(std::unique_ptr<ReceiverPort> p) { receiver_ = std::move(p); }
  void SetXapTransport(std::unique_ptr<XapTransportPort> p) { xap_ = std::move(p); }
  void SetHttpServer(std::unique_ptr<HttpServerPort> p) { http_ = std::move(p); }
  void SetScriptHost(std::unique_ptr<ScriptHostPort> p) { scripts_ = std::move(p); }
  void SetDatabase(std::unique_ptr<DatabasePort> p) { database_ = std::move(p); }
  void SetUi(std::unique_ptr<UiPort> p) { ui_ = std::move(p); }
  void SetMqtt(std::unique_ptr<MqttPort> p) { mqtt_ = std::move(p); }

  // The start-up sequence (the main form's load handler).
  void Start();
  // The shut-down sequence; runs once, later calls do nothing.
  void Shutdown();
  // Whether the shut-down sequence has begun.
  bool ShutDownStarted() const { return shut_down_; }
  // False when the shut-down could not write every change it held to disk.
  bool SavedAtShutdown() const { return saved_at_shutdown_; }
  // A shut-down asked for (a signal) while Start runs: start-up ends at its
  // next step and the event loop is stopped; the caller then runs Shutdown.
  void RequestShutdown();
  bool StartupCancelled() const { return startup_cancelled_; }
  bool Starting() const { return starting_; }

  // Writes the INI cache to disk within a second: many writes (a stream of
  // new tags) cost one flush a second, never one each. Shutdown flushes
  // whatever is still pending.
  void FlushIniCacheSoon();
  static constexpr int kFlushDelayMs = 1000;

  // Start-up steps, callable on their own.
  void InitXap();
  void InitHW();
  void InitINIVariables();
  void InitIniKeys();
  // Reads one setting (lookup name) and applies its side effects.
  void SetIniValue(std::string_view name);
  void ArmPeriodicTimer();
  void InitFilterDictionary();
  void InitDeviceDictionary();
  void SaveDeviceDictionary();
  void SaveLastChange();
  // "qbx.RFID." + computer name [+ "." + receiverlocation].
  std::string XapSourceAddress() const;

  EventLoop& Loop() { return loop_; }
  const Clock& GetClock() const { return *clock_; }
  TimerService& Timers() { return *timers_; }
  Logger& Log() { return log_; }
  IniCache& Ini() { return *ini_; }
  Settings& GetSettings() { return settings_; }
  const Settings& GetSettings() const { return settings_; }
  SharedTables& Tables() { return tables_; }
  SharedState& State() { return state_; }
  XapOutbox& Outbox() { return outbox_; }
  ReceiverPort& Receiver() { return *receiver_; }
  XapTransportPort& XapTransport() { return *xap_; }
  HttpServerPort& HttpServer() { return *http_; }
  ScriptHostPort& ScriptHost() { return *scripts_; }
  DatabasePort& Database() { return *database_; }
  UiPort& Ui() { return *ui_; }
  MqttPort& Mqtt() { return *mqtt_; }
  Metrics& GetMetrics() { return metrics_; }
  Hooks& GetHooks() { return hooks_; }
  Timer& OffTimer() { return off_timer_; }
  Timer& PeriodicTimer() { return periodic_timer_; }
  int& PeriodicMinuteCounter() { return periodic_minutes_; }

  const std::string& AppPath() const { return app_path_; }
  // The command that started the daemon (known from construction on).
  const std::string& ExePath() const { return exe_path_; }
  const std::string& ComputerName() const { return computer_name_; }
  const std::string& InterfaceAddress() const { return interface_address_; }
  const std::string& BroadcastAddress() const { return broadcast_address_; }
  // The Config and Data folders below AppPath, in whatever letter case they
  // exist on disk ("Config" and "Data" when created).
  const std::filesystem::path& ConfigDir() const { return config_dir_; }
  const std::filesystem::path& DataDir() const { return data_dir_; }
  int XapPort() const { return xap_port_; }

 private:
  AppOptions options_;
  EventLoop loop_;
  std::unique_ptr<SystemClock> system_clock_;
  const Clock* clock_;
  TimerService* timers_;
  Settings settings_;
  SharedTables tables_;
  SharedState state_;
  Logger log_;
  XapOutbox outbox_;
  Hooks hooks_;
  Metrics metrics_;
  std::unique_ptr<IniCache> ini_;

  std::unique_ptr<ReceiverPort> receiver_;
  std::unique_ptr<XapTransportPort> xap_;
  std::unique_ptr<HttpServerPort> http_;
  std::unique_ptr<ScriptHostPort> scripts_;
  std::unique_ptr<DatabasePort> database_;
  std::unique_ptr<UiPort> ui_;
  std::unique_ptr<MqttPort> mqtt_;

  Timer off_timer_;
  Timer periodic_timer_;
  Timer flush_timer_;
  int periodic_minutes_ = 0;

  std::string app_path_;
  std::filesystem::path config_dir_;
  std::filesystem::path data_dir_;
  std::string exe_path_;
  std::string computer_name_;
  std::string interface_address_ = "Default";
  std::string broadcast_address_ = "Default";
  int xap_port_ = 0;
  bool shut_down_ = false;
  bool saved_at_shutdown_ = true;
  bool starting_ = false;
  bool startup_cancelled_ = false;
  // SaveDeviceDictionary rewrites its sections only once they were loaded.
  bool device_dictionary_loaded_ = false;
};

}  // namespace tagvane
