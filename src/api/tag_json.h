// One tag as the API shows it: the entry of GET /api/tags and the data of
// each "tag" event of GET /api/events. Texts cross one byte per code point
// (U+0000-U+00FF); "<", ">" and "&" are escaped as well, so the text can be
// dropped into a page's script unchanged.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tagvane {

class App;
class RFIDDevice;

// code, name, location, status ("ON"/"OFF"), figure, strength (last),
// average, lastchange (dd/MM/yyyy HH:mm:ss), lastchange_utc (ISO 8601),
// inuse, receiver ("local", or the other receiver's code field).
nlohmann::ordered_json TagJson(const RFIDDevice& device, std::string_view receiver_code);

// {"tags": [...]} of every device in the device table's order.
std::string TagsBody(App& app);

// JSON text, ASCII only, with <, > and & escaped.
std::string PageSafeJson(const nlohmann::ordered_json& value);

}  // namespace tagvane
