// The JSON payloads published for a tag: its attributes and the two Home
// Assistant discovery configurations (device tracker, presence sensor).
// Texts from the user (names, locations) go in as JSON strings; bytes that
// are not valid UTF-8 are replaced by U+FFFD, so the payload is always valid.
#pragma once

#include <string>

#include "core/clock.h"
#include "mqtt/mqtt_settings.h"

namespace tagvane {

class RFIDDevice;

inline constexpr std::string_view kPayloadHome = "home";
inline constexpr std::string_view kPayloadNotHome = "not_home";

// "home" for status On (2), "not_home" for Off (3), "" before the first decision.
std::string_view StateText(int status);

// The tag identifier (last 4 characters of the device code).
std::string TagIdOf(const RFIDDevice& device);

std::string AttributesJson(const RFIDDevice& device);
// component: "device_tracker" or "binary_sensor".
std::string DiscoveryJson(const MqttTopics& topics, const RFIDDevice& device,
                          std::string_view component);

// ISO 8601 local time without zone, "2026-12-06T22:30:00".
std::string IsoLocalTime(DateTime t);

}  // namespace tagvane
