#include "api/api_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "api/api_members.h"
#include "core/ini_tool.h"
#include "core/numbers.h"
#include "core/paths.h"
#include "core/text.h"

namespace tagvane {
namespace {

// An answer larger than this is not read to its end.
constexpr size_t kMaxAnswerBytes = 16 * 1024 * 1024;

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// Connects within the time-out; returns the connected socket's descriptor.
int Connect(const ApiAddress& ep, int timeout_seconds) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(ep.port);
  if (int rc = getaddrinfo(ep.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    throw ApiConnectionError("cannot resolve " + ep.host + ": " + gai_strerror(rc));
  }
  std::string failure = "no address for " + ep.host;
  for (addrinfo* a = found; a; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                            a->ai_protocol);
    if (fd < 0) {
      failure = SystemError("socket");
      continue;
    }
    int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      rc = ::poll(&p, 1, timeout_seconds * 1000);
      if (rc == 0) {
        errno = ETIMEDOUT;
        rc = -1;
      } else if (rc > 0) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        errno = err;
        rc = err == 0 ? 0 : -1;
      }
    }
    if (rc == 0) {
      freeaddrinfo(found);
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      timeval tv{timeout_seconds, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      return fd;
    }
    failure = SystemError("cannot connect to " + ep.Url());
    ::close(fd);
  }
  freeaddrinfo(found);
  throw ApiConnectionError(failure);
}

std::string PercentEncode(std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

ApiReply ParseAnswer(const std::string& raw) {
  const size_t head_end = raw.find("\r\n\r\n");
  if (!StartsWithNoCase(raw, "HTTP/") || head_end == std::string::npos) {
    throw ApiConnectionError(raw.empty() ? "the daemon closed the connection without an answer"
                                         : "the answer is not HTTP");
  }
  ApiReply reply;
  const size_t space = raw.find(' ');
  reply.status = space < head_end ? static_cast<int>(LeadingNumber(raw.substr(space + 1, 3))) : 0;
  if (reply.status < 100) throw ApiConnectionError("the answer has no HTTP status");
  std::string body = raw.substr(head_end + 4);
  for (const std::string& line : Split(std::string_view(raw).substr(0, head_end), "\r\n")) {
    if (StartsWithNoCase(line, "Content-Length:")) {
      const double length = LeadingNumber(TrimSpaces(std::string_view(line).substr(15)));
      if (length > static_cast<double>(body.size())) {
        throw ApiConnectionError("the answer was cut short");
      }
      body.resize(static_cast<size_t>(length));
    }
  }
  if (TrimSpaces(body).empty()) return reply;
  reply.body = ApiJson::parse(body, nullptr, false);
  if (reply.body.is_discarded()) {
    if (reply.Ok()) throw ApiConnectionError("the answer is not JSON");
    reply.body = nullptr;
  }
  return reply;
}

}  // namespace

std::string ApiAddress::Url() const {
  const bool v6 = host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

ApiAddress ParseApiUrl(std::string_view url) {
  const std::string shown(url);
  if (!StartsWithNoCase(url, "http://")) {
    throw std::invalid_argument("URL \"" + shown + "\" does not start with http://");
  }
  std::string_view rest = url.substr(7);
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  ApiAddress ep;
  std::string_view port;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) throw std::invalid_argument("URL \"" + shown + "\": no ]");
    ep.host = rest.substr(1, close - 1);
    rest.remove_prefix(close + 1);
    if (!rest.empty() && rest.front() != ':') {
      throw std::invalid_argument("URL \"" + shown + "\": text after the address");
    }
    port = rest.empty() ? "" : rest.substr(1);
  } else {
    const size_t colon = rest.find(':');
    ep.host = rest.substr(0, colon);
    port = colon == std::string_view::npos ? "" : rest.substr(colon + 1);
  }
  for (char c : ep.host) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@' || c == '?' || c == '#') {
      throw std::invalid_argument("URL \"" + shown + "\": only http://HOST:PORT is understood");
    }
  }
  if (ep.host.empty()) throw std::invalid_argument("URL \"" + shown + "\" names no host");
  ep.port = 80;
  if (!port.empty()) {
    const bool digits = port.size() <= 5 && port.find_first_not_of("0123456789") == port.npos;
    const long n = digits ? std::strtol(std::string(port).c_str(), nullptr, 10) : 0;
    if (n < 1 || n > 65535) throw std::invalid_argument("URL \"" + shown + "\": bad port");
    ep.port = static_cast<uint16_t>(n);
  }
  return ep;
}

ApiAddress EndpointFromAppDir(const std::filesystem::path& dir) {
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    throw std::invalid_argument("no application folder " + dir.string());
  }
  IniTool ini;
  const auto path = ResolveBelow(dir, "Config/Tagvane.ini");
  if (path && std::filesystem::exists(*path, ec)) {
    if (::access(path->c_str(), R_OK) != 0) {
      throw std::invalid_argument("cannot read " + path->string() + ": " + std::strerror(errno) +
                                  " (it holds the API token: run as the service's user or root, "
                                  "or give --token)");
    }
    ini.Load(*path);
  }
  ApiAddress ep;
  const double port = LeadingNumber(RemoveQuotes(ini.Read("RFID", "HTTPPort", "8017")));
  if (port >= 1 && port <= 65535) ep.port = static_cast<uint16_t>(port);
  ep.token = RemoveQuotes(TrimSpaces(ini.Read("RFID", "APIToken", "")));
  return ep;
}

