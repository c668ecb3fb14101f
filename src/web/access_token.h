// Who may use the commands that act on the daemon itself (stopping it,
// and later the automation API): loopback clients, and others only with the
// bearer token of setting APIToken (section "RFID" of Tagvane.ini).
#pragma once

#include <string_view>

namespace tagvane {

// True for 127.0.0.0/8, ::1 and the IPv4-mapped ::ffff:127.x.y.z.
bool IsLoopbackAddress(std::string_view address);

// True when the Authorization header value is "Bearer <token>" (scheme in
// any case) and token is not empty. The comparison takes the same time for
// every candidate of the same length, so the token cannot be guessed byte
// by byte from answer times.
bool BearerTokenMatches(std::string_view authorization, std::string_view token);

}  // namespace tagvane
