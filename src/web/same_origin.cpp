#include "web/same_origin.h"

#include "core/text.h"

namespace tagvane {
namespace {

// "host[:port]" of a URL's authority, or "" when url is not http(s).
std::string_view Authority(std::string_view url, std::string_view& scheme) {
  const size_t colon = url.find("://");
  if (colon == std::string_view::npos) return {};
  scheme = url.substr(0, colon);
  if (!EqualsNoCase(scheme, "http") && !EqualsNoCase(scheme, "https")) return {};
  std::string_view rest = url.substr(colon + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  // user:password@ is not part of the origin.
  const size_t at = rest.rfind('@');
  return at == std::string_view::npos ? rest : rest.substr(at + 1);
}

// Splits "host:port" ("[v6]:port" too); port "" when absent.
void SplitHostPort(std::string_view authority, std::string_view& host, std::string_view& port) {
  const size_t close = authority.rfind(']');
  const size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos && (close == std::string_view::npos || colon > close)) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  } else {
    host = authority;
    port = {};
  }
}

}  // namespace

bool SameOrigin(std::string_view origin, std::string_view host) {
  std::string_view scheme;
  const std::string_view authority = Authority(TrimSpaces(origin), scheme);
  host = TrimSpaces(host);
  if (authority.empty() || host.empty()) return false;
  std::string_view o_host, o_port, h_host, h_port;
  SplitHostPort(authority, o_host, o_port);
  SplitHostPort(host, h_host, h_port);
  if (!EqualsNoCase(o_host, h_host)) return false;
  const std::string_view default_port = EqualsNoCase(scheme, "https") ? "443" : "80";
  if (o_port.empty()) o_port = default_port;
  // A Host without a port is the default port of whatever scheme the
  // browser used (a TLS proxy in front of the daemon keeps the name).
  return h_port.empty() ? o_port == default_port : o_port == h_port;
}

}  // namespace tagvane
