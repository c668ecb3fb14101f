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
  // What tells one version of the file from the next: its inode and its
  // modification and change times to the nanosecond.
  uint64_t inode = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;
  bool SameVersion(const FileFacts& o) const {
    return found && o.found && size == o.size && inode == o.inode &&
           modified_ns == o.modified_ns && changed_ns == o.changed_ns;
  }
};
FileFacts StatFile(const std::filesystem::path& path);

}  // namespace tagvane
