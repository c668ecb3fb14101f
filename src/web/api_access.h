// Who may use the machine-facing endpoints (/metrics), the commands that
// act on the daemon itself (the menu's Exit) and the JSON API: clients on loopback always;
// any other client only with the token of setting APIToken (section "RFID"
// of Tagvane.ini) presented as "Authorization: Bearer <token>". The
// comparison takes the same time wherever the texts differ, so the token
// cannot be guessed byte by byte from answer times.
#pragma once

#include <filesystem>
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

// What a member of the JSON API can do, which decides who may call it.
enum class ApiCallKind {
  kReads,     // reads the tag and message tables: open to loopback clients
  kChanges,   // changes state or reads settings (which hold the secrets):
              // needs the token from loopback too once one is set
  kRunsCode,  // runs code or writes files: always needs the token
};

// Who may call the JSON API (/api/). Clients not on loopback need APIAccess
// "any" and the token for everything. Loopback clients: kReads members are
// open; kChanges members need the token when one is set; kRunsCode members
// need it always, so with no APIToken set nobody may call them, except a
// job the daemon started, which presents job_token (a secret made at each
// start and accepted from loopback only). kNoToken: a kRunsCode call while
// no APIToken is set.
enum class ApiVerdict { kAllowed, kUnauthorized, kForbidden, kNoToken };
ApiVerdict ApiCallAccess(IniCache& ini, std::string_view client_address,
                         std::string_view authorization, ApiCallKind kind,
                         std::string_view job_token = "");

// A fresh random secret: 64 hexadecimal digits from the kernel's generator.
std::string RandomToken();

// Gives DIR/Config/Tagvane.ini an APIToken (section RFID) when it has none,
// and makes the file and its backup readable by their owner only. Returns
// true when it wrote a token. Throws on a file that cannot be written.
bool EnsureApiToken(const std::filesystem::path& app_dir);

}  // namespace tagvane
