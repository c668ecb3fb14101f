// The settings of section "MQTT" of Tagvane.ini and the topic names built
// from them. Only identifiers go into topics: the node name and the tag
// identifier, both reduced to letters, digits and "_" (other bytes written as
// "-" and two hex digits), so no user text can add topic levels or wildcards.
#pragma once

#include <string>
#include <string_view>

namespace tagvane {

class IniCache;

struct MqttSettings {
  std::string host;  // empty: MQTT off
  int port = 1883;
  std::string user;
  std::string password;
  std::string client_id;
  std::string topic_prefix = "tagvane";
  std::string discovery_prefix = "homeassistant";
  bool tls = false;
  std::string ca_file;
  // The receiver's name in topics and unique ids.
  std::string node;
};

// receiver_code: the 6-character receiver field; computer_name: used for the
// node when the receiver code is all fill characters.
MqttSettings ReadMqttSettings(IniCache& ini, std::string_view receiver_code,
                              std::string_view computer_name);

// Letters, digits and "_" kept; every other byte as "-XX".
std::string TopicId(std::string_view text);

// The topics of one receiver.
class MqttTopics {
 public:
  explicit MqttTopics(const MqttSettings& settings) : s_(settings) {}
  std::string Status() const;  // <prefix>/<node>/status
  std::string State(std::string_view tag_id) const;
  std::string Attributes(std::string_view tag_id) const;
  // <discovery>/<component>/<node>/<tag id>/config
  std::string Discovery(std::string_view component, std::string_view tag_id) const;
  std::string Birth() const;  // <discovery>/status
  // Unique id of one tag's entity ("tagvane_<node>_<tag id>_<suffix>").
  std::string UniqueId(std::string_view tag_id, std::string_view suffix) const;
  std::string ReceiverId() const;  // "tagvane_<node>"

 private:
  const MqttSettings& s_;
};

}  // namespace tagvane