std::optional<std::filesystem::path> DefaultAppDir(const EnvLookup& get_env) {
  std::vector<std::filesystem::path> candidates;
  if (auto dir = get_env("TAGVANE_APP_DIR"); dir && !dir->empty()) candidates.emplace_back(*dir);
  candidates.push_back(std::filesystem::path(ExecutablePath(nullptr)).parent_path());
  candidates.emplace_back(kServiceAppDir);
  for (const auto& dir : candidates) {
    const auto ini = ResolveBelow(dir, "Config/Tagvane.ini");
    if (ini && ::access(ini->c_str(), R_OK) == 0) return dir;
  }
  return std::nullopt;
}

std::optional<std::string> ProcessEnv(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

ApiAddress ChooseEndpoint(const EndpointOptions& options, const EnvLookup& get_env) {
  ApiAddress ep;
  if (!options.url.empty()) {
    ep = ParseApiUrl(options.url);
    ep.token = get_env("TAGVANE_API_TOKEN").value_or("");
  } else if (!options.app_dir.empty()) {
    ep = EndpointFromAppDir(options.app_dir);
  } else if (auto url = get_env("TAGVANE_API_URL"); url && !url->empty()) {
    ep = ParseApiUrl(*url);
    ep.token = get_env("TAGVANE_API_TOKEN").value_or("");
  } else if (auto dir = DefaultAppDir(get_env)) {
    ep = EndpointFromAppDir(*dir);
    if (auto token = get_env("TAGVANE_API_TOKEN")) ep.token = *token;
  } else {
    ep.token = get_env("TAGVANE_API_TOKEN").value_or("");
  }
  if (options.token) ep.token = *options.token;
  if (ep.token.find_first_of("\r\n") != std::string::npos) {
    throw std::invalid_argument("the token holds a line break");
  }
  return ep;
}

std::string ApiReply::ErrorText() const {
  if (body.is_object() && body.contains("error") && body["error"].is_string()) {
    std::string text = JsonTextToBytes(body["error"].get<std::string>());
    if (body.contains("parameter") && body["parameter"].is_string()) {
      text += " (parameter " + body["parameter"].get<std::string>() + ")";
    }
    return text;
  }
  return "HTTP status " + std::to_string(status);
}

ApiReply ApiClient::Call(std::string_view member, const ApiJson& args) const {
  return Post(member, args.dump());
}

ApiReply ApiClient::Post(std::string_view member, std::string_view body) const {
  return Exchange("POST", member, body);
}

ApiReply ApiClient::Get(std::string_view path) const { return Exchange("GET", path, ""); }

ApiClient::~ApiClient() { Disconnect(); }

void ApiClient::Disconnect() const {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

ApiReply ApiClient::Exchange(std::string_view method, std::string_view path,
                             std::string_view body) const {
  std::string request = std::string(method) + " /api/" + PercentEncode(path) + " HTTP/1.1\r\n";
  request += "Host: " + endpoint_.Url().substr(7) + "\r\n";
  request += "Accept: application/json\r\n";
  if (!endpoint_.token.empty()) request += "Authorization: Bearer " + endpoint_.token + "\r\n";
  if (method == "POST") {
    request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n";
  }
  request += "\r\n";
  request += body;
  const bool reused = fd_ >= 0;
  if (!reused) fd_ = Connect(endpoint_, timeout_seconds_);
  std::optional<std::string> raw = TryExchange(request, reused);
  if (!raw) {
    // The daemon closed the kept connection before it saw this request.
    Disconnect();
    fd_ = Connect(endpoint_, timeout_seconds_);
    raw = TryExchange(request, false);
  }
  return ParseAnswer(*raw);
}

std::optional<std::string> ApiClient::TryExchange(const std::string& request, bool reused) const {
  // One write: the daemon reads the body with the head.
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && reused && sent == 0 && (errno == EPIPE || errno == ECONNRESET)) return std::nullopt;
    if (n < 0) {
      Disconnect();
      throw ApiConnectionError(SystemError("sending to " + endpoint_.Url()));
    }
    sent += static_cast<size_t>(n);
  }
  // One answer: its head, then Content-Length bytes (or up to the close).
  std::string raw;
  size_t want = std::string::npos;
  bool keep = false;
  char buffer[16384];
  while (raw.size() < want) {
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 && raw.empty() && reused && (n == 0 || errno == ECONNRESET)) return std::nullopt;
    if (n < 0) {
      const bool timeout = errno == EAGAIN || errno == EWOULDBLOCK;
      const std::string what = timeout ? "no answer from " + endpoint_.Url() + " within " +
                                             std::to_string(timeout_seconds_) + " s"
                                       : SystemError("reading from " + endpoint_.Url());
      Disconnect();
      throw ApiConnectionError(what);
    }
    if (n == 0) {
      keep = false;
      break;
    }
    raw.append(buffer, static_cast<size_t>(n));
    if (raw.size() > kMaxAnswerBytes) {
      Disconnect();
      throw ApiConnectionError("the answer is too large");
    }
    const size_t head_end = raw.find("\r\n\r\n");
    if (want == std::string::npos && head_end != std::string::npos) {
      keep = true;
      for (const std::string& line : Split(std::string_view(raw).substr(0, head_end), "\r\n")) {
        if (StartsWithNoCase(line, "Content-Length:")) {
          want = head_end + 4 +
                 static_cast<size_t>(LeadingNumber(TrimSpaces(std::string_view(line).substr(15))));
        } else if (StartsWithNoCase(line, "Connection:") &&
                   FindNoCase(line, "close") != std::string::npos) {
          keep = false;
        }
      }
      if (want == std::string::npos) keep = false;  // ends at the close
    }
  }
  if (!keep) Disconnect();
  return raw;
}

int ReportFailure(std::string_view program, int code, const std::string& message) {
  std::cerr << program << ": " << message << std::endl;
  return code;
}

std::string JsonTextToBytes(const std::string& utf8) {
  std::string bytes;
  return TextFromJson(utf8, &bytes) ? bytes : utf8;
}

}  // namespace tagvane
