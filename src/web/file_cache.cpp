#include "web/file_cache.h"

#include <fstream>
#include <iterator>

namespace tagvane {

std::optional<std::string> FileCache::Small(const std::filesystem::path& file,
                                            const FileFacts& facts) {
  if (!facts.found || facts.size > kMaxFile) return std::nullopt;
  const auto it = entries_.find(file.native());
  if (it != entries_.end()) {
    if (it->second.facts.SameVersion(facts)) return it->second.bytes;
    bytes_ -= it->second.bytes.size();
    entries_.erase(it);
  }
  std::ifstream in(file, std::ios::binary);
  std::string bytes(static_cast<size_t>(facts.size), '\0');
  if (!in || !in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())) ||
      in.peek() != std::char_traits<char>::eof()) {
    // Changed while it was read: served from disk this time.
    return std::nullopt;
  }
  if (bytes_ + bytes.size() > kMaxBytes) {
    entries_.clear();
    bytes_ = 0;
  }
  bytes_ += bytes.size();
  entries_.emplace(file.native(), Entry{facts, bytes});
  return bytes;
}

}  // namespace tagvane
