// The bytes of the small files served below the HTML root, kept between
// requests while each file stays the version that was read (same inode,
// size, modification and change time), so a picture asked for again costs
// no open and read. Bounded in what it holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>

#include "web/file_times.h"

namespace tagvane {

class FileCache {
 public:
  static constexpr uint64_t kMaxFile = 64 * 1024;
  static constexpr size_t kMaxBytes = 4 * 1024 * 1024;

  // The whole of file, whose stat is facts, when it is at most kMaxFile
  // bytes: kept from an earlier request while unchanged, else read now.
  // Nothing for a bigger file or one that cannot be read whole.
  std::optional<std::string> Small(const std::filesystem::path& file, const FileFacts& facts);

 private:
  struct Entry {
    FileFacts facts;
    std::string bytes;
  };
  std::unordered_map<std::string, Entry> entries_;
  size_t bytes_ = 0;
};

}  // namespace tagvane
