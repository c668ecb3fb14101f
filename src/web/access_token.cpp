#include "web/access_token.h"

#include <asio/ip/address.hpp>

#include "core/text.h"

namespace tagvane {

bool IsLoopbackAddress(std::string_view address) {
  std::error_code ec;
  const auto a = asio::ip::make_address(std::string(address), ec);
  if (ec) return false;
  if (a.is_v4()) return a.to_v4().is_loopback();
  const auto v6 = a.to_v6();
  if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).is_loopback();
  return v6.is_loopback();
}

bool BearerTokenMatches(std::string_view authorization, std::string_view token) {
  if (token.empty()) return false;
  constexpr std::string_view kScheme = "bearer ";
  if (authorization.size() < kScheme.size() ||
      !EqualsNoCase(authorization.substr(0, kScheme.size()), kScheme)) {
    return false;
  }
  std::string_view given = authorization.substr(kScheme.size());
  while (!given.empty() && given.front() == ' ') given.remove_prefix(1);
  while (!given.empty() && (given.back() == ' ' || given.back() == '\r')) given.remove_suffix(1);
  // Every byte of the longer text is visited whatever differs first.
  const size_t n = given.size() > token.size() ? given.size() : token.size();
  unsigned diff = given.size() == token.size() ? 0u : 1u;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    const unsigned char b = i < token.size() ? static_cast<unsigned char>(token[i]) : 0;
    diff |= static_cast<unsigned>(a ^ b);
  }
  return diff == 0;
}

}  // namespace tagvane
