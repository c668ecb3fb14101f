// Password protection of the pages in the BASIC security mode: the users of
// Config/users.ini (section "Users", name = crypt(3) hash made with the
// strongest method libcrypt offers; never a clear password), HTTP Basic
// credentials, and the growing delay that slows guessing from one client
// address. Nothing here writes a password or a hash to any log.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tagvane {

inline constexpr std::string_view kUsersFile = "users.ini";
inline constexpr std::string_view kUsersSection = "Users";
inline constexpr std::string_view kRealm = "Tagvane";

// A new hash of password with a fresh salt; throws std::runtime_error when
// libcrypt cannot make one.
std::string HashPassword(std::string_view password);
// True when password matches hash (an empty or disabled hash never matches).
bool VerifyPassword(std::string_view password, std::string_view hash);

struct BasicCredentials {
  std::string user;
  std::string password;
};
// The credentials of an "Authorization: Basic <base64>" header; nullopt for
// any other scheme, bad base64 or a decoded text without ":".
std::optional<BasicCredentials> ParseBasicAuthorization(std::string_view header);

// A user name usable as an INI key: 1-64 printable characters without
// ":", "=", "[", "]" or surrounding blanks.
bool ValidUserName(std::string_view name);

// Adds or replaces a user (file created when missing, readable by its owner
// only). Throws std::runtime_error on a bad name or a write failure.
void SetUserPassword(const std::filesystem::path& config_dir, std::string_view name,
                     std::string_view password);
// False when there was no such user.
bool RemoveUser(const std::filesystem::path& config_dir, std::string_view name);

// Failed attempts per client address and the delay they earn: 250 ms after
// the first, doubling with each further failure up to 16 s; forgotten after
// 15 quiet minutes or a success. At most kMaxClients addresses are kept
// (the oldest is dropped first), so a flood of addresses cannot grow it.
class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMaxClients = 4096;
  static constexpr std::chrono::milliseconds kFirstDelay{250};
  static constexpr std::chrono::milliseconds kMaxDelay{16000};
  static constexpr std::chrono::minutes kForgetAfter{15};

  // Records a failure; returns the failures counted for the address.
  int Failure(const std::string& client, Clock::time_point now = Clock::now());
  void Success(const std::string& client) { entries_.erase(client); }
  // The delay an address earns with its failures: no password from it is
  // checked again until this long after its last failure.
  std::chrono::milliseconds Delay(const std::string& client,
                                  Clock::time_point now = Clock::now()) const;
  // How long client must still wait before its next check (0: none).
  std::chrono::milliseconds Remaining(const std::string& client,
                                      Clock::time_point now = Clock::now()) const;
  size_t Size() const { return entries_.size(); }

 private:
  struct Entry {
    int failures = 0;
    Clock::time_point last;
  };
  std::unordered_map<std::string, Entry> entries_;
};

// Bounds the time the whole daemon spends checking passwords, so a guessing
// flood from many addresses cannot hold the loop: a credit of at most kBurst
// of hashing time, refilled at kShare of the time that passes. A check may
// start while the credit is above zero and is charged what it took; with a
// check of about 33 ms at most two run back to back, and about six a second
// on average.
class HashBudget {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::microseconds kBurst{35000};
  static constexpr double kShare = 0.2;

  bool Allow(Clock::time_point now = Clock::now());
  void Charge(std::chrono::microseconds spent) { credit_us_ -= static_cast<double>(spent.count()); }

 private:
  double credit_us_ = static_cast<double>(kBurst.count());
  Clock::time_point last_{};
};

}  // namespace tagvane
