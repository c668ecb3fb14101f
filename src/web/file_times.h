// The modification time of a file as a local date and time, for the
// Last-Modified header of file answers.
#pragma once

#include <filesystem>

#include "core/clock.h"

namespace tagvane {

// The file's last modification in local time; the epoch when unknown.
DateTime FileModified(const std::filesystem::path& path);

}  // namespace tagvane
