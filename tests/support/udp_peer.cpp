#include "support/udp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <vector>

namespace tagvane::test {
namespace {
// Bound of every wait: long enough for a loaded machine, short enough for a
// failing test to end. It never decides a result on its own.
constexpr auto kWaitBound = std::chrono::seconds(10);
}  // namespace

UdpPeer::UdpPeer(uint16_t port) {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd_ < 0) throw std::runtime_error("socket");
  int on = 1;
  setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd_);
    throw std::runtime_error("bind 127.0.0.1:" + std::to_string(port));
  }
  socklen_t len = sizeof a;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

UdpPeer::~UdpPeer() {
  if (fd_ >= 0) close(fd_);
}

void UdpPeer::SendTo(uint16_t port, std::string_view datagram, const char* address) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

bool UdpPeer::Idle() const {
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

std::vector<std::string> UdpPeer::Drain() {
  std::vector<std::string> out;
  std::vector<char> buffer(70000);
  while (!Idle()) {
    const ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
    if (n < 0) break;
    out.emplace_back(buffer.data(), static_cast<size_t>(n));
  }
  return out;
}

std::optional<std::string> UdpPeer::Receive(const std::function<void()>& pump) {
  return ReceiveMatching([](const std::string&) { return true; }, pump);
}

std::optional<std::string> UdpPeer::ReceiveMatching(
    const std::function<bool(const std::string&)>& want, const std::function<void()>& pump) {
  const auto end = std::chrono::steady_clock::now() + kWaitBound;
  std::vector<char> buffer(70000);
  while (std::chrono::steady_clock::now() < end) {
    if (pump) pump();
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, pump ? 2 : 50) > 0) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n =
          recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      last_sender_port_ = ntohs(from.sin_port);
      std::string text(buffer.data(), static_cast<size_t>(n));
      if (want(text)) return text;
    }
  }
  return std::nullopt;
}

uint16_t FreeUdpPort() {
  UdpPeer probe;
  return probe.Port();
}

}  // namespace tagvane::test
