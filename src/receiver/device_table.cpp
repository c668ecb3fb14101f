#include "receiver/device_table.h"

#include <algorithm>
#include <cstdio>
#include <vector>
#include <unordered_set>

#include "core/app.h"
#include "core/failure.h"
#include "core/numbers.h"
#include "core/text.h"
#include "receiver/unaccepted_tags.h"

namespace tagvane {

DeviceContext DeviceContextOf(App& app) {
  return DeviceContext{&app.GetClock(), &app.State().ReceiverCode, &app.Tables().TagChanges};
}

DevicePtr NewRFIDDevice(App& app) { return std::make_shared<RFIDDevice>(DeviceContextOf(app)); }

UserFormatValues UserFormatValuesOf(const App& app) {
  auto& a = const_cast<App&>(app);
  const Settings& s = app.GetSettings();
  return UserFormatValues{a.State().ReceiverCode, s.RFIDPort,    s.SerialIP, app.ComputerName(),
                          app.InterfaceAddress(), app.AppPath(), s.UID};
}

std::string MakeDeviceCode(std::string_view prefix, std::string_view tag_id,
                           std::string_view receiver_code) {
  std::string code;
  code.reserve(16);
  code.append(Right(std::string(kCodeFill) + std::string(prefix), 6));
  code.append(receiver_code);
  code.append(Right(std::string("____") + std::string(tag_id), 4));
  return code;
}

std::string MakeDeviceCode(App& app, std::string_view prefix, std::string_view tag_id) {
  return MakeDeviceCode(prefix, tag_id, app.State().ReceiverCode);
}

DevicePtr AddRFIDUnit(App& app, const std::string& code, const std::string& location) {
  DevicePtr result;
  Guard(app.Log(), "AddRFIDUnit", [&] {
    SharedTables& tables = app.Tables();
    const bool debug = app.GetSettings().DebugLog;
    if (debug) app.Log().LogEvent(kDebugSource, "AddRFIDUnit at " + code);
    if (code.size() != 16) return;
    bool added = false;
    if (DevicePtr* found = tables.DeviceTable.Find(code)) {
      result = *found;
      if (debug) {
        app.Log().LogEvent(kDebugSource,
                           "AddRFIDUnit Existing Device at " + code + " on DC " + result->DC());
      }
    } else {
      auto device = NewRFIDDevice(app);
      device->SetDC(code);
      device->SetVersion("RFID");
      device->SetInUse(false);
      device->SetLocation(location);
      device->SetEventNotification(false);
      device->SetTag("");
      device->SetDeviceLastChange(app.GetClock().Now());
      device->SetuID("");
      device->SetOffTime(10);
      app.Ini().SaveIniSetting("RFIDUnits", code, device->Properties(), kSettingsFile);
      tables.DeviceTable.Add(code, device);
      result = device;
      added = true;
      if (debug) app.Log().LogEvent(kDebugSource, "AddRFIDUnit New Device at " + code);
      app.GetHooks().UpdateReadingTables();
    }
    // Receiver noise must not grow the table without end.
    NoteSeen(app, result);
    if (added) BoundUnacceptedTags(app);
    // A device without a tag cannot change the tag table, so only a moved
    // tag counter calls for a rebuild.
    if (tables.TagTableBuiltAt != tables.TagChanges) BuildTagDictionary(app);
    // Written to the cache at once; to disk within a second, so a stream of
    // new identifiers costs one flush a second, not one per tag.
    if (added) app.FlushIniCacheSoon();
  });
  return result;
}

void BuildTagDictionary(App& app) {
  Guard(app.Log(), "BuildTagDictionary", [&] {
    SharedTables& tables = app.Tables();
    tables.TagTable.Clear();
    for (const auto& [code, device] : tables.DeviceTable) {
      const std::string& tag = device->Tag();
      if (tag.empty()) continue;
      if (!tables.TagTable.Add(tag, device)) {
        app.Log().LogEvent(kProductSource,
                           "BuildTagDictionary Tag " + tag + " is used more than once");
      }
    }
    tables.TagTableBuiltAt = tables.TagChanges;
  });
}

std::string ToHex(int n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02X", static_cast<unsigned>(n));
  return buf;
}

std::string GetNextUID(const SharedTables& tables) {
  if (tables.DeviceTable.empty()) return "01";
  std::unordered_set<std::string> taken;
  for (const auto& [code, device] : tables.DeviceTable) taken.insert(device->uID());
  for (int n = 1; n <= 254; ++n) {
    std::string candidate = ToHex(n);
    if (!taken.contains(candidate)) return candidate;
  }
  return "FE";
}

void InitIniSection(App& app, std::string_view section, std::string_view file) {
  Guard(app.Log(), "InitIniSection", [&] {
    const std::string text =
        ReplaceAll(RemoveQuotes(app.Ini().GetINISection(section, file)), "\\[", "[");
    if (text.empty()) return;
    int counter = 0;
    for (const auto& line : Split(text, '\0')) {
      const size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string key(TrimSpaces(std::string_view(line).substr(0, eq)));
      const std::string value = line.substr(eq + 1);
      if (value.empty()) continue;
      SetIniSectionValue(app, section, std::to_string(counter++), key, value);
    }
    if (!EqualsNoCase(section, "RFIDUnits")) return;
    // The loaded records nobody accepted, in the order of their last change
    // (the nearest to "seen" a stored record has), then the bound.
    std::vector<DevicePtr> loaded;
    for (const auto& [code, device] : app.Tables().DeviceTable) {
      if (device && Unaccepted(*device)) loaded.push_back(device);
    }
    std::stable_sort(loaded.begin(), loaded.end(), [](const DevicePtr& a, const DevicePtr& b) {
      return a->DeviceLastChange() < b->DeviceLastChange();
    });
    for (const DevicePtr& device : loaded) NoteSeen(app, device);
    BoundUnacceptedTags(app);
  });
}

void SetIniSectionValue(App& app, std::string_view /*section*/, const std::string& /*counter*/,
                        const std::string& key, const std::string& value) {
  Guard(app.Log(), "SetIniSectionValue", [&] {
    if (key.size() != 16) return;
    SharedTables& tables = app.Tables();
    DevicePtr device;
    if (DevicePtr* found = tables.DeviceTable.Find(key)) {
      device = *found;
    } else {
      device = NewRFIDDevice(app);
      tables.DeviceTable.Add(key, device);
    }
    device->SetProperties(value);
    SetupDelayTimer(app, device);
    device->SetDC(key);
    device->SetVersion("RFID");
    if (!device->Tag().empty()) tables.TagTable.Set(device->Tag(), device);
    tables.DeviceTable.Remove(key);
    tables.DeviceTable.Add(key, device);
    ++tables.TagChanges;
  });
}

void SetupDelayTimer(App& app, const DevicePtr& device) {
  Guard(app.Log(), "SetupDelayTimer", [&] {
    SharedTables& tables = app.Tables();
    const std::string& code = device->DC();
    if (code.size() < 12) return;
    if (std::string_view(code).substr(0, 6) != kCodeFill) return;
    if (device->TimerIndex() >= 1) return;
    if (!EqualsNoCase(std::string_view(code).substr(6, 6), app.State().ReceiverCode)) return;
    if (tables.OffTimerCount == INT16_MAX) throw OverflowError();
    ++tables.OffTimerCount;
    device->SetTimerIndex(tables.OffTimerCount);
    tables.OffTimerList.push_back(device);
  });
}

}  // namespace tagvane
