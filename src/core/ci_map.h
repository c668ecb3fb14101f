// The one keyed-table type: keys compared without regard to letter case,
// entries kept in insertion order, lookups, inserts and removals in O(1).
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/text.h"

namespace tagvane {

struct NoCaseHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept {
    size_t h = 1469598103934665603ull;
    for (char c : s) {
      h ^= static_cast<unsigned char>(LowerChar(c));
      h *= 1099511628211ull;
    }
    return h;
  }
};

struct NoCaseEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    return EqualsNoCase(a, b);
  }
};

template <typename V>
class CaseInsensitiveMap {
 public:
  using Entry = std::pair<std::string, V>;
  using List = std::list<Entry>;
  using iterator = typename List::iterator;
  using const_iterator = typename List::const_iterator;

  CaseInsensitiveMap() = default;
  CaseInsensitiveMap(const CaseInsensitiveMap& other) { *this = other; }
  CaseInsensitiveMap& operator=(const CaseInsensitiveMap& other) {
    if (this != &other) {
      Clear();
      for (const auto& e : other.entries_) Add(e.first, e.second);
    }
    return *this;
  }
  CaseInsensitiveMap(CaseInsensitiveMap&&) noexcept = default;
  CaseInsensitiveMap& operator=(CaseInsensitiveMap&&) noexcept = default;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  bool Contains(std::string_view key) const { return index_.find(key) != index_.end(); }

  V* Find(std::string_view key) {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &it->second->second;
  }
  const V* Find(std::string_view key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &it->second->second;
  }
  // The key as it was first stored, or nullptr.
  const std::string* StoredKey(std::string_view key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &it->second->first;
  }

  // Appends key -> value unless the key is present; returns whether it did.
  bool Add(std::string key, V value) {
    if (Contains(key)) return false;
    entries_.emplace_back(std::move(key), std::move(value));
    auto it = std::prev(entries_.end());
    index_.emplace(std::string_view(it->first), it);
    return true;
  }

  // Replaces the value of a present key (keeping its place and spelling) or
  // appends a new entry.
  V& Set(std::string key, V value) {
    if (V* v = Find(key)) {
      *v = std::move(value);
      return *v;
    }
    Add(std::move(key), std::move(value));
    return entries_.back().second;
  }

  bool Remove(std::string_view key) {
    auto it = index_.find(key);
    if (it == index_.end()) return false;
    auto node = it->second;
    index_.erase(it);
    entries_.erase(node);
    return true;
  }

  void Clear() {
    index_.clear();
    entries_.clear();
  }

  std::vector<std::string> Keys() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& e : entries_) out.push_back(e.first);
    return out;
  }

 private:
  List entries_;
  std::unordered_map<std::string_view, iterator, NoCaseHash, NoCaseEqual> index_;
};

}  // namespace tagvane
