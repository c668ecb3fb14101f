#include "mqtt/mqtt_service.h"

#include <asio/post.hpp>
#include <unordered_set>
#include <vector>

#include "core/app.h"
#include "core/failure.h"
#include "core/text.h"
#include "mqtt/mqtt_payloads.h"
#include "receiver/rfid_device.h"

namespace tagvane {
namespace {

constexpr std::string_view kTracker = "device_tracker";
constexpr std::string_view kSensor = "binary_sensor";
constexpr const char* kPublished = "tagvane_mqtt_messages_published_total";

// What the discovery configs depend on besides the tag identifier.
std::string Identity(const RFIDDevice& device) { return device.Tag() + '\x1f' + device.Location(); }

}  // namespace

MqttService::MqttService(App& app) : app_(app), sweep_timer_(app.Timers()) {
  sweep_timer_.SetOnTick([this] {
    Guard(app_.Log(), "MqttSweep", [&] { Sweep(++sweep_count_ % kAttributeIntervalS == 0); });
  });
}

MqttService::~MqttService() { *alive_ = false; }

void MqttService::Start() {
  if (connection_) return;
  settings_ = ReadMqttSettings(app_.Ini(), app_.State().ReceiverCode, app_.ComputerName());
  if (settings_.host.empty()) return;
  topics_ = std::make_unique<MqttTopics>(settings_);
  MqttConnection::Callbacks callbacks;
  callbacks.connected = [this] { Guard(app_.Log(), "MqttConnected", [&] { OnConnected(); }); };
  // The backlog goes on once the broker has taken what was sent.
  callbacks.confirmed = [this] {
    if (!awaiting_acks_ || draining_ || connection_->Unconfirmed() >= kMaxUnconfirmed) return;
    awaiting_acks_ = false;
    PostDrain();
  };
  callbacks.disconnected = [this] { app_.GetMetrics().Set("tagvane_mqtt_connected", 0); };
  callbacks.message = [this](const std::string& topic, const std::string& payload) {
    Guard(app_.Log(), "MqttMessage", [&] { OnMessage(topic, payload); });
  };
  connection_ = std::make_unique<MqttConnection>(app_.Loop().Io(), app_.Log(), callbacks);
  if (!connection_->Start(settings_, topics_->Status())) {
    app_.Log().LogEvent(kProductSource, "MQTT not started: " + connection_->LastError());
    connection_.reset();
    return;
  }
  decision_listener_ = app_.GetHooks().DeviceDecision.Add([this](const std::string& code) {
    Guard(app_.Log(), "MqttDecision", [&] { OnDecision(code); });
  });
  sweep_timer_.SetInterval(1000);
  sweep_timer_.SetEnabled(true);
}

void MqttService::Close() {
  sweep_timer_.SetEnabled(false);
  if (!connection_) return;
  app_.GetHooks().DeviceDecision.Remove(decision_listener_);
  decision_listener_ = 0;
  connection_->Close(topics_->Status(), "offline");
  app_.GetMetrics().Set("tagvane_mqtt_connected", 0);
}

std::string MqttService::StatusLine() const {
  if (!connection_) {
    return settings_.host.empty() ? "off (no host set)" : "off (" + settings_.host + " unusable)";
  }
  const std::string where = settings_.host + ":" + std::to_string(settings_.port);
  if (connection_->Connected()) return "connected to " + where;
  std::string line = "not connected to " + where;
  if (connection_->RetryDelay() > 0) {
    line += ", next attempt within " + std::to_string(connection_->RetryDelay()) + " s";
  }
  if (!connection_->LastError().empty()) line += " (" + connection_->LastError() + ")";
  return line;
}

bool MqttService::Send(const std::string& topic, std::string_view payload, bool retain, int qos) {
  if (!connection_->Publish(topic, payload, retain, qos)) return false;
  app_.GetMetrics().Add(kPublished);
  return true;
}

bool MqttService::InScope(const RFIDDevice& device) const {
  const std::string& code = device.DC();
  return device.InUse() && !device.Remove() && code.size() == 16 &&
         std::string_view(code).substr(0, 6) == kCodeFill &&
         EqualsNoCase(std::string_view(code).substr(6, 6), app_.State().ReceiverCode);
}

void MqttService::OnConnected() {
  app_.GetMetrics().Set("tagvane_mqtt_connected", 1);
  Send(topics_->Status(), "online", true);
  connection_->Subscribe(topics_->Birth());
  PublishAll(true);
  // Our own retained topics: entities, states and attributes of devices
  // retired while we were away are found here and cleared.
  connection_->Subscribe(settings_.discovery_prefix + "/+/" + settings_.node + "/+/config");
  connection_->Subscribe(settings_.topic_prefix + "/" + settings_.node + "/+/state");
}

void MqttService::OnMessage(const std::string& topic, const std::string& payload) {
  if (topic == topics_->Birth()) {
    if (payload == "online") PublishAll(true);
    return;
  }
  if (payload.empty()) return;
  // <discovery>/<component>/<node>/<id>/config or <prefix>/<node>/<id>/state.
  std::string id;
  const std::string discovery = settings_.discovery_prefix + "/";
  const std::string own = settings_.topic_prefix + "/" + settings_.node + "/";
  if (topic.starts_with(discovery)) {
    const auto parts = Split(std::string_view(topic).substr(discovery.size()), '/');
    if (parts.size() != 4 || parts[1] != settings_.node || parts[3] != "config") return;
    if (parts[0] != kTracker && parts[0] != kSensor) return;
    id = parts[2];
  } else if (topic.starts_with(own)) {
    const auto parts = Split(std::string_view(topic).substr(own.size()), '/');
    if (parts.size() != 2 || parts[1] != "state") return;
    id = parts[0];
  } else {
    return;
  }
  if (id.empty() || live_ids_.count(id)) return;
  Send(topic, "", true);
  Send(own + id + "/state", "", true);
  Send(own + id + "/attributes", "", true);
}

void MqttService::OnDecision(const std::string& code) {
  if (!connection_ || !connection_->Connected()) return;
  const DevicePtr* device = app_.Tables().DeviceTable.Find(code);
  if (!device || !*device || !InScope(**device)) return;
  PublishDevice(**device, published_[ToUpper(code)], false);
}

void MqttService::PublishAll(bool force) {
  if (force) {
    backlog_.clear();
    for (auto& [code, p] : published_) {
      p.discovery.clear(), p.attributes.clear(), p.status = 0, p.queued = false;
    }
  }
  Sweep(true);
}

void MqttService::Sweep(bool attributes_due) {
  if (!connection_ || !connection_->Connected()) return;
  std::unordered_set<std::string> seen;
  live_ids_.clear();
  for (const auto& [key, device] : app_.Tables().DeviceTable) {
    if (!device || !InScope(*device)) continue;
    const std::string code = ToUpper(device->DC());
    seen.insert(code);
    Published& p = published_[code];
    live_ids_.insert(TopicId(TagIdOf(*device)));
    if (p.queued) continue;
    const bool fresh = p.discovery.empty() || p.discovery != Identity(*device);
    if (fresh || attributes_due || p.status != device->DeviceStatus()) {
      // Published by Drain, a bounded number per loop turn.
      p.queued = true;
      backlog_.push_back(code);
    }
  }
  std::vector<std::string> retired;
  for (const auto& [code, p] : published_) {
    if (!seen.count(code)) retired.push_back(code);
  }
  for (const std::string& code : retired) {
    Retire(published_[code].tag_id);
    published_.erase(code);
  }
  if (!draining_) Drain();
}

void MqttService::Drain() {
  draining_ = false;
  if (!connection_ || !connection_->Connected()) return;
  awaiting_acks_ = !backlog_.empty() && connection_->Unconfirmed() >= kMaxUnconfirmed;
  if (awaiting_acks_) return;
  for (size_t n = 0; n < kChunk && !backlog_.empty(); ++n) {
    const std::string code = std::move(backlog_.front());
    backlog_.pop_front();
    auto it = published_.find(code);
    if (it == published_.end()) continue;
    it->second.queued = false;
    const DevicePtr* device = app_.Tables().DeviceTable.Find(code);
    if (device && *device && InScope(**device)) PublishDevice(**device, it->second, false);
  }
  if (!backlog_.empty()) PostDrain();
}

void MqttService::PostDrain() {
  draining_ = true;
  asio::post(app_.Loop().Io(), [this, alive = std::weak_ptr<bool>(alive_)] {
    if (!alive.expired()) Guard(app_.Log(), "MqttSweep", [&] { Drain(); });
  });
}

void MqttService::PublishDevice(const RFIDDevice& device, Published& p, bool force) {
  const std::string id = TagIdOf(device);
  p.tag_id = id;
  const std::string identity = Identity(device);
  if (force || p.discovery != identity) {
    Send(topics_->Discovery(kTracker, id), DiscoveryJson(*topics_, device, kTracker), true);
    Send(topics_->Discovery(kSensor, id), DiscoveryJson(*topics_, device, kSensor), true);
    p.discovery = identity;
    p.status = 0;
    p.attributes.clear();
  }
  const std::string_view state = StateText(device.DeviceStatus());
  if (!state.empty() && p.status != device.DeviceStatus()) {
    if (Send(topics_->State(id), state, true)) p.status = device.DeviceStatus();
  }
  std::string attributes = AttributesJson(device);
  if (attributes != p.attributes) {
    // Attributes change with every report; QoS 0 is enough for them.
    if (Send(topics_->Attributes(id), attributes, true, 0)) p.attributes = std::move(attributes);
  }
}

void MqttService::Retire(const std::string& tag_id) {
  if (tag_id.empty()) return;
  Send(topics_->Discovery(kTracker, tag_id), "", true);
  Send(topics_->Discovery(kSensor, tag_id), "", true);
  Send(topics_->State(tag_id), "", true);
  Send(topics_->Attributes(tag_id), "", true);
}

}  // namespace tagvane
