// Feeds arbitrary bytes to the Authorization header parser, the topic
// identifier and the attribute JSON of a device named with them.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/app.h"
#include "mqtt/mqtt_payloads.h"
#include "receiver/device_table.h"
#include "receiver/rfid_device.h"
#include "web/basic_auth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t total = 0;
  if (auto creds = tagvane::ParseBasicAuthorization(input)) {
    total += creds->user.size() + creds->password.size();
  }
  total += tagvane::ParseBasicAuthorization("Basic " + std::string(input)).has_value();
  total += tagvane::TopicId(input).size() + tagvane::ValidUserName(input);
  static tagvane::App app(tagvane::AppOptions{});
  auto device = tagvane::NewRFIDDevice(app);
  device->SetDC("____________1A2B");
  device->SetTag(std::string(input));
  device->SetLocation(std::string(input.substr(0, size / 2)));
  total += tagvane::AttributesJson(*device).size();
  return total == SIZE_MAX ? 1 : 0;
}
