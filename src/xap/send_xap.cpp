#include "xap/send_xap.h"

namespace tagvane {

std::string XapOutbox::EffectiveUID(std::string_view uid) const {
  if (uid.empty()) return setup_uid_;
  if (uid.size() == 2) {
    const std::string& base = setup_uid_.empty() ? fallback_uid_ : setup_uid_;
    return base.substr(0, 6) + std::string(uid);
  }
  return std::string(uid);
}

void XapOutbox::SendXap(std::string_view target, std::string_view cls, std::string_view section,
                        std::string_view data, std::string_view subaddress, std::string_view uid,
                        std::string_view target_subaddress) {
  xapQueuedMessage m{std::string(target),     EffectiveUID(uid),          std::string(cls),
                     std::string(section),    std::string(data),          std::string(subaddress),
                     std::string(target_subaddress)};
  if (xap_active_ && transport_) {
    FlushStartupQueue();
    transport_->SendXapMember(m);
  } else {
    startup_queue_.push_back(std::move(m));
    if (startup_queue_.size() > kStartupQueueLimit) {
      startup_queue_.pop_front();
      ++dropped_startup_;
    }
  }
}

void XapOutbox::FlushStartupQueue() {
  if (!xap_active_ || !transport_) return;
  while (!startup_queue_.empty()) {
    xapQueuedMessage m = std::move(startup_queue_.front());
    startup_queue_.pop_front();
    transport_->SendXapMember(m);
  }
}

}  // namespace tagvane
