#include "core/app.h"

#include "core/failure.h"
#include "core/numbers.h"
#include "core/paths.h"
#include "core/text.h"

namespace tagvane {

App::App(AppOptions options)
    : options_(std::move(options)),
      system_clock_(options_.clock ? nullptr : std::make_unique<SystemClock>()),
      clock_(options_.clock ? options_.clock : system_clock_.get()),
      timers_(options_.timers ? options_.timers : &loop_.Timers()),
      log_(*clock_, settings_.DebugLog),
      outbox_(state_.XapActive),
      receiver_(std::make_unique<NullReceiver>(options_.call_trace)),
      xap_(std::make_unique<NullXapTransport>(options_.call_trace)),
      http_(std::make_unique<NullHttpServer>(options_.call_trace)),
      scripts_(std::make_unique<NullScriptHost>(options_.call_trace)),
      database_(std::make_unique<NullDatabase>(options_.call_trace)),
      ui_(std::make_unique<NullUi>(options_.call_trace)),
      mqtt_(std::make_unique<NullMqtt>()),
      off_timer_(*timers_),
      periodic_timer_(*timers_),
      flush_timer_(*timers_) {
  exe_path_ = options_.exe_path;
  loop_.SetLog(&log_);
  log_.SetSender(&outbox_);
  log_.SetEcho(options_.foreground);
  periodic_timer_.SetOnTick([this] { scripts_->PeriodicTick(); });
  flush_timer_.SetOnTick([this] {
    flush_timer_.SetEnabled(false);
    if (ini_) ini_->FlushIniCache();
  });
}

App::~App() = default;

std::string App::XapSourceAddress() const {
  std::string source = "qbx.RFID." + computer_name_;
  if (!settings_.receiverlocation.empty()) source += "." + settings_.receiverlocation;
  return source;
}

void App::RequestShutdown() {
  if (starting_) startup_cancelled_ = true;
  loop_.Stop();
}

void App::FlushIniCacheSoon() {
  if (flush_timer_.Enabled() || shut_down_) return;
  flush_timer_.SetInterval(kFlushDelayMs);
  flush_timer_.SetEnabled(true);
}

void App::Start() {
  starting_ = true;
  // 1-2: flags and the device-code constants (kCodeFieldWidth, kCodeFill).
  state_.XapActive = false;
  state_.LinkClosing = false;
  state_.PumpGuard = false;

  InitXap();

  if (!startup_cancelled_) Guard(log_, "Main Load", [&] {
    XapTransportConfig config;
    config.source = XapSourceAddress();
    config.uid = "FF.0063:00";
    config.broadcast_address = broadcast_address_;
    config.interface_address = interface_address_;
    config.filter_heartbeats = true;
    outbox_.SetFallbackUID(config.uid);
    xap_port_ = xap_->Init(config);
    if (xap_port_ > 0) {
      xap_->SendHeartbeat(60);
      state_.XapActive = true;
      log_.LogEvent(kProductSource, "Using xAP port " + std::to_string(xap_port_));
      outbox_.SendXap("", "time.query", "time.query", std::string("id\x01*"), "", "", "");
    } else {
      const std::string error = "xAP Init Error " + std::to_string(xap_port_) + " occurred";
      log_.LogEvent(kProductSource, error);
      // Without xAP the event log reaches no one: the trace keeps the error.
      if (!settings_.DebugLog) log_.WriteTrace(kProductSource, error);
    }
  });

  if (!startup_cancelled_) {
    InitHW();
    Guard(log_, "Main Load", [&] { mqtt_->Start(); });
  }
  // The receiver-link host and the monitor exist from InitHW on; the main
  // form has nothing to hide here.
  if (!startup_cancelled_) {
    Guard(log_, "Main Load", [&] { ui_->ShowIndicator("RFID " + settings_.receiverlocation); });
  }
  starting_ = false;
}

void App::InitXap() {
  auto step = [&](auto&& fn) { GuardTrace(log_, "InitXap", fn); };
  step([&] {
    computer_name_ =
        options_.computer_name.empty() ? LookupComputerName() : options_.computer_name;
  });
  step([&] {
    app_path_ = options_.app_dir.string();
    while (app_path_.size() > 1 && app_path_.back() == '/') app_path_.pop_back();
    // An existing "config" or "data" folder is the one meant.
    config_dir_ = ResolveBelow(app_path_, "Config").value_or(app_path_ + "/Config");
    data_dir_ = ResolveBelow(app_path_, "Data").value_or(app_path_ + "/Data");
    log_.SetTracePath(data_dir_ / "Tagvane.txt");
  });
  step([&] {
    CreateFolders(log_, (config_dir_ / "x").string());
    CreateFolders(log_, (data_dir_ / "x").string());
  });
  step([&] { exe_path_ = RewriteUncPath(exe_path_); });
  step([&] {
    // The script API object: the INI cache and the HTTP server.
    ini_ = std::make_unique<IniCache>(ConfigDir(), log_);
    ini_->SetReportBadLines(true);
    http_->StartServer();
  });
  if (!ini_) return;
  step([&] { scripts_->Start(); });
  step([&] {
    interface_address_ =
        ini_->GetIniSetting("Interface", "InterfaceAddress", "Default", "qbxXap.ini");
    broadcast_address_ =
        ini_->GetIniSetting("Interface", "BroadcastAddress", "Default", "qbxXap.ini");
  });
  step([&] {
    settings_.UID = NormalizeUID(ini_->GetIniSetting("RFID", "UID", "FF.0063:00", kSettingsFile));
  });
  step([&] {
    settings_.receiverlocation = ini_->GetIniSetting("RFID", "ReceiverLocation", "", kSettingsFile);
  });
  step([&] {
    state_.ReceiverCode = std::string(Right(std::string(kCodeFill) + settings_.receiverlocation,
                                            kCodeFieldWidth));
  });
}

void App::InitHW() {
  // A shut-down asked for meanwhile ends start-up at the next step.
  auto step = [&](auto&& fn) {
    if (!startup_cancelled_) Guard(log_, "InitHW", fn);
  };
  step([&] {
    state_.ProcessingData = false;
    tables_.OffTimerCount = 0;
  });
  step([&] { ui_->CreateMonitor(); });
  // SettingsKeyList and SettingsDefaults are constant tables.
  step([&] {
    tables_.TagTable.Clear();
    tables_.DeviceTable.Clear();
    tables_.OffTimerList.clear();
  });
  step([&] { InitFilterDictionary(); });
  step([&] { InitDeviceDictionary(); });
  step([&] { InitINIVariables(); });
  step([&] { receiver_->LoadDevices(); });
  step([&] { tables_.BscSendQueue.clear(); });
  step([&] { ArmPeriodicTimer(); });
  step([&] { receiver_->InitRFID(); });
  step([&] { database_->Open(); });
  step([&] {
    if (state_.SerialPortOpen) receiver_->SendToReceiver(std::string("\xF0\x29", 2));
  });
  step([&] {
    off_timer_.SetInterval(3000);
    off_timer_.SetEnabled(true);
  });
}

void App::InitINIVariables() {
  Guard(log_, "InitINIVariables", [&] {
    InitIniKeys();
    if (ReceiverPortConfigured(settings_.RFIDPort) && !state_.SerialPortOpen) {
      state_.SerialPortOpen = receiver_->InitCommPort(settings_.RFIDPort);
    }
  });
}

void App::InitIniKeys() {
  for (const auto& name : SettingsKeyList) {
    Guard(log_, "InitIniKeys", [&] { SetIniValue(name); });
  }
}

void App::SetIniValue(std::string_view name) {
  if (!ini_) return;
  Guard(log_, "SetIniValue", [&] {
    if (tagvane::SetIniValue(settings_, *ini_, name) && EqualsNoCase(name, "periodicscriptinterval")) {
      ArmPeriodicTimer();
    }
  });
}

void App::ArmPeriodicTimer() {
  const PeriodicSchedule schedule = ComputePeriodicSchedule(settings_.PeriodicScriptInterval);
  if (IsNumeric(settings_.PeriodicScriptInterval) &&
      !PeriodicIntervalUsable(settings_.PeriodicScriptInterval)) {
    log_.LogEvent(kProductSource, "PeriodicScriptInterval " + settings_.PeriodicScriptInterval +
                                      " is negative or out of range; periodic scripts are off");
  }
  periodic_minutes_ = schedule.minute_counter;
  periodic_timer_.SetEnabled(false);
  periodic_timer_.SetInterval(schedule.interval_ms);
  periodic_timer_.SetEnabled(schedule.enabled);
}

}  // namespace tagvane
