// The modification time of a file as a local date and time, for the
// Last-Modified header of file answers.
#pragma once

#include <cstdint>
#include <filesystem>

#include "core/clock.h"

namespace tagvane {

// The file's last modification in local time; the epoch when unknown.
DateTime FileModified(const std::filesystem::path& path);

// Size and modification of a file from one look at it.
struct FileFacts {
  bool found = false;
  uint64_t size = 0;
  DateTime modified{};
};
FileFacts StatFile(const std::filesystem::path& path);

}  // namespace tagvane
