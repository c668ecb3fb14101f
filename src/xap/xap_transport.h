// The xAP transport: a client of an xAP hub on this machine. It binds a
// private UDP port (the first free one from 32768 up) on 127.0.0.1, where the
// hub forwards messages, and the same port on the chosen local address, from
// which it broadcasts every message and heartbeat to the hub port (3639).
// Received messages wait in a bounded queue; 50 ms after the first arrival
// of a batch the registered receiver is told to drain it with GetMessage, so
// a steady trickle of datagrams cannot hold back what is already waiting.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/logger.h"
#include "core/subsystems.h"
#include "core/timer.h"
#include "xap/send_xap.h"

namespace tagvane {

struct XapTransportOptions {
  // Private ports tried: first_port .. first_port + port_tries - 1.
  uint16_t first_port = 32768;
  int port_tries = 200;
  // Where broadcasts go (the hub's port).
  uint16_t hub_port = 3639;
  // Largest datagram taken; larger ones are dropped and counted.
  size_t max_datagram = 64 * 1024;
  // Received messages that may wait; beyond, the oldest are dropped.
  size_t max_queue = 10000;
  // The interface addresses GetIP chooses from (default: the system's).
  std::function<std::vector<std::string>()> list_addresses;
  // Turns a broadcast address given as a host name into a dotted address
  // ("" and the reason when it cannot; default: the system's resolver).
  std::function<std::string(const std::string& name, std::string* why)> resolve;
};

class XapTransport final : public XapTransportPort, public XapMemberSender {
 public:
  XapTransport(asio::io_context& io, TimerService& timers, Logger& log,
               XapTransportOptions options = {});
  ~XapTransport() override;
  XapTransport(const XapTransport&) = delete;
  XapTransport& operator=(const XapTransport&) = delete;

  // The receiver's onMessage, called from the receive timer.
  void RegisterNewMessageCallback(std::function<void()> receiver);
  // Removes and returns the oldest received message; "" when none waits.
  std::string GetMessage();

  bool FilterHeartbeats() const { return filter_heartbeats_; }
  void SetFilterHeartbeats(bool on) { filter_heartbeats_ = on; }
  const std::string& XapClass() const { return xap_class_; }
  void SetXapClass(std::string v) { xap_class_ = std::move(v); }
  const std::string& BroadcastAddress() const { return broadcast_address_; }
  void SetBroadcastAddress(std::string v) { broadcast_address_ = std::move(v); }
  const std::string& InterfaceAddress() const { return interface_address_; }
  void SetInterfaceAddress(std::string v) { interface_address_ = std::move(v); }
  const std::string& XapSource() const { return xap_source_; }
  void SetXapSource(std::string v);
  const std::string& XapTarget() const { return xap_target_; }
  void SetXapTarget(std::string v);
  const std::string& XapUID() const { return xap_uid_; }
  void SetXapUID(std::string v);
  void SetHubPort(uint16_t port) { options_.hub_port = port; }

  // Applies the start-up configuration in the start-up order, then Init().
  int Init(const XapTransportConfig& config) override;
  // Binds both sockets: the port on success, -1 when no private port was
  // free, -errno when the local-address socket could not be bound, and
  // -EADDRNOTAVAIL (saying why) when the broadcast address is neither an
  // IPv4 address nor a host name that resolves to one.
  int Init();
  // Clamps the interval, re-arms the heartbeat clock and sends a heartbeat.
  void SendHeartbeat(int interval_seconds) override;
  // Composes one message (body items separated by NUL, key and value by
  // character 1) and broadcasts it. Returns "".
  std::string SendXap(std::string_view sTarget, std::string_view sClass, std::string_view sSection,
                      std::string_view sData, std::string_view sSubaddress, std::string_view sUIDIn,
                      std::string_view sTargetSubaddress);
  void SendXapMember(const xapQueuedMessage& m) override;
  // Broadcasts the text unchanged.
  void SendRawXap(std::string_view text);
  // Drops the queue and closes both sockets.
  void Close() override;

  // What both sockets do with a datagram: queue it (unless it is filtered
  // out or the queue is full) and start the receive timer unless it runs.
  void ProcessReceivedMessage(std::string text);

  int Port() const { return port_; }
  const std::string& LocalAddress() const { return local_address_; }
  const std::string& EffectiveBroadcastAddress() const { return effective_broadcast_; }
  size_t Waiting() const { return queue_.size(); }
  uint64_t DroppedOversize() const { return dropped_oversize_; }
  uint64_t DroppedOverflow() const { return dropped_overflow_; }
  uint64_t Sent() const { return sent_; }
  // Told the class of every message sent (metrics).
  void SetSentCounter(std::function<void(std::string_view cls)> f) { sent_counter_ = std::move(f); }
  Timer& HBeatTimer() { return hbeat_timer_; }
  Timer& ReceiveTimer() { return receive_timer_; }

 private:
  struct Receiver;
  std::string GetIP();
  void RebuildHeartbeatPrefix();
  void Broadcast(std::string_view datagram);
  void StartReceive(asio::ip::udp::socket& socket, std::shared_ptr<Receiver> receiver);
  void OnHeartbeatTick();
  void OnReceiveTick();

  Logger& log_;
  XapTransportOptions options_;

  asio::ip::udp::socket winsock1_;
  asio::ip::udp::socket winsock2_;
  std::shared_ptr<Receiver> receiver1_;
  std::shared_ptr<Receiver> receiver2_;
  Timer hbeat_timer_;
  Timer receive_timer_;
  std::shared_ptr<bool> alive_;

  std::string broadcast_address_ = "Default";
  std::string interface_address_ = "Default";
  std::string effective_broadcast_;
  std::optional<asio::ip::udp::endpoint> broadcast_endpoint_;
  std::string local_address_;
  int port_ = 0;
  bool second_socket_sends_ = false;
  std::string heartbeat_prefix_;
  std::string heartbeat_tail_;
  bool filter_heartbeats_ = true;
  std::deque<std::string> queue_;
  std::function<void()> message_receiver_;
  int hbeat_ticks_ = 0;

  std::string xap_source_;
  std::string xap_target_;
  std::string xap_uid_;
  std::string xap_class_;

  uint64_t dropped_oversize_ = 0;
  uint64_t dropped_overflow_ = 0;
  uint64_t sent_ = 0;
  std::function<void(std::string_view)> sent_counter_;
};

}  // namespace tagvane
