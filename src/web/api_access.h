// Who may use the machine-facing endpoints (/metrics) and the commands that
// act on the daemon itself (the menu's Exit): clients on loopback always;
// any other client only with the token of setting APIToken (section "RFID"
// of Tagvane.ini) presented as "Authorization: Bearer <token>". The
// comparison takes the same time wherever the texts differ, so the token
// cannot be guessed byte by byte from answer times.
#pragma once

#include <string>
#include <string_view>

namespace tagvane {

class IniCache;

// True for 127.0.0.0/8, ::1 and the IPv4-mapped loopback forms.
bool IsLoopbackAddress(std::string_view address);

// Equal texts, compared without an early exit.
bool ConstantTimeEquals(std::string_view a, std::string_view b);

// True when the Authorization header value is "Bearer <token>" (scheme in
// any case) and token is not empty.
bool BearerTokenMatches(std::string_view authorization, std::string_view token);

// authorization: the request's Authorization header ("" when absent).
bool ApiAccessAllowed(IniCache& ini, std::string_view client_address,
                      std::string_view authorization);

}  // namespace tagvane
