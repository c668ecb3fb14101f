#include "xap/local_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdint>

#include "core/numbers.h"
#include "core/text.h"

namespace tagvane {

std::vector<std::string> ListInterfaceAddresses() {
  std::vector<std::string> outside;
  std::vector<std::string> loopback;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
    if (!(it->ifa_flags & IFF_UP)) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) continue;
    const bool is_loopback =
        (it->ifa_flags & IFF_LOOPBACK) || (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    (is_loopback ? loopback : outside).emplace_back(text);
  }
  freeifaddrs(list);
  outside.insert(outside.end(), loopback.begin(), loopback.end());
  return outside;
}

std::string BroadcastAddressOf(std::string_view address) {
  if (address.substr(0, 4) == "127.") return "127.255.255.255";
  std::string result;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return result;
  for (ifaddrs* it = list; it && result.empty(); it = it->ifa_next) {
    if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
    if (!(it->ifa_flags & IFF_BROADCAST) || !it->ifa_broadaddr) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
    if (!inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) || address != text) continue;
    const auto* brd = reinterpret_cast<const sockaddr_in*>(it->ifa_broadaddr);
    if (inet_ntop(AF_INET, &brd->sin_addr, text, sizeof text)) result = text;
  }
  freeifaddrs(list);
  return result;
}

namespace {

// The 32-bit value of one part: its leading number, rounded; 0 when it is
// not a number or does not fit.
int32_t PartValue(std::string_view part) {
  try {
    return ToInt32(LeadingNumber(part));
  } catch (const OverflowError&) {
    return 0;
  }
}

}  // namespace

bool MatchInterface(std::string_view pattern, std::string_view address) {
  const std::vector<std::string> p = Split(pattern, '.');
  const std::vector<std::string> a = Split(address, '.');
  if (p.size() != 4 || a.size() != 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    const int32_t av = PartValue(a[i]);
    if (av != (av & PartValue(p[i]))) return false;
  }
  return true;
}

std::string ChooseLocalAddress(std::string_view pattern,
                               const std::vector<std::string>& addresses) {
  for (const std::string& address : addresses) {
    if (MatchInterface(pattern, address)) return address;
  }
  return addresses.empty() ? std::string() : addresses.front();
}

std::string ResolveIPv4(const std::string& name, std::string* why) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (rc != 0 || !found) {
    if (why) *why = rc != 0 ? gai_strerror(rc) : "no IPv4 address";
    if (found) freeaddrinfo(found);
    return {};
  }
  char text[INET_ADDRSTRLEN] = {};
  const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  std::string result;
  if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) result = text;
  freeaddrinfo(found);
  if (result.empty() && why) *why = "no IPv4 address";
  return result;
}

}  // namespace tagvane
