// The objects scripts hold besides the API object: the collection type of
// Request, TagList and a message's items (keyed lookup ignoring case,
// positions and pairs in insertion order), the XapMessage object, the small
// Queue helper and the process object of a spawned job. Each is a Lua
// userdata with its own metatable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ci_map.h"

struct lua_State;

namespace tagvane {

class SpawnedJob;
class XapMessage;

// A read-only snapshot of key -> text entries in insertion order.
class ScriptCollection {
 public:
  // Appends unless the key is present (the first value of a key stays).
  void Add(std::string key, std::string value);
  size_t size() const { return entries_.size(); }
  const std::string* Find(std::string_view key) const;
  const std::pair<std::string, std::string>& At(size_t i) const { return entries_[i]; }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
  CaseInsensitiveMap<size_t> index_;
};

// The script helper "Tagwell.Queue": a text and a retry count.
class Queue {
 public:
  // Stores the text; the retry count becomes 3.
  void Add(std::string text) {
    data_ = std::move(text);
    retry_count_ = 3;
  }
  // Counts one retry: "" once the count is below 0, else the text.
  std::string Retry() {
    if (retry_count_ > INT16_MIN) --retry_count_;
    return retry_count_ < 0 ? std::string() : data_;
  }
  void SetRetryCount(int16_t n) { retry_count_ = n; }
  int16_t RetryCount() const { return retry_count_; }
  const std::string& data() const { return data_; }

 private:
  std::string data_;
  int16_t retry_count_ = 0;
};

// Registers the metatables in a fresh engine.
void RegisterScriptObjects(lua_State* L);
void PushCollection(lua_State* L, ScriptCollection collection);
// A message shared with the store it came from (scripts only read it).
void PushXapMessage(lua_State* L, std::shared_ptr<XapMessage> message);
void PushQueue(lua_State* L);
// CreateObject of the objects scripts make for themselves: pushes a new
// "Tagwell.Queue" or an empty "Tagwell.XapMessage" (any letter case) and
// returns true; pushes nothing and returns false for any other name.
bool PushLocalObject(lua_State* L, std::string_view progid);
// The process object of a spawned job: ProcessID, Status and ExitCode read
// the live job.
void PushProcess(lua_State* L, std::shared_ptr<SpawnedJob> job);

}  // namespace tagvane
