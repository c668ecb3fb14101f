#include "api/tag_json.h"

#include <string>

#include "api/api_members.h"
#include "core/app.h"
#include "core/dates.h"
#include "core/numbers.h"
#include "core/text.h"
#include "receiver/rfid_device.h"

namespace tagvane {
namespace {

// A single as the number its shortest text shows (87.5, not 87.50000001).
double SingleNumber(float f) {
  try {
    return std::stod(SingleText(f));
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

nlohmann::ordered_json TagJson(const RFIDDevice& d, std::string_view receiver_code) {
  const std::string_view code = d.DC();
  const std::string_view field = code.size() >= 12 ? code.substr(6, 6) : std::string_view();
  std::string_view receiver = field;
  while (!receiver.empty() && receiver.front() == '_') receiver.remove_prefix(1);
  return {{"code", JsonText(code)},
          {"name", JsonText(d.Tag())},
          {"location", JsonText(d.Location())},
          {"status", d.DeviceStatus() == kStatusOn ? "ON" : "OFF"},
          {"figure", SingleNumber(d.FigureOfMerit())},
          {"strength", d.Strength()},
          {"average", SingleNumber(d.AverageStrength())},
          {"lastchange", FormatGeneralDate(d.DeviceLastChange())},
          {"lastchange_utc", FormatIsoUtc(d.DeviceLastChange())},
          {"inuse", d.InUse()},
          {"receiver", EqualsNoCase(field, receiver_code) ? nlohmann::ordered_json("local")
                                                          : JsonText(receiver)}};
}

std::string TagsBody(App& app) {
  auto tags = nlohmann::ordered_json::array();
  const std::string& receiver = app.State().ReceiverCode;
  for (const auto& [code, device] : app.Tables().DeviceTable) {
    if (device && !device->Remove()) tags.push_back(TagJson(*device, receiver));
  }
  return PageSafeJson({{"tags", std::move(tags)}});
}

std::string PageSafeJson(const nlohmann::ordered_json& value) {
  const std::string text = value.dump(-1, ' ', true);
  std::string out;
  out.reserve(text.size() + 16);
  // Outside strings JSON has no <, > or &, so every one is inside a string.
  for (const char c : text) {
    switch (c) {
      case '<': out += "\\u003c"; break;
      case '>': out += "\\u003e"; break;
      case '&': out += "\\u0026"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace tagvane
