// The heartbeat datagram a hub client sends: a prefix built from the UID and
// the source, the interval digits, and a tail carrying the private port.
#pragma once

#include <string>
#include <string_view>

namespace tagvane {

// "xap-hbeat\n{\nv=13\nhop=1\nuid=<uid>\nclass=xap-hbeat.alive\nsource=<source>\ninterval="
std::string HeartbeatPrefix(std::string_view uid, std::string_view source);
// "0\nport=<port>\n}\n": the "0" turns the clamped argument into seconds.
std::string HeartbeatTail(int port);
// SendHeartbeat's clamping: above 60 gives 60, 0 or less gives 0, 1 to 4
// gives 5, anything else stays.
int ClampHeartbeatInterval(int seconds);

}  // namespace tagvane
