// PageGate: what the built-in server checks before it serves a request.
// In the BASIC security mode it authenticates pages itself (HTTP Basic
// against Config/users.ini): a valid user becomes the request's AUTH_USER;
// anyone else gets the 401 challenge, after a delay that grows with the
// failed attempts from that address and runs on a timer, never blocking the
// loop. It also answers /metrics under the machine-endpoint access rule.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "web/basic_auth.h"

namespace tagvane {

class App;
class Request;
class Response;
class TCPServer;

class PageGate {
 public:
  explicit PageGate(TCPServer& server);
  ~PageGate();

  // For a page that needs the higher level: true when it may be served;
  // otherwise the challenge has been sent or is scheduled and the caller
  // must not answer.
  bool Admit(Request& request, const Response& response, int s, std::string_view page);
  // Answers /metrics (the exposition, or 401 for a client without access).
  void ServeMetrics(Request& request, const Response& response, int s);

  bool BasicMode() const;
  const LoginThrottle& Throttle() const { return throttle_; }
  // Delayed answers still waiting; beyond kMaxPending a request is left
  // unanswered (its connection closes when the client gives up).
  size_t Pending() const { return pending_; }
  static constexpr size_t kMaxPending = 64;

 private:
  void Answer(int s, uint64_t generation, std::string text, std::chrono::milliseconds delay);

  TCPServer& server_;
  App& app_;
  LoginThrottle throttle_;
  // The last accepted credentials per user, so a browser's repeated header
  // does not cost a hash each time (about 30 ms of CPU for yescrypt). Valid
  // for kRememberFor and only while the user's stored hash is unchanged;
  // held in memory only.
  struct Accepted {
    std::string header;
    std::string hash;
    std::chrono::steady_clock::time_point until;
  };
  std::unordered_map<std::string, Accepted> accepted_;
  static constexpr std::chrono::minutes kRememberFor{5};
  static constexpr size_t kMaxRemembered = 64;
  size_t pending_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Refreshes the per-tag gauges (accepted devices of this receiver).
void CollectTagMetrics(App& app);

}  // namespace tagvane
