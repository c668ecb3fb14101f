// The narrow interfaces through which start-up and shut-down reach the
// subsystems (receiver link, xAP transport, HTTP server, scripts, reading
// database, user interface). Each has a do-nothing version that can record
// its calls, used until a real component is installed and by tests that
// check the order of start-up.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tagvane {

class DataMonitor;

// Records "component.Operation" names in call order (tests).
using CallTrace = std::vector<std::string>;

class ReceiverPort {
 public:
  virtual ~ReceiverPort() = default;
  // Opens the link for a configured port; true when it is open.
  virtual bool InitCommPort(const std::string& port) = 0;
  // Opens the link when configured and not yet open.
  virtual void InitRFID() = 0;
  // Loads the tag devices of section "RFIDUnits" and builds the tag table.
  virtual void LoadDevices() = 0;
  // Writes raw bytes to the receiver.
  virtual void SendToReceiver(std::string_view bytes) = 0;
  // Closes the link for good (shut-down).
  virtual void Close() = 0;
  // The receiver's port or address were changed from a page: closes the
  // link and opens it on the port now in the settings, without waiting; a
  // port that does not answer is retried as in any outage.
  virtual void ReopenCommPort() {}
  // The data monitor's state (filter, freeze, scrolling text, link label);
  // nullptr when there is no receiver.
  virtual DataMonitor* Monitor() { return nullptr; }
};

struct XapTransportConfig {
  std::string source;
  std::string uid;
  std::string broadcast_address;
  std::string interface_address;
  bool filter_heartbeats = true;
};

class XapTransportPort {
 public:
  virtual ~XapTransportPort() = default;
  // Binds the sockets; returns the private UDP port bound, 0 or less when
  // binding failed.
  virtual int Init(const XapTransportConfig& config) = 0;
  virtual void SendHeartbeat(int interval_seconds) = 0;
  virtual void Close() = 0;
};

class HttpServerPort {
 public:
  virtual ~HttpServerPort() = default;
  virtual void StartServer() = 0;
  virtual void Close() = 0;
};

class ScriptHostPort {
 public:
  virtual ~ScriptHostPort() = default;
  // Creates the script API object at start-up (sets up the engine and loads
  // the main script).
  virtual void Start() {}
  // Called when the periodic script timer ticks.
  virtual void PeriodicTick() = 0;
  virtual void Release() = 0;
};

class HistorySource;

class DatabasePort {
 public:
  virtual ~DatabasePort() = default;
  virtual void Open() = 0;
  virtual void Close() = 0;
  // The readings and turns read back for the history page and the API;
  // nullptr when no reading database is installed.
  virtual HistorySource* History() { return nullptr; }
};

// The pages that show and set the receiver's state: data monitor, settings page,
// activity indicator (a small status mark in every page).
class UiPort {
 public:
  virtual ~UiPort() = default;
  virtual void CreateMonitor() = 0;
  virtual void ShowIndicator(const std::string& caption) = 0;
  virtual void RemoveIndicator() = 0;
  virtual void CloseWindows() = 0;
};

// Publishing to an MQTT broker (Home Assistant and other hubs).
class MqttPort {
 public:
  virtual ~MqttPort() = default;
  // Reads section "MQTT" and connects when a host is set.
  virtual void Start() = 0;
  // Publishes "offline" and disconnects (shut-down).
  virtual void Close() = 0;
  // One line for the setup section, e.g. "connected to 127.0.0.1:1883".
  virtual std::string StatusLine() const = 0;
};

// Do-nothing versions.
class TracedNull {
 protected:
  explicit TracedNull(CallTrace* trace) : trace_(trace) {}
  void Note(const char* what) {
    if (trace_) trace_->emplace_back(what);
  }

 private:
  CallTrace* trace_;
};

class NullReceiver final : public ReceiverPort, TracedNull {
 public:
  explicit NullReceiver(CallTrace* trace = nullptr) : TracedNull(trace) {}
  bool InitCommPort(const std::string&) override { return Note("receiver.InitCommPort"), false; }
  void InitRFID() override { Note("receiver.InitRFID"); }
  void LoadDevices() override { Note("receiver.LoadDevices"); }
  void SendToReceiver(std::string_view) override { Note("receiver.SendToReceiver"); }
  void Close() override { Note("receiver.Close"); }
};

class NullXapTransport final : public XapTransportPort, TracedNull {
 public:
  explicit NullXapTransport(CallTrace* trace = nullptr) : TracedNull(trace) {}
  int Init(const XapTransportConfig&) override { return Note("xap.Init"), 0; }
  void SendHeartbeat(int) override { Note("xap.SendHeartbeat"); }
  void Close() override { Note("xap.Close"); }
};

class NullHttpServer final : public HttpServerPort, TracedNull {
 public:
  explicit NullHttpServer(CallTrace* trace = nullptr) : TracedNull(trace) {}
  void StartServer() override { Note("http.StartServer"); }
  void Close() override { Note("http.Close"); }
};

class NullScriptHost final : public ScriptHostPort, TracedNull {
 public:
  explicit NullScriptHost(CallTrace* trace = nullptr) : TracedNull(trace) {}
  void PeriodicTick() override { Note("scripts.PeriodicTick"); }
  void Release() override { Note("scripts.Release"); }
};

class NullDatabase final : public DatabasePort, TracedNull {
 public:
  explicit NullDatabase(CallTrace* trace = nullptr) : TracedNull(trace) {}
  void Open() override { Note("database.Open"); }
  void Close() override { Note("database.Close"); }
};

class NullUi final : public UiPort, TracedNull {
 public:
  explicit NullUi(CallTrace* trace = nullptr) : TracedNull(trace) {}
  void CreateMonitor() override { Note("ui.CreateMonitor"); }
  void ShowIndicator(const std::string&) override { Note("ui.ShowIndicator"); }
  void RemoveIndicator() override { Note("ui.RemoveIndicator"); }
  void CloseWindows() override { Note("ui.CloseWindows"); }
};

class NullMqtt final : public MqttPort, TracedNull {
 public:
  explicit NullMqtt(CallTrace* trace = nullptr) : TracedNull(trace) {}
  void Start() override { Note("mqtt.Start"); }
  void Close() override { Note("mqtt.Close"); }
  std::string StatusLine() const override { return "off"; }
};

}  // namespace tagvane
