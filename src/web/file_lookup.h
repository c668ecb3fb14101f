// Where a page path lies below the HTML root, remembered between requests.
// A remembered name is used only while every folder from the root down to
// the file still has the modification time it had when the name was
// resolved, so a new, renamed or removed file is found at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tagvane {

class FileLookup {
 public:
  static constexpr size_t kMaxEntries = 1024;

  // Starts a new batch of requests: names are checked against the folders
  // again at their first use in it (one batch is served in one go).
  void NewBatch() { ++batch_; }
  // The file a page path names below root (see Response::FindBelowRoot).
  std::optional<std::filesystem::path> Find(const std::filesystem::path& root,
                                            std::string_view page_path);

 private:
  struct Entry {
    std::filesystem::path file;
    std::vector<std::pair<std::filesystem::path, std::filesystem::file_time_type>> folders;
    uint64_t checked = 0;  // the batch it was last checked in
  };
  bool StillValid(const Entry& entry) const;

  std::filesystem::path root_;
  std::filesystem::path real_root_;
  std::unordered_map<std::string, Entry> entries_;
  uint64_t batch_ = 1;
};

}  // namespace tagvane
