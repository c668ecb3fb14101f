// Who may use the machine-facing endpoints (/metrics), the commands that
// act on the daemon itself (the menu's Exit) and the JSON API: clients on loopback always;
// any other client only with the token of setting APIToken (section "RFID"
// of Tagvane.ini) presented as "Authorization: Bearer <token>". The
// comparison takes the same time wherever the texts differ, so the token
// cannot be guessed byte by byte from answer times.
#pragma once

#include <string>
#include <string_view>

namespace tagvane {

class IniCache;

// True for this machine's own loopback addresses: 127.0.0.1, ::1 and
// ::ffff:127.0.0.1. The rest of 127.0.0.0/8 is often handed to containers
// and stand-in peers, so it counts as elsewhere.
bool IsLoopbackAddress(std::string_view address);

// Equal texts, compared without an early exit.
bool ConstantTimeEquals(std::string_view a, std::string_view b);

// The token of setting APIToken, "" when none is set.
std::string ApiToken(IniCache& ini);

// True when the Authorization header value is "Bearer <token>" (scheme in
// any case) and token is not empty.
bool BearerTokenMatches(std::string_view authorization, std::string_view token);

// authorization: the request's Authorization header ("" when absent).
bool ApiAccessAllowed(IniCache& ini, std::string_view client_address,
                      std::string_view authorization);

// Who may call the JSON API (/api/), stricter than the rule above: with a
// token set, every client (loopback too) must present it; without one only
// loopback clients may call. Clients not on loopback need APIAccess "any"
// besides the token.
enum class ApiVerdict { kAllowed, kUnauthorized, kForbidden };
ApiVerdict ApiCallAccess(IniCache& ini, std::string_view client_address,
                         std::string_view authorization);

}  // namespace tagvane
