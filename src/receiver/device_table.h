// The tag devices of this process: device codes, creation of a device on its
// first report, the tag-name index, sub-address allocation, and loading of
// section "RFIDUnits" with enrolment in the off timer.
#pragma once

#include <string>
#include <string_view>

#include "core/shared_tables.h"
#include "receiver/rfid_device.h"

namespace tagvane {

class App;

// The context every device of this App is made with.
DeviceContext DeviceContextOf(App& app);
// A new device (initial values) bound to the App's clock and receiver code.
DevicePtr NewRFIDDevice(App& app);
// The placeholder values of UserFormat that come from the App.
UserFormatValues UserFormatValuesOf(const App& app);

// 16 characters: the prefix field and the tag field padded on the left with
// underscores (and cut to their widths), the receiver field between them.
std::string MakeDeviceCode(std::string_view prefix, std::string_view tag_id,
                           std::string_view receiver_code);
std::string MakeDeviceCode(App& app, std::string_view prefix, std::string_view tag_id);

// Makes sure a device exists for a 16-character code (other lengths are
// ignored). A new device is written to "RFIDUnits" of the INI cache at once
// and reaches the disk with the next flush (within a second); the tag table is rebuilt only when a tag or the device set changed
// since the last build. Returns the device, or nullptr.
DevicePtr AddRFIDUnit(App& app, const std::string& code, const std::string& location);

// Rebuilds TagTable from DeviceTable in key order; a tag used twice keeps its
// first device and is logged once per rebuild.
void BuildTagDictionary(App& app);

// The first of 01..FE that no device has as its uID ("01" when there are no
// devices, "FE" when all are taken).
std::string GetNextUID(const SharedTables& tables);
// Two upper-case hexadecimal digits (more for n above 255).
std::string ToHex(int n);

// Loads every "code=Properties" line of section from file.
void InitIniSection(App& app, std::string_view section, std::string_view file);
// Loads one device (keys that are not 16 characters are ignored).
void SetIniSectionValue(App& app, std::string_view section, const std::string& counter,
                        const std::string& key, const std::string& value);
// Enrols one of this receiver's own devices in the off timer, once.
void SetupDelayTimer(App& app, const DevicePtr& device);

}  // namespace tagvane
