#include "mqtt/mqtt_settings.h"

#include <fmt/format.h>

#include "core/ini_cache.h"
#include "core/numbers.h"
#include "core/settings.h"
#include "core/text.h"

namespace tagvane {
namespace {

constexpr std::string_view kSection = "MQTT";

bool IsIdChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

std::string TopicId(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (IsIdChar(c)) {
      out += static_cast<char>(c);
    } else {
      out += fmt::format("-{:02X}", c);
    }
  }
  return out;
}

MqttSettings ReadMqttSettings(IniCache& ini, std::string_view receiver_code,
                              std::string_view computer_name) {
  MqttSettings s;
  auto get = [&](std::string_view key, std::string_view def) {
    return RemoveQuotes(TrimSpaces(ini.GetIniSetting(kSection, key, def, kSettingsFile)));
  };
  s.host = get("Host", "");
  const std::string port = get("Port", "1883");
  if (IsNumeric(port)) {
    const double p = LeadingNumber(port);
    if (p >= 1 && p <= 65535) s.port = static_cast<int>(p);
  }
  s.user = get("User", "");
  s.password = get("Password", "");
  s.topic_prefix = get("TopicPrefix", "tagvane");
  s.discovery_prefix = get("DiscoveryPrefix", "homeassistant");
  // A prefix with wildcards or empty levels would make invalid topics.
  for (std::string* prefix : {&s.topic_prefix, &s.discovery_prefix}) {
    if (prefix->find_first_of("+#") != std::string::npos) prefix->clear();
    while (!prefix->empty() && prefix->back() == '/') prefix->pop_back();
  }
  if (s.topic_prefix.empty()) s.topic_prefix = "tagvane";
  if (s.discovery_prefix.empty()) s.discovery_prefix = "homeassistant";
  s.tls = IsTrueText(get("TLS", "false"));
  s.ca_file = get("CAFile", "");

  std::string node = ToLower(ReplaceAll(receiver_code, "_", ""));
  if (node.empty()) node = ToLower(computer_name);
  s.node = TopicId(node);
  if (s.node.empty()) s.node = "tagvane";
  s.client_id = get("ClientId", "");
  if (s.client_id.empty()) s.client_id = "tagvane-" + s.node;
  return s;
}

std::string MqttTopics::Status() const { return s_.topic_prefix + "/" + s_.node + "/status"; }

std::string MqttTopics::State(std::string_view tag_id) const {
  return s_.topic_prefix + "/" + s_.node + "/" + TopicId(tag_id) + "/state";
}

std::string MqttTopics::Attributes(std::string_view tag_id) const {
  return s_.topic_prefix + "/" + s_.node + "/" + TopicId(tag_id) + "/attributes";
}

std::string MqttTopics::Discovery(std::string_view component, std::string_view tag_id) const {
  return s_.discovery_prefix + "/" + std::string(component) + "/" + s_.node + "/" +
         TopicId(tag_id) + "/config";
}

std::string MqttTopics::Birth() const { return s_.discovery_prefix + "/status"; }

std::string MqttTopics::UniqueId(std::string_view tag_id, std::string_view suffix) const {
  return ReceiverId() + "_" + TopicId(tag_id) + "_" + std::string(suffix);
}

std::string MqttTopics::ReceiverId() const { return "tagvane_" + s_.node; }

}  // namespace tagvane
