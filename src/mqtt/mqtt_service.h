// MqttService: publishes the receiver's tags to an MQTT broker for Home
// Assistant and other hubs. For each device of this receiver that is in use
// (accepted and not removed) it keeps retained state, attributes and
// discovery topics up to date:
//   <prefix>/<node>/status              online / offline (also the last will)
//   <prefix>/<node>/<tag id>/state      home / not_home, on every turn
//   <prefix>/<node>/<tag id>/attributes JSON, on a decision and at most
//                                       every 10 s otherwise
//   <discovery>/{device_tracker,binary_sensor}/<node>/<tag id>/config
// Everything is published again on (re)connect and when Home Assistant
// announces itself on <discovery>/status. A device that leaves use has its
// entities removed by empty retained configs. While disconnected nothing is
// queued: the device table is the latest state, published on reconnect.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "core/subsystems.h"
#include "core/timer.h"
#include "mqtt/mqtt_connection.h"
#include "mqtt/mqtt_settings.h"

namespace tagvane {

class App;
class RFIDDevice;

class MqttService final : public MqttPort {
 public:
  explicit MqttService(App& app);
  ~MqttService() override;

  void Start() override;
  void Close() override;
  std::string StatusLine() const override;

  // A presence decision was announced for the device (hook).
  void OnDecision(const std::string& code);
  // Brings discovery up to date with the device table (new, renamed and
  // retired devices) and refreshes changed attributes; runs every second.
  void Sweep(bool attributes_due);

  bool Enabled() const { return connection_ != nullptr; }
  const MqttSettings& Settings() const { return settings_; }
  const MqttConnection* Connection() const { return connection_.get(); }

  static constexpr int kAttributeIntervalS = 10;

 private:
  struct Published {
    std::string tag_id;
    std::string discovery;   // device_tracker config as last published
    std::string attributes;  // as last published
    int status = 0;          // state as last published (0: none)
  };

  void OnConnected();
  void OnMessage(const std::string& topic, const std::string& payload);
  void PublishAll(bool force);
  void PublishDevice(const RFIDDevice& device, Published& p, bool force);
  void Retire(const std::string& code, const Published& p);
  bool InScope(const RFIDDevice& device) const;
  bool Send(const std::string& topic, std::string_view payload, bool retain, int qos = 1);

  App& app_;
  MqttSettings settings_;
  std::unique_ptr<MqttTopics> topics_;
  std::unique_ptr<MqttConnection> connection_;
  Timer sweep_timer_;
  // The DeviceDecision listener while started (0: none).
  int decision_listener_ = 0;
  int sweep_count_ = 0;
  // Device code (upper case) -> what the broker holds for it.
  std::unordered_map<std::string, Published> published_;
};

}  // namespace tagvane
