// Script subscriptions to received xAP messages: SelectXapMessage adds one,
// DeSelectXapMessage removes it, every received message is offered to each,
// and GetXapMessage hands a subscription's pending messages out oldest
// first. Messages wait in one store under handle texts; a handle every
// holder has consumed (or dropped) leaves the store.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace tagvane {

class XapMessage;

// One subscription. The five texts are kept in lower case for matching;
// RunName is the script name as given, which is what gets run.
class ScriptVBS {
 public:
  std::string Schema, Source, Target, Section, Script;
  std::string RunName;
  // Set while a run of the script waits in the script queue.
  bool RunQueued = false;

  void AddMessageHandle(std::string s) { handles_.push_back(std::move(s)); }
  // Removes the first handle equal to s ignoring case.
  void RemoveMessageHandle(const std::string& s);
  int16_t MessageCount() const {
    return static_cast<int16_t>(std::min<size_t>(handles_.size(), INT16_MAX));
  }
  // Removes and returns the oldest handle; "" when there is none.
  std::string MessageHandle();
  const std::deque<std::string>& Handles() const { return handles_; }

 private:
  std::deque<std::string> handles_;
};

using ScriptVBSPtr = std::shared_ptr<ScriptVBS>;

class SubscriptionList {
 public:
  static constexpr size_t kMaxPendingPerSubscription = 1000;

  // full_path is the resolved script path, compared in lower case; name is
  // what runs. Adds nothing when an equal subscription exists.
  void Select(const std::string& target, const std::string& cls, const std::string& section,
              const std::string& source, const std::string& full_path, const std::string& name);
  // Removes the first equal subscription; false when there was none.
  bool DeSelect(const std::string& target, const std::string& cls, const std::string& section,
                const std::string& source, const std::string& full_path);

  // Stores message under a new handle when at least one subscription
  // matches, adds the handle to each match and calls wake for each match.
  // Returns the number of handles dropped from full subscriptions.
  size_t Offer(const XapMessage& message, const std::function<void(const ScriptVBSPtr&)>& wake);

  // The oldest pending message of the subscription at 1-based position
  // handle (its numeric text), or nullptr.
  std::shared_ptr<XapMessage> Get(const std::string& handle);

  // 1-based position of s, 0 when it is no longer in the list.
  size_t PositionOf(const ScriptVBS* s) const;
  const std::vector<ScriptVBSPtr>& List() const { return list_; }
  size_t StoredMessages() const { return store_.size(); }
  void Clear();

 private:
  struct Stored {
    std::shared_ptr<XapMessage> message;
    size_t holders = 0;
  };
  void Release(const std::string& handle);

  std::vector<ScriptVBSPtr> list_;
  std::unordered_map<std::string, Stored> store_;
  uint64_t next_handle_ = 0;
};

// True when each non-empty text of s matches the message: class and section
// without case, source and target by address.
bool SubscriptionMatches(const ScriptVBS& s, const XapMessage& message);

}  // namespace tagvane
