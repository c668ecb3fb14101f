// The connections of the JSON API. The page server hands over every
// connection whose first packet asks for /api (ConnectionTaker), so an API
// client never holds one of the 25 page sockets and a crowding reset of the
// pages never touches it. Here each request is answered as soon as it is
// complete, on the connection's own bytes, and the connection stays open
// for the next one (HTTP/1.1 keep-alive, "Connection: close" honoured).
//
// Bounds: at most kMaxConnections; a new one beyond that closes the
// connection idle the longest (one with nothing asked, owed or streaming),
// or is answered 503 when there is none. A connection idle for the idle
// limit is closed; a request not complete within the request wait is
// answered 408 and closed; an error that breaks the framing (413, 431...)
// is answered, the sending side closed and the rest read and dropped for a
// moment so the client sees the answer. Unread answers past kMaxOutgoing
// drop the connection. Idle and wait times are counted in sweeps of one
// loop timer, so a request costs no timer change.
#pragma once

#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/api_endpoint.h"
#include "api/event_stream.h"
#include "core/timer.h"
#include "web/tcp_server.h"

namespace tagvane {

class App;
class ScriptHost;

class ApiServer final : public ConnectionTaker {
 public:
  static constexpr size_t kMaxConnections = 64;
  static constexpr size_t kMaxOutgoing = 1 << 20;
  static constexpr int kSweepMs = 250;
  static constexpr int kIdleLimitMs = 60000;
  static constexpr int kRequestWaitMs = 5000;
  static constexpr int kLingerMs = 2000;

  ApiServer(App& app, ScriptHost& host, std::string job_token = "");
  ~ApiServer() override;

  bool Wants(std::string_view first_packet) const override;
  void Take(asio::ip::tcp::socket socket, std::string peer, std::string first_packet) override;
  void Close() override;

  ApiEndpoint& Endpoint() { return endpoint_; }
  EventStream& Events() { return events_; }
  size_t Connections() const { return connections_.size(); }
  // Shorter limits for tests (milliseconds, rounded up to sweeps).
  void SetLimits(int idle_ms, int request_wait_ms);

  class Connection;

 private:
  void Remove(const Connection* c);
  void Sweep();
  bool EvictOldestIdle();

  App& app_;
  ApiEndpoint endpoint_;
  EventStream events_;
  std::vector<std::shared_ptr<Connection>> connections_;
  Timer sweep_;
  uint64_t activity_ = 0;
  int idle_sweeps_ = kIdleLimitMs / kSweepMs;
  int wait_sweeps_ = kRequestWaitMs / kSweepMs;
  std::shared_ptr<bool> alive_;
};

}  // namespace tagvane
