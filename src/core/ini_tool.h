// One INI file in memory. Entries of two kinds share one case-insensitive,
// insertion-ordered map: a section entry (key and value are both the section
// name) and a key entry (map key = section + U+0003 + key name).
#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ci_map.h"

namespace tagvane {

inline constexpr char kKeySeparator = '\x03';

class IniTool {
 public:
  // Called for each non-empty, non-comment, non-header line without "=":
  // (stripped line, path).
  using BadLineReporter = std::function<void(const std::string&, const std::string&)>;

  // Called when the backup copy before a save fails; the save goes on.
  using BackupFailureReporter = std::function<void(const std::exception&)>;

  void SetBadLineReporter(BadLineReporter reporter) { bad_line_ = std::move(reporter); }
  void SetBackupFailureReporter(BackupFailureReporter reporter) {
    backup_failure_ = std::move(reporter);
  }

  // Empties the store, remembers path and parses the file if it exists.
  void Load(const std::filesystem::path& path);
  // Parses text as the contents of a file (used by Load and the fuzzer).
  void Parse(std::string_view text);

  // True when the section holds the key, even with an empty value.
  bool HasKey(std::string_view section, std::string_view key) const;
  // The value, or def when the key is absent or its value is empty.
  std::string Read(std::string_view section, std::string_view key, std::string_view def) const;
  // Throws std::invalid_argument, storing nothing, for what could not be
  // saved and read back as written (see Unstorable). Trailing spaces of the
  // value are dropped (a reload would drop them).
  void WriteKey(std::string_view section, std::string_view key, std::string_view value);
  // Why a section, key or value cannot be saved and read back as written,
  // or nullptr when it can. Refused: control characters in a section or
  // key name; a key with "=", or starting with ";", "[" or a space; CR, LF
  // or NUL in a value.
  static const char* Unstorable(std::string_view section, std::string_view key,
                                std::string_view value);
  void RemoveKey(std::string_view section, std::string_view key);
  // Removes every key listed by Keys; the section entry stays.
  void RemoveSection(std::string_view section);
  // Key names of the section in insertion order, without names that are
  // empty after trimming spaces; a list of one empty name when there are none.
  std::vector<std::string> Keys(std::string_view section) const;

  // The text Save writes: sections sorted and upper-cased, keys sorted.
  // Rows whose section name is over 100 or key name over 255 characters
  // cannot be saved; they are left out and counted in *skipped.
  std::string Render(size_t* skipped = nullptr) const;
  // Writes the store back to its path: the old file is copied to path +
  // "_bck" (atomically; a failed copy is reported and the save goes on),
  // the new text is written beside it and renamed into place. Throws on
  // failure, leaving the old file whole; also throws (after writing the
  // rest) when rows had to be left out.
  void Save() const;

  const std::filesystem::path& Path() const { return path_; }
  size_t EntryCount() const { return entries_.size(); }

 private:
  static std::string Composite(std::string_view section, std::string_view key);

  CaseInsensitiveMap<std::string> entries_;
  std::filesystem::path path_;
  BadLineReporter bad_line_;
  BackupFailureReporter backup_failure_;
};

}  // namespace tagvane
