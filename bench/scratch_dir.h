// A scratch folder below the system's temporary folder for one benchmark
// run, removed with everything in it when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace tagvane {

struct ScratchDir {
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tagvane-bench-XXXXXX").string();
    path = mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& Path() const { return path; }
  std::filesystem::path path;
};

}  // namespace tagvane
