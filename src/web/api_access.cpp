#include "web/api_access.h"

#include <sys/random.h>
#include <sys/stat.h>

#include <asio/ip/address.hpp>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "core/ini_cache.h"
#include "core/ini_tool.h"
#include "core/paths.h"
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
                         std::string_view authorization, ApiCallKind kind,
                         std::string_view job_token) {
  const std::string token = ApiToken(ini);
  if (!IsLoopbackAddress(client_address)) {
    if (token.empty() || !EqualsNoCase(Setting(ini, "APIAccess"), "any")) {
      return ApiVerdict::kForbidden;
    }
    return BearerTokenMatches(authorization, token) ? ApiVerdict::kAllowed
                                                    : ApiVerdict::kUnauthorized;
  }
  if (BearerTokenMatches(authorization, token) || BearerTokenMatches(authorization, job_token)) {
    return ApiVerdict::kAllowed;
  }
  switch (kind) {
    case ApiCallKind::kReads: return ApiVerdict::kAllowed;
    case ApiCallKind::kChanges: return token.empty() ? ApiVerdict::kAllowed : ApiVerdict::kUnauthorized;
    case ApiCallKind::kRunsCode: break;
  }
  return token.empty() ? ApiVerdict::kNoToken : ApiVerdict::kUnauthorized;
}

std::string RandomToken() {
  unsigned char bytes[32];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error(std::string("getrandom: ") + std::strerror(errno));
    got += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

bool EnsureApiToken(const std::filesystem::path& app_dir) {
  auto config = ResolveBelow(app_dir, "Config");
  if (!config) throw std::runtime_error(app_dir.string() + ": not an application folder");
  std::filesystem::create_directories(*config);
  auto path = ResolveBelow(*config, kSettingsFile);
  if (!path) throw std::runtime_error(config->string() + ": no place for " + std::string(kSettingsFile));
  IniTool ini;
  ini.Load(*path);
  const bool write = RemoveQuotes(TrimSpaces(ini.Read("RFID", "APIToken", ""))).empty();
  if (write) {
    ini.WriteKey("RFID", "APIToken", RandomToken());
    // A new file is never readable by others, not even for a moment.
    const mode_t old_mask = ::umask(S_IRWXG | S_IRWXO);
    try {
      ini.Save();
    } catch (...) {
      ::umask(old_mask);
      throw;
    }
    ::umask(old_mask);
  }
  for (const std::string& file : {path->string(), path->string() + "_bck"}) {
    if (::chmod(file.c_str(), S_IRUSR | S_IWUSR) != 0 && errno != ENOENT) {
      throw std::runtime_error(file + ": " + std::strerror(errno));
    }
  }
  return write;
}

}  // namespace tagvane
