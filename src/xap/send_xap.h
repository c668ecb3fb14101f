// SendXap, the one sending entry of the system: applies the UID rule and
// either hands the message to the transport or, until the transport is bound
// (XapActive false), keeps it in the start-up queue. Everything queued goes
// out first, in order, with the first message sent after binding.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "core/logger.h"
#include "xap/xap_queued_message.h"

namespace tagvane {

// The transport's composing member: turns the seven texts into one datagram.
class XapMemberSender {
 public:
  virtual ~XapMemberSender() = default;
  virtual void SendXapMember(const xapQueuedMessage& message) = 0;
};

class XapOutbox final : public XapSender {
 public:
  explicit XapOutbox(const bool& xap_active) : xap_active_(xap_active) {}

  void SetTransport(XapMemberSender* transport) { transport_ = transport; }
  // The UID last saved from the setup page ("" until then).
  void SetSetupUID(std::string uid) { setup_uid_ = std::move(uid); }
  const std::string& SetupUID() const { return setup_uid_; }
  // The transport's own UID, the base of two-character UIDs while no setup
  // UID has been saved.
  void SetFallbackUID(std::string uid) { fallback_uid_ = std::move(uid); }

  void SendXap(std::string_view target, std::string_view cls, std::string_view section,
               std::string_view data, std::string_view subaddress, std::string_view uid,
               std::string_view target_subaddress) override;

  // Sends whatever waits in the start-up queue (when active).
  void FlushStartupQueue();
  const std::deque<xapQueuedMessage>& StartupQueue() const { return startup_queue_; }
  // Messages dropped from a full start-up queue (a transport that never
  // binds would otherwise hold every event-log entry for ever).
  uint64_t DroppedStartupMessages() const { return dropped_startup_; }
  static constexpr size_t kStartupQueueLimit = 10000;

 private:
  std::string EffectiveUID(std::string_view uid) const;

  const bool& xap_active_;
  XapMemberSender* transport_ = nullptr;
  std::string setup_uid_;
  std::string fallback_uid_ = "FF.0063:00";
  std::deque<xapQueuedMessage> startup_queue_;
  uint64_t dropped_startup_ = 0;
};

}  // namespace tagvane
