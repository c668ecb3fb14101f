#include "web/file_lookup.h"

#include "web/response.h"

namespace tagvane {

namespace fs = std::filesystem;

bool FileLookup::StillValid(const Entry& entry) const {
  for (const auto& [folder, stamp] : entry.folders) {
    std::error_code ec;
    if (fs::last_write_time(folder, ec) != stamp || ec) return false;
  }
  return true;
}

std::optional<fs::path> FileLookup::Find(const fs::path& root, std::string_view page_path) {
  if (root != root_) {
    entries_.clear();
    root_ = root;
    std::error_code ec;
    real_root_ = fs::canonical(root, ec);
    if (ec) real_root_.clear();
  }
  const std::string key(page_path);
  if (auto it = entries_.find(key); it != entries_.end()) {
    if (it->second.checked == batch_ || StillValid(it->second)) {
      it->second.checked = batch_;
      return it->second.file;
    }
    entries_.erase(it);
  }
  auto file = Response::FindBelowRoot(root, page_path);
  if (!file || real_root_.empty()) return file;
  // The folders from the real root down to the file's own, with their
  // times.
  Entry entry{*file, {}, batch_};
  fs::path folder = real_root_;
  std::error_code ec;
  entry.folders.emplace_back(folder, fs::last_write_time(folder, ec));
  const fs::path rel = file->parent_path().lexically_relative(real_root_);
  for (const auto& part : rel) {
    if (part == ".") continue;
    folder /= part;
    entry.folders.emplace_back(folder, fs::last_write_time(folder, ec));
  }
  // A change while the times were taken: use the name, but do not keep it.
  if (ec || Response::FindBelowRoot(root, page_path) != file) return file;
  if (entries_.size() >= kMaxEntries) entries_.clear();
  entries_.emplace(key, std::move(entry));
  return file;
}

}  // namespace tagvane
