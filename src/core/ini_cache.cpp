#include "core/ini_cache.h"

#include <fstream>
#include <stdexcept>
#include <system_error>

#include "core/failure.h"
#include "core/logger.h"
#include "core/paths.h"
#include "core/text.h"

namespace fs = std::filesystem;

namespace tagvane {
namespace {

std::string CacheName(std::string_view file) {
  std::string name = ToLower(file);
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  return name;
}

std::string_view OrDefault(std::string_view file) {
  return file.empty() ? kDefaultIniFile : file;
}

}  // namespace

IniCache::IniCache(fs::path config_dir, Logger& log)
    : config_dir_(std::move(config_dir)), log_(log) {
  Slot reserved;
  reserved.name = "xap_ini_file";
  reserved.stamp = fs::file_time_type::min();
  reserved.store = NewStore();
  slots_.push_back(std::move(reserved));
  index_.emplace(slots_[0].name, 0);
}

std::unique_ptr<IniTool> IniCache::NewStore() {
  auto store = std::make_unique<IniTool>();
  store->SetBadLineReporter([this](const std::string& line, const std::string& path) {
    if (!report_bad_lines_) return;
    log_.LogEvent("IniTool", " Equal sign not found on line " + line + ", file " + path);
  });
  IniTool* raw = store.get();
  store->SetBackupFailureReporter([this, raw](const std::exception& e) {
    ReportFailure(log_, "IniTool Save" + raw->Path().string(),
                  MakeFailure(e, SourceLine::Current()), false);
  });
  return store;
}

int IniCache::FindIniFile(std::string_view file, bool keep_contents) {
  file = OrDefault(file);
  const std::string name = CacheName(file);
  auto it = index_.find(name);
  std::filesystem::path path;
  if (it != index_.end() && it->second != 0) {
    path = slots_[it->second].store->Path();
  } else {
    const auto resolved = ResolveBelow(config_dir_, file);
    if (!resolved) {
      throw std::invalid_argument("file name outside the Config folder refused: " +
                                  std::string(file));
    }
    path = *resolved;
  }
  try {
    std::error_code ec;
    fs::file_time_type stamp = fs::last_write_time(path, ec);
    if (ec) {
      // Missing (or gone since): create it empty.
      fs::create_directories(path.parent_path(), ec);
      std::ofstream create(path, std::ios::binary);
      if (!create) throw std::runtime_error("cannot create the file");
      create.close();
      stamp = fs::last_write_time(path);
    }
    if (it != index_.end()) {
      Slot& s = slots_[it->second];
      if (stamp > s.stamp) {
        s.stamp = stamp;
        if (!keep_contents) s.store->Load(path);
      }
      return static_cast<int>(it->second);
    }
    Slot s;
    s.name = name;
    s.stamp = stamp;
    s.store = NewStore();
    s.store->Load(path);
    slots_.push_back(std::move(s));
    index_.emplace(name, slots_.size() - 1);
    return static_cast<int>(slots_.size() - 1);
  } catch (const std::exception& e) {
    const Failure failure = MakeFailure(e, SourceLine::Current());
    log_.LogEvent(kProductSource, "FindIniFile" + path.string(), &failure);
  }
  return -1;
}

std::string IniCache::GetIniSetting(std::string_view group, std::string_view key,
                                    std::string_view def, std::string_view file) {
  std::string result(def);
  Guard(log_, "GetIniSetting ", [&] {
    const int slot = FindIniFile(file, false);
    if (slot >= 0) result = slots_[static_cast<size_t>(slot)].store->Read(group, key, def);
  });
  return result;
}

void IniCache::SaveIniSetting(std::string_view group, std::string_view key,
                              std::string_view value, std::string_view file) {
  Guard(log_, "SaveIniSetting ", [&] {
    const int slot = FindIniFile(file, true);
    if (slot < 0) return;
    Slot& s = slots_[static_cast<size_t>(slot)];
    s.store->WriteKey(group, key, value);
    s.changed = true;
  });
}

std::string IniCache::GetINISection(std::string_view group, std::string_view file) {
  std::string result;
  Guard(log_, "GetINISection ", [&] {
    const int slot = FindIniFile(file, false);
    if (slot < 0) return;
    const IniTool& store = *slots_[static_cast<size_t>(slot)].store;
    const auto keys = store.Keys(group);
    if (keys.size() == 1 && keys[0].empty()) return;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (i) result.push_back('\0');
      result += keys[i];
      result += '=';
      result += store.Read(group, keys[i], "");
    }
  });
  return result;
}

void IniCache::RemoveIniSetting(std::string_view group, std::string_view key,
                                std::string_view file) {
  Guard(log_, "RemoveIniSetting ", [&] {
    const int slot = FindIniFile(file, false);
    if (slot < 0) return;
    Slot& s = slots_[static_cast<size_t>(slot)];
    s.store->RemoveKey(group, key);
    s.changed = true;
  });
}

void IniCache::ClearINISection(std::string_view group, std::string_view file) {
  Guard(log_, "ClearINISection ", [&] {
    const int slot = FindIniFile(file, false);
    if (slot < 0) return;
    Slot& s = slots_[static_cast<size_t>(slot)];
    s.store->RemoveSection(group);
    s.changed = true;
  });
}

void IniCache::FlushIniCache() {
  for (auto& s : slots_) {
    if (!s.changed) continue;
    // A store that could not be written keeps its flag, so the next flush
    // tries again instead of dropping the changes.
    if (Guard(log_, "IniTool Save" + s.store->Path().string(), [&] { s.store->Save(); })) {
      s.changed = false;
    }
  }
}

bool IniCache::HasUnsavedChanges() const {
  for (const auto& s : slots_) {
    if (s.changed) return true;
  }
  return false;
}

IniTool* IniCache::Store(std::string_view file) {
  IniTool* store = nullptr;
  Guard(log_, "FindIniFile", [&] {
    const int slot = FindIniFile(file, false);
    if (slot >= 0) store = slots_[static_cast<size_t>(slot)].store.get();
  });
  return store;
}

}  // namespace tagvane
