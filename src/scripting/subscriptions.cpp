#include "scripting/subscriptions.h"

#include <algorithm>

#include "core/numbers.h"
#include "core/text.h"
#include "xap/xap_message.h"

namespace tagvane {

void ScriptVBS::RemoveMessageHandle(const std::string& s) {
  auto it = std::find_if(handles_.begin(), handles_.end(),
                         [&](const std::string& h) { return EqualsNoCase(h, s); });
  if (it != handles_.end()) handles_.erase(it);
}

std::string ScriptVBS::MessageHandle() {
  if (handles_.empty()) return "";
  std::string h = std::move(handles_.front());
  handles_.pop_front();
  return h;
}

bool SubscriptionMatches(const ScriptVBS& s, const XapMessage& message) {
  if (!s.Schema.empty() && !message.CompareClass(s.Schema)) return false;
  if (!s.Source.empty() && !message.CompareSource(s.Source)) return false;
  if (!s.Target.empty() && !message.CompareTarget(s.Target)) return false;
  if (!s.Section.empty()) {
    const auto names = message.MsgSection();
    if (std::none_of(names.begin(), names.end(),
                     [&](const std::string& n) { return EqualsNoCase(n, s.Section); })) {
      return false;
    }
  }
  return true;
}

namespace {

bool Same(const ScriptVBS& s, const std::string& target, const std::string& cls,
          const std::string& section, const std::string& source, const std::string& path) {
  return s.Target == target && s.Schema == cls && s.Section == section && s.Source == source &&
         s.Script == path;
}

}  // namespace

void SubscriptionList::Select(const std::string& target, const std::string& cls,
                              const std::string& section, const std::string& source,
                              const std::string& full_path, const std::string& name) {
  const std::string t = ToLower(target), c = ToLower(cls), sec = ToLower(section),
                    src = ToLower(source), path = ToLower(full_path);
  for (const auto& s : list_) {
    if (Same(*s, t, c, sec, src, path)) return;
  }
  auto s = std::make_shared<ScriptVBS>();
  s->Target = t;
  s->Schema = c;
  s->Section = sec;
  s->Source = src;
  s->Script = path;
  s->RunName = name;
  list_.push_back(std::move(s));
}

bool SubscriptionList::DeSelect(const std::string& target, const std::string& cls,
                                const std::string& section, const std::string& source,
                                const std::string& full_path) {
  const std::string t = ToLower(target), c = ToLower(cls), sec = ToLower(section),
                    src = ToLower(source), path = ToLower(full_path);
  for (auto it = list_.begin(); it != list_.end(); ++it) {
    if (!Same(**it, t, c, sec, src, path)) continue;
    ScriptVBSPtr gone = *it;
    list_.erase(it);
    while (gone->MessageCount() > 0) Release(gone->MessageHandle());
    return true;
  }
  return false;
}

size_t SubscriptionList::Offer(const XapMessage& message,
                               const std::function<void(const ScriptVBSPtr&)>& wake) {
  std::vector<ScriptVBSPtr> matches;
  for (const auto& s : list_) {
    if (SubscriptionMatches(*s, message)) matches.push_back(s);
  }
  if (matches.empty()) return 0;
  const std::string handle = std::to_string(++next_handle_);
  Stored& stored = store_[handle];
  stored.message = std::make_shared<XapMessage>(message);
  size_t dropped = 0;
  for (const auto& s : matches) {
    if (s->Handles().size() >= kMaxPendingPerSubscription) {
      Release(s->MessageHandle());
      ++dropped;
    }
    s->AddMessageHandle(handle);
    ++store_[handle].holders;
    if (wake) wake(s);
  }
  return dropped;
}

void SubscriptionList::Release(const std::string& handle) {
  auto it = store_.find(handle);
  if (it == store_.end()) return;
  if (it->second.holders <= 1) {
    store_.erase(it);
  } else {
    --it->second.holders;
  }
}

std::shared_ptr<XapMessage> SubscriptionList::Get(const std::string& handle) {
  const double n = LeadingNumber(handle);
  if (n < 1 || n > static_cast<double>(list_.size())) return nullptr;
  ScriptVBS& s = *list_[static_cast<size_t>(n) - 1];
  if (s.MessageCount() == 0) return nullptr;
  const std::string h = s.MessageHandle();
  auto it = store_.find(h);
  if (it == store_.end()) return nullptr;
  std::shared_ptr<XapMessage> message = it->second.message;
  Release(h);
  return message;
}

size_t SubscriptionList::PositionOf(const ScriptVBS* s) const {
  for (size_t i = 0; i < list_.size(); ++i) {
    if (list_[i].get() == s) return i + 1;
  }
  return 0;
}

void SubscriptionList::Clear() {
  list_.clear();
  store_.clear();
}

}  // namespace tagvane
