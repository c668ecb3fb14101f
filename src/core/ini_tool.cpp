#include "core/ini_tool.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

#include "core/paths.h"
#include "core/text.h"

namespace fs = std::filesystem;

namespace tagvane {

namespace {

bool IsControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

bool HasControl(std::string_view s) { return std::any_of(s.begin(), s.end(), IsControl); }

}  // namespace

const char* IniTool::Unstorable(std::string_view section, std::string_view key,
                                std::string_view value) {
  if (HasControl(section)) return "a section name holds a control character";
  if (HasControl(key)) return "a key name holds a control character";
  if (key.find('=') != std::string_view::npos) return "a key name holds \"=\"";
  if (!key.empty() && (key.front() == ';' || key.front() == '[' || key.front() == ' ')) {
    return "a key name starts with \";\", \"[\" or a space";
  }
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
    return "a value holds CR, LF or NUL";
  }
  return nullptr;
}

std::string IniTool::Composite(std::string_view section, std::string_view key) {
  std::string out;
  out.reserve(section.size() + 1 + key.size());
  out.append(section);
  out.push_back(kKeySeparator);
  out.append(key);
  return out;
}

void IniTool::Load(const fs::path& path) {
  entries_.Clear();
  path_ = path;
  std::error_code ec;
  if (!fs::exists(path, ec)) return;
  if (auto text = ReadWholeFile(path)) Parse(*text);
}

void IniTool::Parse(std::string_view text) {
  std::string section;
  bool section_ok = true;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view raw = text.substr(start, end - start);
    start = end + 1;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    const std::string_view line = TrimSpaces(raw);
    if (line.empty() || line.front() == ';') {
      if (end == text.size()) break;
      continue;
    }
    const bool header = line.front() == '[' && line.back() == ']' && line.size() >= 2;
    const size_t eq = header ? std::string_view::npos : line.find('=');
    // A name holding the separator of composite keys, or a NUL anywhere
    // (it would split the section text GetINISection builds), could not be
    // saved and read back the same.
    const bool bad_name =
        line.substr(0, header ? line.size() : eq).find(kKeySeparator) != std::string_view::npos ||
        line.find('\0') != std::string_view::npos;
    if (header) section_ok = !bad_name;
    if (bad_name || !section_ok) {
      if (bad_line_) bad_line_(std::string(line), path_.string());
    } else if (header) {
      section.assign(line.substr(1, line.size() - 2));
      entries_.Add(section, section);
    } else {
      if (eq == std::string_view::npos) {
        if (bad_line_) bad_line_(std::string(line), path_.string());
      } else {
        entries_.Add(Composite(section, line.substr(0, eq)), std::string(line.substr(eq + 1)));
      }
    }
    if (end == text.size()) break;
  }
}

bool IniTool::HasKey(std::string_view section, std::string_view key) const {
  return entries_.Contains(Composite(section, key));
}

std::string IniTool::Read(std::string_view section, std::string_view key,
                          std::string_view def) const {
  const std::string* value = entries_.Find(Composite(section, key));
  if (!value || value->empty()) return std::string(def);
  return *value;
}

void IniTool::WriteKey(std::string_view section, std::string_view key, std::string_view value) {
  if (const char* why = Unstorable(section, key, value)) throw std::invalid_argument(why);
  // Lines are stripped when read, so trailing spaces are dropped here and
  // the store holds what a reload would give.
  const size_t end = value.find_last_not_of(' ');
  value = end == std::string_view::npos ? std::string_view() : value.substr(0, end + 1);
  if (!entries_.Contains(section)) entries_.Add(std::string(section), std::string(section));
  entries_.Set(Composite(section, key), std::string(value));
}

void IniTool::RemoveKey(std::string_view section, std::string_view key) {
  entries_.Remove(Composite(section, key));
}

void IniTool::RemoveSection(std::string_view section) {
  for (const auto& key : Keys(section)) {
    if (!key.empty()) RemoveKey(section, key);
  }
}

std::vector<std::string> IniTool::Keys(std::string_view section) const {
  std::vector<std::string> keys;
  const std::string prefix = Composite(section, "");
  for (const auto& [map_key, value] : entries_) {
    if (!StartsWithNoCase(map_key, prefix)) continue;
    std::string name = map_key.substr(map_key.find(kKeySeparator) + 1);
    if (TrimSpaces(name).empty()) continue;
    keys.push_back(std::move(name));
  }
  if (keys.empty()) keys.emplace_back();
  return keys;
}

std::string IniTool::Render(size_t* skipped) const {
  struct Row {
    std::string_view section;
    std::string_view key;
    const std::string* value;
  };
  std::vector<Row> rows;
  rows.reserve(entries_.size());
  size_t too_long = 0;
  for (const auto& [map_key, value] : entries_) {
    const size_t sep = map_key.find(kKeySeparator);
    // Section names never hold the separator, so every entry with one is a
    // key entry (even one whose value happens to equal its map key).
    if (sep == std::string::npos) continue;
    Row row{std::string_view(map_key).substr(0, sep), std::string_view(map_key).substr(sep + 1),
            &value};
    if (row.section.size() > 100 || row.key.size() > 255) {
      ++too_long;
      continue;
    }
    rows.push_back(row);
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    const int s = CompareNoCase(a.section, b.section);
    if (s != 0) return s < 0;
    return CompareNoCase(a.key, b.key) < 0;
  });
  std::string out;
  size_t total = 0;
  for (const auto& r : rows) total += r.section.size() + r.key.size() + r.value->size() + 8;
  out.reserve(total);
  std::string current;
  for (const auto& r : rows) {
    if (!EqualsNoCase(r.section, current)) {
      current = ToUpper(r.section);
      out += '[';
      out += current;
      out += "]\r\n";
    }
    out += r.key;
    out += '=';
    out += *r.value;
    out += "\r\n";
  }
  if (skipped) *skipped = too_long;
  return out;
}

void IniTool::Save() const {
  size_t too_long = 0;
  const std::string text = Render(&too_long);
  std::error_code ec;
  if (fs::exists(path_, ec)) {
    // The backup is a convenience; the atomic write below is what keeps the
    // file whole, so a backup that cannot be written must not stop it.
    try {
      CopyFileAtomically(path_, path_.string() + "_bck");
    } catch (const std::exception& e) {
      if (backup_failure_) backup_failure_(e);
    }
  }
  WriteFileAtomically(path_, text);
  if (too_long) {
    throw std::length_error(std::to_string(too_long) +
                            " key(s) with a section name over 100 or a key name over 255 "
                            "characters not saved");
  }
}

}  // namespace tagvane
