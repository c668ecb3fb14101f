#include "xap/xap_transport.h"

#include <asio/ip/address_v4.hpp>

#include "core/failure.h"
#include "core/numbers.h"
#include "core/text.h"
#include "xap/heartbeat.h"
#include "xap/local_address.h"
#include "xap/xap_message.h"

namespace tagvane {

using asio::ip::udp;

namespace {
constexpr int kCreatedHeartbeatMs = 20000;
constexpr int kReceiveDelayMs = 50;
constexpr int kHeartbeatEvery = 10;
}  // namespace

// One socket's receive buffer; shared with the pending operation so that it
// outlives the transport if a completion is still queued.
struct XapTransport::Receiver {
  std::vector<char> buffer;
  udp::endpoint sender;
};

XapTransport::XapTransport(asio::io_context& io, TimerService& timers, Logger& log,
                           XapTransportOptions options)
    : log_(log),
      options_(std::move(options)),
      winsock1_(io),
      winsock2_(io),
      hbeat_timer_(timers, [this] { OnHeartbeatTick(); }),
      receive_timer_(timers, [this] { OnReceiveTick(); }),
      alive_(std::make_shared<bool>(true)) {
  if (!options_.list_addresses) options_.list_addresses = ListInterfaceAddresses;
  if (!options_.resolve) options_.resolve = ResolveIPv4;
  hbeat_timer_.SetInterval(kCreatedHeartbeatMs);
  hbeat_timer_.SetEnabled(true);
}

XapTransport::~XapTransport() {
  *alive_ = false;
  Close();
}

void XapTransport::RegisterNewMessageCallback(std::function<void()> receiver) {
  message_receiver_ = std::move(receiver);
}

std::string XapTransport::GetMessage() {
  if (queue_.empty()) return {};
  std::string text = std::move(queue_.front());
  queue_.pop_front();
  return text;
}

void XapTransport::SetXapSource(std::string v) {
  xap_source_ = std::move(v);
  RebuildHeartbeatPrefix();
}

void XapTransport::SetXapTarget(std::string v) {
  xap_target_ = std::move(v);
  RebuildHeartbeatPrefix();
}

void XapTransport::SetXapUID(std::string v) {
  xap_uid_ = std::move(v);
  RebuildHeartbeatPrefix();
}

void XapTransport::RebuildHeartbeatPrefix() {
  heartbeat_prefix_ = HeartbeatPrefix(xap_uid_, xap_source_);
}

int XapTransport::Init(const XapTransportConfig& config) {
  SetXapSource(config.source);
  SetXapUID(config.uid);
  SetBroadcastAddress(config.broadcast_address);
  SetInterfaceAddress(config.interface_address);
  SetFilterHeartbeats(config.filter_heartbeats);
  return Init();
}

std::string XapTransport::GetIP() {
  std::string result;
  GuardTrace(log_, "GetIP",
             [&] { result = ChooseLocalAddress(interface_address_, options_.list_addresses()); });
  return result;
}

int XapTransport::Init() {
  std::error_code ec;
  winsock1_.close(ec);
  winsock2_.close(ec);
  second_socket_sends_ = false;
  port_ = 0;

  local_address_ = GetIP();
  effective_broadcast_ =
      EqualsNoCase(broadcast_address_, "default") ? "255.255.255.255" : broadcast_address_;
  broadcast_endpoint_.reset();
  // A host name is what a user types: it is resolved here, once. An address
  // that cannot be used leaves the transport unbound, so start-up reports
  // the failure instead of a port that could send nothing.
  asio::ip::address_v4 broadcast = asio::ip::make_address_v4(effective_broadcast_, ec);
  if (ec) {
    std::string why;
    std::string resolved;
    GuardTrace(log_, "Init", [&] { resolved = options_.resolve(effective_broadcast_, &why); });
    if (!resolved.empty()) broadcast = asio::ip::make_address_v4(resolved, ec);
    if (resolved.empty() || ec) {
      log_.LogEvent(kProductSource, "xAP broadcast address " + effective_broadcast_ +
                                        " cannot be used (" + (why.empty() ? "not known" : why) +
                                        "); xAP is off");
      return -EADDRNOTAVAIL;
    }
  }
  broadcast_endpoint_ = udp::endpoint(broadcast, options_.hub_port);

  const asio::ip::address_v4 loopback = asio::ip::address_v4::loopback();
  int port = options_.first_port;
  bool bound = false;
  for (int i = 0; i < options_.port_tries && port <= 65535; ++i, ++port) {
    winsock1_.open(udp::v4(), ec);
    if (ec) break;
    winsock1_.set_option(asio::socket_base::broadcast(true), ec);
    winsock1_.bind(udp::endpoint(loopback, static_cast<uint16_t>(port)), ec);
    if (!ec) {
      bound = true;
      break;
    }
    winsock1_.close(ec);
  }
  if (!bound) return -1;
  port_ = port;

  // A machine (or test namespace) whose chosen address is 127.0.0.1 cannot
  // bind that address and port twice: the loopback socket then also sends.
  if (local_address_ == "127.0.0.1") {
    second_socket_sends_ = false;
  } else {
    const asio::ip::address_v4 local = asio::ip::make_address_v4(local_address_, ec);
    if (ec) return -EADDRNOTAVAIL;
    winsock2_.open(udp::v4(), ec);
    if (!ec) winsock2_.set_option(asio::socket_base::broadcast(true), ec);
    if (!ec) winsock2_.bind(udp::endpoint(local, static_cast<uint16_t>(port_)), ec);
    if (ec) {
      const int e = ec.value();
      winsock2_.close(ec);
      return e > 0 ? -e : e;
    }
    second_socket_sends_ = true;
  }
  heartbeat_tail_ = HeartbeatTail(port_);

  receiver1_ = std::make_shared<Receiver>();
  StartReceive(winsock1_, receiver1_);
  if (second_socket_sends_) {
    receiver2_ = std::make_shared<Receiver>();
    StartReceive(winsock2_, receiver2_);
  }
  return port_;
}

void XapTransport::StartReceive(udp::socket& socket, std::shared_ptr<Receiver> receiver) {
  // One byte more than accepted, so an oversized datagram shows as such.
  receiver->buffer.resize(options_.max_datagram + 1);
  std::weak_ptr<bool> alive = alive_;
  socket.async_receive_from(
      asio::buffer(receiver->buffer), receiver->sender,
      [this, alive, receiver, &socket](const std::error_code& ec, size_t bytes) {
        const auto token = alive.lock();
        if (!token || !*token || ec == asio::error::operation_aborted || !socket.is_open()) {
          return;
        }
        if (!ec) {
          if (bytes > options_.max_datagram) {
            ++dropped_oversize_;
            log_.LogEventLimited(
                "xap-oversize", kProductSource,
                "xAP datagram of more than " + std::to_string(options_.max_datagram) +
                    " bytes dropped; dropped so far: " + std::to_string(dropped_oversize_));
          } else {
            ProcessReceivedMessage(std::string(receiver->buffer.data(), bytes));
          }
        }
        StartReceive(socket, receiver);
      });
}

void XapTransport::ProcessReceivedMessage(std::string text) {
  GuardTrace(log_, "ProcessReceivedMessage", [&] {
    if (filter_heartbeats_ && !StartsWithNoCase(text, "xap-head")) return;
    queue_.push_back(std::move(text));
    if (queue_.size() > options_.max_queue) {
      queue_.pop_front();
      ++dropped_overflow_;
      log_.LogEventLimited("xap-queue-full", kProductSource,
                           "xAP receive queue full; oldest message dropped; dropped so far: " +
                               std::to_string(dropped_overflow_));
    }
    // The first datagram of a batch starts the countdown; later ones join
    // the batch without moving it.
    if (!receive_timer_.Running()) {
      receive_timer_.SetInterval(kReceiveDelayMs);
      receive_timer_.SetEnabled(true);
    }
  });
}

void XapTransport::OnReceiveTick() {
  receive_timer_.SetEnabled(false);
  if (message_receiver_) message_receiver_();
}

void XapTransport::OnHeartbeatTick() {
  hbeat_ticks_ = (hbeat_ticks_ + 1) % kHeartbeatEvery;
  if (hbeat_ticks_ != 0) return;
  // Until Init has bound a port there is nothing to announce.
  if (port_ <= 0) return;
  SendHeartbeat(static_cast<int>(RoundHalfEven(hbeat_timer_.Interval() / 1000.0)));
}

void XapTransport::SendHeartbeat(int interval_seconds) {
  const int v = ClampHeartbeatInterval(interval_seconds);
  hbeat_timer_.SetInterval(v * 1000);
  hbeat_timer_.SetEnabled(v >= 1);
  if (port_ <= 0) return;
  Broadcast(heartbeat_prefix_ + std::to_string(v) + heartbeat_tail_);
  if (sent_counter_) sent_counter_("xap-hbeat.alive");
}

namespace {

// A line break inside a header value, a section name or an item would end
// its line early and let the rest pose as further header lines or items; it
// travels as a blank instead.
std::string OneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

}  // namespace

std::string XapTransport::SendXap(std::string_view sTarget, std::string_view sClass,
                                  std::string_view sSection, std::string_view sData,
                                  std::string_view sSubaddress, std::string_view sUIDIn,
                                  std::string_view sTargetSubaddress) {
  XapMessage message;
  message.SetMsgClass(OneLine(sClass));
  std::string source = xap_source_;
  if (!sSubaddress.empty()) {
    source += ':';
    source += sSubaddress;
  }
  message.SetMsgSource(OneLine(source));
  std::string target;
  if (!sTarget.empty()) {
    target = sTarget;
    if (!sTargetSubaddress.empty()) {
      target += ':';
      target += sTargetSubaddress;
    }
  }
  message.SetMsgTarget(OneLine(target));
  message.SetMsgUID(OneLine(sUIDIn.empty() ? std::string_view(xap_uid_) : sUIDIn));
  message.AddHeader();
  const std::string section = OneLine(sSection);
  message.AddSection(section);
  for (size_t start = 0; start <= sData.size();) {
    size_t end = sData.find('\0', start);
    if (end == std::string_view::npos) end = sData.size();
    const std::string_view piece = sData.substr(start, end - start);
    const size_t sep = piece.find('\x01');
    if (sep != std::string_view::npos) {
      message.AddItem(section, OneLine(piece.substr(0, sep)), OneLine(piece.substr(sep + 1)));
    }
    start = end + 1;
  }
  Broadcast(message.ToXap());
  if (sent_counter_) sent_counter_(sClass);
  return {};
}

void XapTransport::SendXapMember(const xapQueuedMessage& m) {
  SendXap(m.MsgTarget, m.MsgClass, m.MsgSection, m.MsgData, m.MsgSubAddress, m.MsgUID,
          m.MsgTargetSubAddress);
}

void XapTransport::SendRawXap(std::string_view text) { Broadcast(text); }

void XapTransport::Broadcast(std::string_view datagram) {
  if (!broadcast_endpoint_) return;
  udp::socket& socket = second_socket_sends_ ? winsock2_ : winsock1_;
  if (!socket.is_open()) return;
  std::error_code ec;
  socket.send_to(asio::buffer(datagram.data(), datagram.size()), *broadcast_endpoint_, 0, ec);
  // A failed send is not reported: the message is lost, as on any
  // datagram network.
  if (!ec) ++sent_;
}

void XapTransport::Close() {
  queue_.clear();
  receive_timer_.SetEnabled(false);
  std::error_code ec;
  winsock1_.close(ec);
  winsock2_.close(ec);
}

}  // namespace tagvane
