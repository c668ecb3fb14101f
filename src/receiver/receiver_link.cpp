#include "receiver/receiver_link.h"

#include <stdexcept>

#include "core/app.h"
#include "core/failure.h"
#include "core/numbers.h"
#include "receiver/device_table.h"

namespace tagvane {
namespace {

// Whether a port text can ever be opened: a device path or a serial port
// number from 1 on, or for the TCP link a port number from 1 to 65535.
// Retrying any other text cannot succeed until the setting changes.
bool PortTextUsable(const std::string& port, bool tcp) {
  if (!tcp && !port.empty() && port.front() == '/') return true;
  if (!IsNumeric(port)) return false;
  const double v = RoundHalfEven(LeadingNumber(port));
  return v >= 1 && v <= (tcp ? 65535.0 : 32767.0);
}

bool UsesTcp(const Settings& settings) {
  return settings.SerialIP.find('.') != std::string::npos;
}

}  // namespace

ReceiverLink::ReceiverLink(App& app)
    : app_(app),
      parser_(app, monitor_),
      presence_(app),
      serial_(app.Loop().Io()),
      tcp_(app.Loop().Io()),
      connect_timer_(app.Timers(), [this] { OnConnectTick(); }) {
  serial_.SetHandlers([this](std::string_view data) { Deliver(data); },
                      [this](const std::string& reason) { OnSerialLost(reason); });
  TcpLink::Handlers handlers;
  handlers.on_connect = [this] { OnTcpConnect(); };
  handlers.on_data = [this](std::string_view data) { Deliver(data); };
  handlers.on_close = [this] {
    OnTcpLost("RFID IP Connection Closed " + std::to_string(tcp_.State()));
  };
  handlers.on_error = [this](int number, const std::string& description) {
    OnTcpLost("RFID Winsock1_Error at State " + std::to_string(tcp_.State()) + ", " +
              std::to_string(number) + " " + description);
  };
  tcp_.SetHandlers(std::move(handlers));
}

ReceiverLink::~ReceiverLink() = default;

void ReceiverLink::HostLoaded() {
  if (host_loaded_) return;
  host_loaded_ = true;
  if (app_.GetSettings().DebugLog) app_.Log().LogEvent(kDebugSource, "Internal Timer Started");
}

void ReceiverLink::ShowStatus(bool open) {
  monitor_.aOpenStatus =
      open ? "Port Open / " + std::to_string(connect_tries_) + " tries" : "Port Not Connected";
}

bool ReceiverLink::OpenCommPort(const std::string& port) {
  HostLoaded();
  connect_tries_ = 0;
  bool result = false;
  Guard(app_.Log(), "OpenCommPort " + port, [&] {
    const Settings& settings = app_.GetSettings();
    if (!UsesTcp(settings)) {
      tcp_mode_ = false;
      if (!serial_.IsOpen()) {
        const std::string path = SerialDevicePath(port);
        std::string error;
        serial_.Open(path, error);
      }
      result = serial_.IsOpen();
      return;
    }
    tcp_mode_ = true;
    if (tcp_.State() == TcpLink::kConnected) {
      result = true;
      return;
    }
    if (!IsNumeric(port)) throw std::invalid_argument("Invalid port number");
    const int32_t tcp_port = ToInt32(LeadingNumber(port));
    tcp_.Close();
    tcp_.StartConnect(settings.SerialIP, tcp_port);
    connect_timer_.SetInterval(kConnectIntervalMs);
    connect_timer_.SetEnabled(true);
    ++waits_;
    EventLoop& loop = app_.Loop();
    while (connect_timer_.Enabled() && !app_.State().LinkClosing && !loop.Stopped()) {
      loop.PumpFor(std::chrono::milliseconds(50));
      if (tcp_.State() == TcpLink::kConnected) {
        result = true;
        break;
      }
    }
    --waits_;
    if (!result) {
      app_.Log().LogEvent(kProductSource, "Unable to connect to RFID via TCP " + port);
    }
  });
  ShowStatus(result);
  if (result) {
    retrying_ = false;
    outage_logged_ = false;
  }
  app_.Loop().Pump();
  return result;
}

bool ReceiverLink::InitCommPort(const std::string& port) {
  HostLoaded();
  bool result = false;
  Guard(app_.Log(), "InitCommPort", [&] {
    for (int attempt = 0; attempt < 2; ++attempt) {
      // A shut-down asked for during start-up ends the attempts.
      if (app_.Loop().Stopped()) return;
      if (OpenCommPort(port)) {
        app_.Log().LogEvent(kProductSource, "RFID Comm Port " + port + " Opened");
        result = true;
        return;
      }
      app_.Log().LogEvent(kProductSource, "Error Opening RFID Comm Port number  " + port);
      CloseCommPort(port);
    }
  });
  return result;
}

void ReceiverLink::InitRFID() {
  HostLoaded();
  Guard(app_.Log(), "InitRFID", [&] {
    const std::string& port = app_.GetSettings().RFIDPort;
    SharedState& state = app_.State();
    // Empty or 0: no receiver, so nothing to open or retry.
    if (!ReceiverPortConfigured(port) || app_.Loop().Stopped()) return;
    if (!state.SerialPortOpen && !PortTextUsable(port, UsesTcp(app_.GetSettings()))) {
      // Nothing to open or retry until the setting changes.
      app_.Log().LogEvent(kProductSource, "RFID receiver port " + port +
                                              " is not a port number; the receiver stays closed");
      return;
    }
    if (!state.SerialPortOpen) {
      // A device path must reach the open as it stands.
      const std::string text = port.front() == '/' ? port : DoubleText(LeadingNumber(port));
      state.SerialPortOpen = OpenCommPort(text);
      if (state.SerialPortOpen) {
        app_.Log().LogEvent(kProductSource, "Port " + port + " opened for RFID");
      }
    }
    if (state.SerialPortOpen || state.LinkClosing || app_.Loop().Stopped()) return;
    outage_logged_ = true;
    app_.Log().LogEvent(kProductSource, "RFID receiver on port " + port +
                                            " not available; retrying every 2 seconds");
    StartRetrying();
  });
}

void ReceiverLink::LoadDevices() {
  HostLoaded();
  InitIniSection(app_, "RFIDUnits", kSettingsFile);
  BuildTagDictionary(app_);
  devices_loaded_ = true;
  if (!held_.empty()) {
    const std::string held = std::move(held_);
    held_.clear();
    parser_.ProcessCommData(held, 2);
  }
}

void ReceiverLink::Deliver(std::string_view data) {
  if (devices_loaded_) {
    parser_.ProcessCommData(data, 2);
    return;
  }
  held_.append(data);
  if (held_.size() > kHeldLimit) held_.erase(0, held_.size() - kHeldLimit);
}

void ReceiverLink::SendToReceiver(std::string_view bytes) {
  Guard(app_.Log(), "SendToReceiver", [&] {
    if (tcp_mode_) {
      tcp_.Write(bytes);
    } else {
      serial_.Write(bytes);
    }
  });
}

void ReceiverLink::CloseCommPort(const std::string& port) {
  if (tcp_mode_ || port.find(':') != std::string::npos) {
    tcp_.Close();
  } else {
    serial_.Close();
  }
}

void ReceiverLink::Close() {
  if (parser_.ReportsProcessed() > 0) {
    app_.Log().WriteTrace(
        kProductSource,
        "Receiver link closed after " + std::to_string(parser_.ReportsProcessed()) + " reports");
  }
  connect_timer_.SetEnabled(false);
  retrying_ = false;
  tcp_.Close();
  serial_.Close();
  app_.State().SerialPortOpen = false;
}

void ReceiverLink::ReopenCommPort() {
  Guard(app_.Log(), "ReopenCommPort", [&] {
    SharedState& state = app_.State();
    const Settings& settings = app_.GetSettings();
    const std::string& port = settings.RFIDPort;
    connect_timer_.SetEnabled(false);
    retrying_ = false;
    outage_logged_ = false;
    reopening_ = false;
    tcp_.Close();
    serial_.Close();
    DropUnfinishedReport();
    state.SerialPortOpen = false;
    ShowStatus(false);
    tcp_mode_ = UsesTcp(settings);
    if (!ReceiverPortConfigured(port) || state.LinkClosing) return;
    if (!PortTextUsable(port, tcp_mode_)) {
      app_.Log().LogEvent(kProductSource, "RFID receiver port " + port +
                                              " is not a port number; the receiver stays closed");
      return;
    }
    if (!tcp_mode_) {
      // Opening a serial device does not wait.
      std::string error;
      if (serial_.Open(SerialDevicePath(port), error)) {
        LinkRestored();
      } else {
        NotAnswering();
        StartRetrying();
      }
      return;
    }
    // The connect runs on the loop; its result arrives as an event, and
    // the connect timer retries as for a lost link.
    reopening_ = true;
    StartRetrying();
    tcp_.StartConnect(settings.SerialIP, ToInt32(LeadingNumber(port)));
  });
}

void ReceiverLink::NotAnswering() {
  reopening_ = false;
  if (outage_logged_) return;
  outage_logged_ = true;
  const Settings& settings = app_.GetSettings();
  app_.Log().LogEvent(kProductSource,
                      "RFID receiver on port " +
                          (tcp_mode_ ? settings.SerialIP + ":" : std::string()) +
                          settings.RFIDPort + " not answering; retrying every 2 seconds");
}

void ReceiverLink::StartRetrying() {
  retrying_ = true;
  connect_tries_ = 0;
  connect_timer_.SetEnabled(false);
  connect_timer_.SetInterval(kConnectIntervalMs);
  connect_timer_.SetEnabled(true);
}

void ReceiverLink::OnConnectTick() {
  Guard(app_.Log(), "ConnectTimer_Timer", [&] {
    if (connect_tries_ < INT16_MAX) ++connect_tries_;
    const Settings& settings = app_.GetSettings();
    if (retrying_ && waits_ == 0) {
      // The port may have been changed to one that can never open.
      if (app_.State().LinkClosing || !PortTextUsable(settings.RFIDPort, tcp_mode_)) {
        connect_timer_.SetEnabled(false);
        retrying_ = false;
        return;
      }
      if (!tcp_mode_) {
        std::string error;
        if (serial_.Open(SerialDevicePath(settings.RFIDPort), error)) LinkRestored();
        return;
      }
      if (tcp_.State() != TcpLink::kConnected) {
        if (reopening_) NotAnswering();
        tcp_.StartConnect(settings.SerialIP, ToInt32(LeadingNumber(settings.RFIDPort)));
      }
      return;
    }
    if (tcp_.State() != TcpLink::kConnected && connect_tries_ < kConnectTicks) {
      tcp_.Close();
      tcp_.StartConnect(settings.SerialIP, ToInt32(LeadingNumber(settings.RFIDPort)));
    } else {
      connect_timer_.SetEnabled(false);
    }
  });
}

void ReceiverLink::OnTcpConnect() {
  connect_timer_.SetEnabled(false);
  if (retrying_ && waits_ == 0) LinkRestored();
}

void ReceiverLink::LinkRestored() {
  reopening_ = false;
  connect_timer_.SetEnabled(false);
  retrying_ = false;
  outage_logged_ = false;
  ++reconnects_;
  app_.State().SerialPortOpen = true;
  ShowStatus(true);
  const Settings& settings = app_.GetSettings();
  app_.Log().LogEvent(kProductSource, tcp_mode_
                                          ? "RFID IP Connection restored to " + settings.SerialIP +
                                                ":" + settings.RFIDPort
                                          : "RFID Comm Port " + settings.RFIDPort + " Opened");
  // The receiver may have been reset while away: greet it as at start-up.
  SendToReceiver(std::string("\xF0\x29", 2));
}

void ReceiverLink::DropUnfinishedReport() {
  SharedState& state = app_.State();
  if (!state.ProcessingData) state.ReceiveBuffer.clear();
  held_.clear();
}

void ReceiverLink::OnTcpLost(const std::string& entry) {
  SharedState& state = app_.State();
  if (state.LinkClosing) return;
  DropUnfinishedReport();
  if (reopening_) NotAnswering();
  if (!outage_logged_) {
    outage_logged_ = true;
    app_.Log().LogEvent(kProductSource, entry);
  }
  // A connect wait in progress retries on its own ticks.
  if (waits_ > 0) return;
  state.SerialPortOpen = false;
  ShowStatus(false);
  if (retrying_) return;  // the connect timer paces the next attempt
  StartRetrying();
  const Settings& settings = app_.GetSettings();
  Guard(app_.Log(), "OpenCommPort " + settings.RFIDPort,
        [&] { tcp_.StartConnect(settings.SerialIP, ToInt32(LeadingNumber(settings.RFIDPort))); });
}

void ReceiverLink::OnSerialLost(const std::string& reason) {
  SharedState& state = app_.State();
  if (state.LinkClosing) return;
  DropUnfinishedReport();
  if (!outage_logged_) {
    outage_logged_ = true;
    app_.Log().LogEvent(kProductSource,
                        "RFID Comm Port " + app_.GetSettings().RFIDPort + " lost: " + reason);
  }
  state.SerialPortOpen = false;
  ShowStatus(false);
  if (!retrying_) StartRetrying();
}

}  // namespace tagvane
