// The receiver link: opens the serial port or the TCP connection to a
// serial-to-network bridge as the settings say, hands every received chunk
// to the report parser, and keeps the link up. Connect waits run the event
// loop, so timers, other sockets and parsing go on meanwhile. A link that is
// lost or cannot be opened is retried on the 2-second connect timer until
// it is back, with one log entry per outage. An empty port or 0 means no
// receiver; a port text that can never open (not a number) is logged once
// and not retried.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/subsystems.h"
#include "core/timer.h"
#include "receiver/data_monitor.h"
#include "receiver/presence.h"
#include "receiver/report_parser.h"
#include "receiver/serial_link.h"
#include "receiver/tcp_link.h"

namespace tagvane {

class App;

class ReceiverLink final : public ReceiverPort {
 public:
  static constexpr int kConnectIntervalMs = 2000;
  static constexpr int kConnectTicks = 6;
  // Data held while the stored devices are not loaded yet (the newest).
  static constexpr size_t kHeldLimit = 65536;

  explicit ReceiverLink(App& app);
  ~ReceiverLink() override;

  bool InitCommPort(const std::string& port) override;
  void InitRFID() override;
  void LoadDevices() override;
  void SendToReceiver(std::string_view bytes) override;
  void Close() override;
  void ReopenCommPort() override;
  DataMonitor* Monitor() override { return &monitor_; }

  bool OpenCommPort(const std::string& port);
  void CloseCommPort(const std::string& port);

  ReportParser& Parser() { return parser_; }
  PresenceLogic& Presence() { return presence_; }
  bool TcpMode() const { return tcp_mode_; }
  int ConnectTries() const { return connect_tries_; }
  int SocketState() const { return tcp_.State(); }
  bool SerialOpen() const { return serial_.IsOpen(); }
  // True while the link is down and being retried in the background.
  bool Retrying() const { return retrying_; }
  uint64_t Reconnects() const { return reconnects_; }
  uint64_t ConnectAttempts() const { return tcp_.Attempts(); }

 private:
  void HostLoaded();
  void OnConnectTick();
  void OnTcpConnect();
  void OnTcpLost(const std::string& entry);
  void OnSerialLost(const std::string& reason);
  // Starts the background retry of a link that is down.
  void StartRetrying();
  // A retry found the link up again.
  void LinkRestored();
  void ShowStatus(bool open);
  // The first attempt on a port the pages saved failed: one entry, and the
  // setup page says so.
  void NotAnswering();
  // Received data goes to the parser once the stored devices are loaded;
  // until then it waits, so a report cannot create a fresh device over an
  // accepted one that is still on disk.
  void Deliver(std::string_view data);
  // A lost link ends its byte stream: the start of a report cut off by the
  // loss must not be joined to the first bytes of the next connection.
  void DropUnfinishedReport();

  App& app_;
  DataMonitor monitor_;
  ReportParser parser_;
  PresenceLogic presence_;
  SerialLink serial_;
  TcpLink tcp_;
  Timer connect_timer_;
  bool tcp_mode_ = false;
  int connect_tries_ = 0;
  int waits_ = 0;
  bool retrying_ = false;
  bool outage_logged_ = false;
  // A reopened port has not answered its first attempt yet.
  bool reopening_ = false;
  bool host_loaded_ = false;
  bool devices_loaded_ = false;
  std::string held_;
  uint64_t reconnects_ = 0;
};

}  // namespace tagvane
