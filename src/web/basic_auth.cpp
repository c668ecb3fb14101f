#include "web/basic_auth.h"

#include <crypt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "core/ini_tool.h"
#include "core/paths.h"
#include "core/text.h"
#include "web/api_access.h"

namespace tagvane {
namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  size_t padding = 0;
  for (char c : text) {
    if (c == '=') {
      ++padding;
      continue;
    }
    if (padding) return std::nullopt;  // data after padding
    const int v = Base64Value(c);
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  if (padding > 2) return std::nullopt;
  return out;
}

std::filesystem::path UsersPath(const std::filesystem::path& config_dir) {
  if (auto found = ResolveBelow(config_dir, std::string(kUsersFile))) return *found;
  return config_dir / std::string(kUsersFile);
}

void OwnerOnly(const std::filesystem::path& path) {
  ::chmod(path.c_str(), S_IRUSR | S_IWUSR);
  const std::string backup = path.string() + "_bck";
  ::chmod(backup.c_str(), S_IRUSR | S_IWUSR);
}

}  // namespace

std::string HashPassword(std::string_view password) {
  // A null prefix asks for the method libcrypt rates strongest.
  std::unique_ptr<char, FreeDeleter> setting(crypt_gensalt_ra(nullptr, 0, nullptr, 0));
  if (!setting) throw std::runtime_error("no salt from libcrypt");
  void* data = nullptr;
  int size = 0;
  const std::string phrase(password);
  const char* hash = crypt_ra(phrase.c_str(), setting.get(), &data, &size);
  std::string result = hash && hash[0] != '*' ? hash : "";
  std::free(data);
  if (result.empty()) throw std::runtime_error("libcrypt could not hash the password");
  return result;
}

bool VerifyPassword(std::string_view password, std::string_view hash) {
  if (hash.empty() || hash[0] == '*' || hash[0] == '!') return false;
  const std::string phrase(password);
  const std::string setting(hash);
  void* data = nullptr;
  int size = 0;
  const char* out = crypt_ra(phrase.c_str(), setting.c_str(), &data, &size);
  const bool ok = out && out[0] != '*' && ConstantTimeEquals(out, hash);
  std::free(data);
  return ok;
}

std::optional<BasicCredentials> ParseBasicAuthorization(std::string_view header) {
  header = TrimSpaces(header);
  if (!StartsWithNoCase(header, "Basic ")) return std::nullopt;
  const std::string_view encoded = TrimSpaces(header.substr(6));
  if (encoded.empty() || encoded.size() > 1024) return std::nullopt;
  const auto decoded = DecodeBase64(encoded);
  if (!decoded) return std::nullopt;
  const size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return BasicCredentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

bool ValidUserName(std::string_view name) {
  if (name.empty() || name.size() > 64 || TrimSpaces(name) != name) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == ':' || c == '=' || c == '[' || c == ']' || c == '"') {
      return false;
    }
  }
  return true;
}

void SetUserPassword(const std::filesystem::path& config_dir, std::string_view name,
                     std::string_view password) {
  if (!ValidUserName(name)) throw std::runtime_error("not a usable user name");
  std::filesystem::create_directories(config_dir);
  IniTool ini;
  ini.Load(UsersPath(config_dir));
  ini.WriteKey(kUsersSection, name, HashPassword(password));
  ini.Save();
  OwnerOnly(ini.Path());
}

bool RemoveUser(const std::filesystem::path& config_dir, std::string_view name) {
  IniTool ini;
  ini.Load(UsersPath(config_dir));
  if (ini.Read(kUsersSection, name, "").empty()) return false;
  ini.RemoveKey(kUsersSection, name);
  ini.Save();
  OwnerOnly(ini.Path());
  return true;
}

int LoginThrottle::Failure(const std::string& client, Clock::time_point now) {
  auto it = entries_.find(client);
  if (it != entries_.end() && now - it->second.last > kForgetAfter) it->second.failures = 0;
  if (it == entries_.end()) {
    if (entries_.size() >= kMaxClients) {
      auto oldest = entries_.begin();
      for (auto e = entries_.begin(); e != entries_.end(); ++e) {
        if (e->second.last < oldest->second.last) oldest = e;
      }
      entries_.erase(oldest);
    }
    it = entries_.emplace(client, Entry{}).first;
  }
  if (it->second.failures < 1000) ++it->second.failures;
  it->second.last = now;
  return it->second.failures;
}

std::chrono::milliseconds LoginThrottle::Delay(const std::string& client,
                                               Clock::time_point now) const {
  auto it = entries_.find(client);
  if (it == entries_.end() || now - it->second.last > kForgetAfter) return {};
  std::chrono::milliseconds delay = kFirstDelay;
  for (int i = 1; i < it->second.failures && delay < kMaxDelay; ++i) delay *= 2;
  return delay < kMaxDelay ? delay : kMaxDelay;
}

std::chrono::milliseconds LoginThrottle::Remaining(const std::string& client,
                                                   Clock::time_point now) const {
  auto it = entries_.find(client);
  if (it == entries_.end() || it->second.failures == 0) return {};
  const auto until = it->second.last + Delay(client, now);
  if (until <= now) return {};
  return std::chrono::ceil<std::chrono::milliseconds>(until - now);
}

bool HashBudget::Allow(Clock::time_point now) {
  if (last_ != Clock::time_point{}) {
    const double passed = std::chrono::duration<double, std::micro>(now - last_).count();
    credit_us_ = std::min(static_cast<double>(kBurst.count()), credit_us_ + passed * kShare);
  }
  last_ = now;
  return credit_us_ > 0;
}

}  // namespace tagvane
