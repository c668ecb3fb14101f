// Choosing the local IPv4 address the xAP transport sends from: the
// addresses of the interfaces that are up (loopback last) and the bitwise
// interface pattern that selects one of them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tagvane {

// Dotted IPv4 addresses of the interfaces that are up, non-loopback ones
// first in the order the system lists them, loopback ones last. Empty when
// the list cannot be read.
std::vector<std::string> ListInterfaceAddresses();

// The broadcast address of the network an interface address belongs to:
// 127.255.255.255 for 127.x.x.x, the interface's own otherwise, "" when it
// has none or the address is not one of this host's.
std::string BroadcastAddressOf(std::string_view address);

// True when both texts have four "."-separated parts and every address part
// a satisfies a == (a AND p) for the pattern part p (non-numbers count 0).
// "Default" matches nothing; 255 in a position accepts anything there.
bool MatchInterface(std::string_view pattern, std::string_view address);

// The first address the pattern matches, else the first address, else "".
std::string ChooseLocalAddress(std::string_view pattern, const std::vector<std::string>& addresses);

// The first IPv4 address of a host name (or a dotted address as it stands),
// looked up through the system's resolver; "" with the reason in why when
// there is none. It may wait on the name service: called once, at start.
std::string ResolveIPv4(const std::string& name, std::string* why);

}  // namespace tagvane
