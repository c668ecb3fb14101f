// The blocking client of the daemon's JSON API, for the companion programs
// (tagvane-ctl, tagvane-run). The daemon itself never uses it: each call
// waits for its answer. Calls share one keep-alive connection; one that the
// daemon closed meanwhile (its idle limit) is opened again for the call.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tagvane {

// Collections keep their order, so objects are read in document order.
using ApiJson = nlohmann::ordered_json;

inline constexpr uint16_t kDefaultApiPort = 8017;

struct ApiAddress {
  std::string host = "127.0.0.1";
  uint16_t port = kDefaultApiPort;
  std::string token;  // empty: no Authorization header
  std::string Url() const;
};

// A call that got no answer: a bad address, no connection, a time-out, or
// an answer that is not HTTP with a JSON body.
class ApiConnectionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "http://host:port" (an optional trailing "/"; "[::1]" for IPv6; port 80
// when left out). Throws std::invalid_argument naming what is wrong.
ApiAddress ParseApiUrl(std::string_view url);

// HTTPPort and APIToken from section "RFID" of DIR/Config/Tagvane.ini
// (names in any letter case, quotes removed; port 8017 when absent).
// Throws std::invalid_argument when dir is not a folder, or when the file
// is there but cannot be read.
ApiAddress EndpointFromAppDir(const std::filesystem::path& dir);

using EnvLookup = std::function<std::optional<std::string>(const char*)>;

// The packaged service's application folder.
inline constexpr const char* kServiceAppDir = "/var/lib/tagvane";

// The application folder to read when none is named: the first of
// TAGVANE_APP_DIR, the folder of the running program and kServiceAppDir
// whose Config/Tagvane.ini this user can read.
std::optional<std::filesystem::path> DefaultAppDir(const EnvLookup& get_env);

// Where a program's calls go: --url, else --app-dir, else TAGVANE_API_URL
// (with TAGVANE_API_TOKEN), else the DefaultAppDir, else 127.0.0.1:8017;
// TAGVANE_API_TOKEN, when set, wins over a token from a default folder. A given token wins over any other. get_env
// returns nullopt for an unset variable.
struct EndpointOptions {
  std::string url;
  std::string app_dir;
  std::optional<std::string> token;
};
ApiAddress ChooseEndpoint(const EndpointOptions& options, const EnvLookup& get_env);
// The process environment.
std::optional<std::string> ProcessEnv(const char* name);

struct ApiReply {
  int status = 0;
  ApiJson body;  // null when the answer had no body
  bool Ok() const { return status == 200; }
  // For a failed call: the daemon's "error" (with the parameter it names),
  // or the HTTP status when the answer says nothing more.
  std::string ErrorText() const;
};

class ApiClient {
 public:
  explicit ApiClient(ApiAddress endpoint, int timeout_seconds = 120)
      : endpoint_(std::move(endpoint)), timeout_seconds_(timeout_seconds) {}
  ~ApiClient();
  ApiClient(const ApiClient&) = delete;
  ApiClient& operator=(const ApiClient&) = delete;

  // POST /api/<member> with args (an array or an object) as the body.
  ApiReply Call(std::string_view member, const ApiJson& args) const;
  // POST /api/<member> with body sent as it stands.
  ApiReply Post(std::string_view member, std::string_view body) const;
  // GET /api/<path>.
  ApiReply Get(std::string_view path) const;
  const ApiAddress& endpoint() const { return endpoint_; }

 private:
  ApiReply Exchange(std::string_view method, std::string_view path, std::string_view body) const;
  // Sends request on the kept connection and reads one answer; nullopt
  // when a reused connection turned out closed before any answer byte.
  std::optional<std::string> TryExchange(const std::string& request, bool reused) const;
  void Disconnect() const;

  ApiAddress endpoint_;
  int timeout_seconds_;
  // The kept connection (-1: none). Calls are const; the connection is a
  // cache of the client, not part of its value.
  mutable int fd_ = -1;
};

// Writes "program: message" on standard error; returns code (the
// companion programs' way to end with an error).
int ReportFailure(std::string_view program, int code, const std::string& message);

// A text of an answer as bytes (each code point U+0000-U+00FF one byte, see
// JsonText); a text with a code point above U+00FF is kept as it stands.
std::string JsonTextToBytes(const std::string& utf8);

}  // namespace tagvane
