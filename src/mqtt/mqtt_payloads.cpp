#include "mqtt/mqtt_payloads.h"

#include <fmt/format.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "receiver/rfid_device.h"

namespace tagvane {
namespace {

using nlohmann::json;

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

double Rounded(float v, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(static_cast<double>(v) * scale) / scale;
}

std::string DisplayName(const RFIDDevice& device) {
  return device.Tag().empty() ? "Tag " + TagIdOf(device) : device.Tag();
}

}  // namespace

std::string_view StateText(int status) {
  if (status == kStatusOn) return kPayloadHome;
  if (status == kStatusOff) return kPayloadNotHome;
  return {};
}

std::string TagIdOf(const RFIDDevice& device) {
  const std::string& code = device.DC();
  return code.size() <= 4 ? code : code.substr(code.size() - 4);
}

std::string IsoLocalTime(DateTime t) {
  const auto day = std::chrono::floor<std::chrono::days>(t);
  const std::chrono::year_month_day ymd{day};
  const std::chrono::hh_mm_ss hms{std::chrono::floor<std::chrono::seconds>(t - day)};
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", static_cast<int>(ymd.year()),
                     static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                     hms.hours().count(), hms.minutes().count(), hms.seconds().count());
}

std::string AttributesJson(const RFIDDevice& device) {
  json j;
  j["figure_of_merit"] = Rounded(device.FigureOfMerit(), 1);
  j["strength"] = device.Strength();
  j["average_strength"] = Rounded(device.AverageStrength(), 1);
  j["location"] = device.Location();
  j["tag_name"] = device.Tag();
  j["tag_id"] = TagIdOf(device);
  j["status"] = StatusText(device.DeviceStatus());
  j["last_change"] = IsoLocalTime(device.DeviceLastChange());
  return Dump(j);
}

std::string DiscoveryJson(const MqttTopics& topics, const RFIDDevice& device,
                          std::string_view component) {
  const std::string id = TagIdOf(device);
  const bool tracker = component == "device_tracker";
  json j;
  // The entity takes the device's name; the sensor adds its class's name.
  j["name"] = tracker ? json(nullptr) : json("Presence");
  j["unique_id"] = topics.UniqueId(id, tracker ? "tracker" : "presence");
  j["state_topic"] = topics.State(id);
  j["json_attributes_topic"] = topics.Attributes(id);
  j["availability_topic"] = topics.Status();
  j["payload_available"] = "online";
  j["payload_not_available"] = "offline";
  if (tracker) {
    j["payload_home"] = kPayloadHome;
    j["payload_not_home"] = kPayloadNotHome;
    j["source_type"] = "router";
  } else {
    j["device_class"] = "presence";
    j["payload_on"] = kPayloadHome;
    j["payload_off"] = kPayloadNotHome;
  }
  json dev;
  dev["identifiers"] = json::array({topics.UniqueId(id, "tag")});
  dev["name"] = DisplayName(device);
  dev["model"] = "Active RFID tag " + id;
  dev["manufacturer"] = "Tagvane";
  if (!device.Location().empty()) dev["suggested_area"] = device.Location();
  j["device"] = std::move(dev);
  return Dump(j);
}

}  // namespace tagvane
