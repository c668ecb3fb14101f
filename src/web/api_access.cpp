#include "web/api_access.h"

#include <asio/ip/address.hpp>

#include "core/ini_cache.h"
#include "core/text.h"

namespace tagvane {

bool IsLoopbackAddress(std::string_view address) {
  std::error_code ec;
  const auto a = asio::ip::make_address(std::string(address), ec);
  if (ec) return false;
  const auto v4_loopback = asio::ip::address_v4::loopback();
  if (a.is_v4()) return a.to_v4() == v4_loopback;
  const auto v6 = a.to_v6();
  if (v6.is_loopback()) return true;
  return v6.is_v4_mapped() && asio::ip::make_address_v4(asio::ip::v4_mapped, v6) == v4_loopback;
}

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  const size_t n = a.size() > b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff |= static_cast<unsigned char>(x ^ y);
  }
  return diff == 0;
}

bool BearerTokenMatches(std::string_view authorization, std::string_view token) {
  if (token.empty()) return false;
  const std::string_view auth = TrimSpaces(authorization);
  if (!StartsWithNoCase(auth, "Bearer ")) return false;
  return ConstantTimeEquals(TrimSpaces(auth.substr(7)), token);
}

namespace {

std::string Setting(IniCache& ini, std::string_view key) {
  return RemoveQuotes(TrimSpaces(ini.GetIniSetting("RFID", key, "", kSettingsFile)));
}

}  // namespace

std::string ApiToken(IniCache& ini) { return Setting(ini, "APIToken"); }

bool ApiAccessAllowed(IniCache& ini, std::string_view client_address,
                      std::string_view authorization) {
  if (IsLoopbackAddress(client_address)) return true;
  return BearerTokenMatches(authorization, ApiToken(ini));
}

ApiVerdict ApiCallAccess(IniCache& ini, std::string_view client_address,
                         std::string_view authorization) {
  const std::string token = ApiToken(ini);
  if (!IsLoopbackAddress(client_address)) {
    if (token.empty() || !EqualsNoCase(Setting(ini, "APIAccess"), "any")) {
      return ApiVerdict::kForbidden;
    }
  }
  if (token.empty()) return ApiVerdict::kAllowed;
  return BearerTokenMatches(authorization, token) ? ApiVerdict::kAllowed
                                                  : ApiVerdict::kUnauthorized;
}

}  // namespace tagvane
