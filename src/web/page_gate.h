// PageGate: what the built-in server checks before it serves a request.
// In the BASIC security mode it authenticates pages itself (HTTP Basic
// against Config/users.ini): a valid user becomes the request's AUTH_USER;
// anyone else gets the 401 challenge. An address earns a delay that grows
// with its failed attempts; while it waits the delay out its credentials are
// answered 429 without being checked, and the checking time of the whole
// daemon is bounded (HashBudget; 503 beyond it). The help page needs no
// password. It also answers /metrics under the machine-endpoint access rule.
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
  // Password checks run so far (hash computations, dummy ones included).
  uint64_t Checks() const { return checks_; }
  // Delayed answers still waiting; beyond kMaxPending a request is left
  // unanswered (its connection closes when the client gives up).
  size_t Pending() const { return pending_; }
  static constexpr size_t kMaxPending = 64;

 private:
  void Answer(int s, uint64_t generation, std::string text, std::chrono::milliseconds delay);

  TCPServer& server_;
  App& app_;
  // A password check, bounded by budget_; an unknown user is checked
  // against a dummy hash so that timing does not tell user names apart.
  bool Check(std::string_view password, const std::string& hash);

  LoginThrottle throttle_;
  HashBudget budget_;
  std::string dummy_hash_;
  uint64_t checks_ = 0;
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
