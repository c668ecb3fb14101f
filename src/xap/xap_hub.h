// XapHub: a small xAP hub for machines that have none. It listens on the
// xAP port, learns its clients from the heartbeats that programs on this
// host send (the port= item; a client expires after twice its announced
// interval, and xap-hbeat.stop removes it at once), and relays every
// datagram it receives, unchanged, to each live client on 127.0.0.1.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"

namespace tagvane {

struct XapHubOptions {
  uint16_t port = 3639;
  // Addresses to listen on; empty: every local address (0.0.0.0). An
  // address is joined by the broadcast address of its network (for
  // 127.x.x.x: 127.255.255.255), so broadcasts reach the hub too.
  std::vector<std::string> bind_addresses;
  // Where --verbose output goes (nullptr: quiet).
  std::ostream* verbose = nullptr;
  // Largest datagram relayed.
  size_t max_datagram = 64 * 1024;
  // The addresses counted as this host besides 127.0.0.0/8 (default: the
  // addresses of the interfaces that are up).
  std::function<std::vector<std::string>()> local_addresses;
};

// What a heartbeat announces; nullopt for anything that is not a usable
// heartbeat (both interval= and port= are required).
struct HeartbeatInfo {
  bool stop = false;
  int interval_seconds = 0;
  int port = 0;
  std::string source;
};
std::optional<HeartbeatInfo> ParseHeartbeat(std::string_view datagram);

class XapHub {
 public:
  XapHub(asio::io_context& io, const Clock& clock, XapHubOptions options);
  ~XapHub();
  XapHub(const XapHub&) = delete;
  XapHub& operator=(const XapHub&) = delete;

  // Binds the listening sockets; false (with the reason in error) when one
  // of the addresses cannot be bound.
  bool Start(std::string* error);
  void Stop();

  // Live clients: port -> expiry time.
  std::vector<uint16_t> ClientPorts() const;
  uint64_t Relayed() const { return relayed_; }
  uint64_t Received() const { return received_; }
  // Called after each datagram has been handled (tests wait on it).
  void SetOnDatagram(std::function<void()> fn) { on_datagram_ = std::move(fn); }

 private:
  struct Listener;
  void Receive(const std::shared_ptr<Listener>& listener);
  void Handle(std::string_view datagram, const asio::ip::udp::endpoint& sender);
  bool FromThisHost(const asio::ip::address& address) const;
  void ExpireClients();
  void Say(const std::string& text) const;

  const Clock& clock_;
  XapHubOptions options_;
  asio::io_context& io_;
  std::vector<std::shared_ptr<Listener>> listeners_;
  asio::ip::udp::socket relay_socket_;
  std::map<uint16_t, DateTime> clients_;
  std::shared_ptr<bool> alive_;
  std::function<void()> on_datagram_;
  uint64_t relayed_ = 0;
  uint64_t received_ = 0;
};

}  // namespace tagvane
