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
// announces itself on <discovery>/status, kChunk devices per loop turn so
// pages stay quick with thousands of tags. A device that leaves use has its
// entities, state and attributes removed by empty retained messages (also
// those found on the broker after a restart). While disconnected nothing is
// queued: the device table is the latest state, published on reconnect.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

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
  // Devices published per loop turn while a republish is under way.
  static constexpr size_t kChunk = 100;
  // A chunk waits while this many publishes are not yet acknowledged, so
  // the library's queue, and with it each of its reads, stays short.
  static constexpr size_t kMaxUnconfirmed = 10 * kChunk;
  // Devices still waiting to be published again.
  size_t Backlog() const { return backlog_.size(); }

 private:
  struct Published {
    std::string tag_id;
    std::string discovery;   // device_tracker config as last published
    std::string attributes;  // as last published
    int status = 0;          // state as last published (0: none)
    bool queued = false;     // waiting in backlog_
  };

  void OnConnected();
  void OnMessage(const std::string& topic, const std::string& payload);
  void PublishAll(bool force);
  void PublishDevice(const RFIDDevice& device, Published& p, bool force);
  void Retire(const std::string& tag_id);
  // Publishes the next kChunk devices of the backlog; posts itself again
  // while some remain.
  void Drain();
  // Drain on a later turn.
  void PostDrain();
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
  // Device codes to publish again in full, oldest first.
  std::deque<std::string> backlog_;
  bool draining_ = false;
  // The backlog waits for acknowledgements. Not the same as a backlog with
  // no drain posted: a chunk's own publishes report back while it runs.
  bool awaiting_acks_ = false;
  // Topic ids of the devices in scope at the last sweep: retained topics
  // of any other id are ours to clear.
  std::unordered_set<std::string> live_ids_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tagvane
