// Feeds arbitrary Origin/Referer and Host texts to SameOrigin: no failure,
// and an answer that agrees with the plain rules it promises: a URL that is
// not http or https is never the same origin, and the daemon's own origin
// built from a Host of letters, digits, dots and a port always is.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "web/same_origin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\n');
  const std::string_view origin = input.substr(0, cut);
  const std::string_view host = cut == std::string_view::npos ? "" : input.substr(cut + 1);
  const bool same = tagvane::SameOrigin(origin, host);
  if (same && origin.find("://") == std::string_view::npos) __builtin_trap();
  bool plain = !host.empty() && host.size() < 64;
  for (const char c : host) {
    plain = plain && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == ':');
  }
  if (plain && host.find(':') == host.rfind(':') && host.front() != ':' && host.back() != ':' &&
      !tagvane::SameOrigin("http://" + std::string(host), host)) {
    __builtin_trap();
  }
  return 0;
}
