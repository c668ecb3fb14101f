// The process-wide INI cache: one IniTool per file, in slots numbered from 1
// (slot 0 is reserved), and the five front operations every part and every
// script uses. Writes stay in memory until FlushIniCache.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/ini_tool.h"

namespace tagvane {

class Logger;

inline constexpr std::string_view kDefaultIniFile = "settings.ini";
inline constexpr std::string_view kSettingsFile = "Tagvane.ini";

class IniCache {
 public:
  IniCache(std::filesystem::path config_dir, Logger& log);

  // Once on (after the script API object exists), lines without "=" are
  // reported through the event log; before that they are ignored silently.
  void SetReportBadLines(bool on) { report_bad_lines_ = on; }

  // Finds or creates the slot of file (relative to the Config folder, any
  // letter case). Read-type lookups (keep_contents false) reload a store
  // whose file changed on disk. Returns -1 when the lookup failed. Throws
  // std::invalid_argument for a name that would leave the Config folder.
  int FindIniFile(std::string_view file, bool keep_contents);

  std::string GetIniSetting(std::string_view group, std::string_view key,
                            std::string_view def, std::string_view file = "");
  void SaveIniSetting(std::string_view group, std::string_view key, std::string_view value,
                      std::string_view file = "");
  // "key=value" items of the section joined by U+0000; "" for no keys.
  std::string GetINISection(std::string_view group, std::string_view file = "");
  void ClearINISection(std::string_view group, std::string_view file);
  // Removes one key (nothing happens when it is absent).
  void RemoveIniSetting(std::string_view group, std::string_view key, std::string_view file);
  void FlushIniCache();
  // True while a store holds changes a flush could not write (or none was
  // tried for yet).
  bool HasUnsavedChanges() const;

  // Inspection for the status pages and tests.
  size_t SlotCount() const { return slots_.size(); }
  const std::string& SlotName(size_t i) const { return slots_[i].name; }
  bool SlotChanged(size_t i) const { return slots_[i].changed; }
  // The store of a file, looked up like a read; nullptr when that fails.
  IniTool* Store(std::string_view file);
  const std::filesystem::path& ConfigDir() const { return config_dir_; }

 private:
  struct Slot {
    std::string name;
    std::filesystem::file_time_type stamp;
    std::unique_ptr<IniTool> store;
    bool changed = false;
  };

  std::unique_ptr<IniTool> NewStore();

  std::filesystem::path config_dir_;
  Logger& log_;
  bool report_bad_lines_ = false;
  std::vector<Slot> slots_;
  std::unordered_map<std::string, size_t> index_;
};

}  // namespace tagvane
