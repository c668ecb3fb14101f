// The INI sections behind the shared tables ("Received", "Devices",
// "Device Messages", "RFIDUnits") and the shut-down sequence that writes
// them back.
#include <memory>

#include "core/app.h"
#include "core/dates.h"
#include "core/failure.h"
#include "core/text.h"
#include "receiver/rfid_device.h"
#include "scripting/device_class.h"

namespace tagvane {
namespace {

// The name=value lines of a section, quotes removed; lines without "=" or
// with an empty name are left out, and text after a second "=" is dropped.
std::vector<std::pair<std::string, std::string>> SectionPairs(IniCache& ini,
                                                              std::string_view section) {
  std::vector<std::pair<std::string, std::string>> pairs;
  const std::string text = RemoveQuotes(ini.GetINISection(section, kSettingsFile));
  for (auto& line : Split(text, '\0')) {
    if (line.empty()) continue;
    auto pieces = Split(line, '=');
    if (pieces.size() < 2 || pieces[0].empty()) continue;
    pairs.emplace_back(std::move(pieces[0]), std::move(pieces[1]));
  }
  return pairs;
}

}  // namespace

void App::InitFilterDictionary() {
  Guard(log_, "InitFilterDictionary", [&] {
    tables_.FilterTable.Clear();
    for (auto& [name, value] : SectionPairs(*ini_, "Received")) {
      tables_.FilterTable.Add(std::move(name), std::move(value));
    }
  });
}

void App::InitDeviceDictionary() {
  Guard(log_, "InitDeviceDictionary", [&] {
    tables_.ScriptDeviceTable.Clear();
    for (const auto& [name, value] : SectionPairs(*ini_, "Devices")) {
      if (tables_.ScriptDeviceTable.Contains(name)) continue;
      auto device = std::make_shared<DeviceClass>();
      device->Tag = name;
      const auto parts = Split(value, ';');
      device->LastChange = ParseDate(parts[0]).value_or(MakeDateTime(2000, 1, 1));
      for (size_t k = 1; k < parts.size(); ++k) {
        const std::string key = ToLower(parts[k]);
        // Stored under "name.key"; in memory under the key itself, the
        // collection key a capture gives it, so scripts find an item by the
        // same name before and after a restart.
        const std::string stored_key = ToLower(name) + "." + key;
        device->MessageKeyList.Add(key, key);
        device->MessageList.Add(
            key, ini_->GetIniSetting("Device Messages", stored_key, "", kSettingsFile));
      }
      tables_.ScriptDeviceTable.Add(name, std::move(device));
    }
    device_dictionary_loaded_ = true;
  });
}

void App::SaveDeviceDictionary() {
  Guard(log_, "SaveDeviceDictionary", [&] {
    // Sections never loaded (start-up ended before) are left as they are.
    if (!device_dictionary_loaded_) return;
    ini_->ClearINISection("Devices", kSettingsFile);
    ini_->ClearINISection("Device Messages", kSettingsFile);
    if (tables_.ScriptDeviceTable.empty()) return;
    for (const auto& [name, device] : tables_.ScriptDeviceTable) {
      std::vector<std::string> fields{FormatGeneralDate(device->LastChange)};
      for (const auto& [collection_key, key] : device->MessageKeyList) fields.push_back(key);
      ini_->SaveIniSetting("Devices", name, Join(fields, ";"), kSettingsFile);
      size_t i = 1;
      for (const auto& [collection_key, message] : device->MessageList) {
        if (i >= fields.size()) break;
        ini_->SaveIniSetting("Device Messages", name + "." + fields[i], message, kSettingsFile);
        ++i;
      }
    }
    ini_->FlushIniCache();
  });
}

void App::SaveLastChange() {
  Guard(log_, "SaveLastChange", [&] {
    if (tables_.DeviceTable.empty()) return;
    for (const auto& [code, device] : tables_.DeviceTable) {
      ini_->SaveIniSetting("RFIDUnits", code, device->Properties(), kSettingsFile);
    }
  });
}

void App::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  flush_timer_.SetEnabled(false);
  if (ini_) {
    SaveLastChange();
    SaveDeviceDictionary();
    Guard(log_, "Unload", [&] { ini_->FlushIniCache(); });
    saved_at_shutdown_ = !ini_->HasUnsavedChanges();
  }
  Guard(log_, "Unload", [&] { mqtt_->Close(); });
  Guard(log_, "Unload", [&] { ui_->RemoveIndicator(); });
  state_.LinkClosing = true;
  Guard(log_, "Unload", [&] { ui_->CloseWindows(); });
  Guard(log_, "Unload", [&] { receiver_->Close(); });
  Guard(log_, "Unload", [&] { database_->Close(); });
  Guard(log_, "Unload", [&] { xap_->Close(); });
  Guard(log_, "Unload", [&] { http_->Close(); });
  off_timer_.SetEnabled(false);
  periodic_timer_.SetEnabled(false);
  tables_.BscSendQueue.clear();
  tables_.OffTimerList.clear();
  tables_.TagTable.Clear();
  tables_.DeviceTable.Clear();
  Guard(log_, "Unload", [&] { scripts_->Release(); });
}

}  // namespace tagvane
