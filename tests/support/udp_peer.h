// A plain UDP socket on 127.0.0.1 for the network tests: stands in for a hub or
// a peer program. Waits are bounded so a missing datagram fails the test
// instead of hanging it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_support.h"

namespace tagvane::test {

class UdpPeer {
 public:
  // Binds 127.0.0.1 at port (0: any free port).
  explicit UdpPeer(uint16_t port = 0);
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  uint16_t Port() const { return port_; }
  void SendTo(uint16_t port, std::string_view datagram, const char* address = "127.0.0.1");
  // The next datagram, waiting while pump() runs (up to a generous bound).
  std::optional<std::string> Receive(const std::function<void()>& pump = {});
  // The next datagram whose text satisfies want; others are skipped.
  std::optional<std::string> ReceiveMatching(const std::function<bool(const std::string&)>& want,
                                             const std::function<void()>& pump = {});
  // Every datagram waiting right now (loopback delivery is complete when
  // the sender's call returns, so this is what has been sent so far).
  std::vector<std::string> Drain();
  // True when no datagram is waiting right now.
  bool Idle() const;
  // Sender port of the last datagram received.
  uint16_t LastSenderPort() const { return last_sender_port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  uint16_t last_sender_port_ = 0;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeUdpPort();

}  // namespace tagvane::test
