#include "api/api_server.h"

#include <algorithm>
#include <array>
#include <asio/write.hpp>

#include "core/app.h"
#include "core/failure.h"
#include "core/logger.h"
#include "web/page_answer.h"

namespace tagvane {

class ApiServer::Connection final : public ApiReplyTo,
                                    public StreamSink,
                                    public std::enable_shared_from_this<Connection> {
 public:
  enum class State { kOpen, kClosing, kLinger, kStream, kClosed };

  Connection(ApiServer& server, asio::ip::tcp::socket socket, std::string peer)
      : server_(server), socket_(std::move(socket)), peer_(std::move(peer)) {}

  void Start(std::string_view first_packet) {
    OnBytes(first_packet);
    Read();
  }

  // ApiReplyTo
  std::shared_ptr<ApiReplyTo> Later() override {
    later_ = true;
    return shared_from_this();
  }
  void Answer(int status, std::string_view content_type, std::string_view body,
              std::string_view extra_headers) override {
    if (answered_ || state_ != State::kOpen) return;
    answered_ = true;
    std::string headers(extra_headers);
    if (!keep_alive_) {
      headers += "Connection: close\r\n";
    } else if (http10_) {
      headers += "Connection: keep-alive\r\n";
    }
    Queue(BuildAnswer(status, content_type, body, headers));
    if (!keep_alive_ && state_ == State::kOpen) state_ = State::kClosing;
    if (later_) {
      later_ = false;
      if (!serving_) {  // an answer from the loop: the requests behind it go on
        Touch();
        ServeReady();
      }
    }
  }
  std::shared_ptr<StreamSink> OpenStream(std::string_view content_type) override {
    answered_ = true;
    std::string head = "HTTP/1.1 200 OK\r\nServer: qbx\r\nContent-Type: ";
    head += content_type;
    head += "\r\nCache-Control: no-cache\r\nX-Accel-Buffering: no\r\n\r\n";
    Queue(std::move(head));
    state_ = State::kStream;
    return shared_from_this();
  }

  // StreamSink
  bool Open() const override { return state_ == State::kStream; }
  size_t Queued() const override { return writing_.size() + pending_.size(); }
  void Write(std::string_view bytes) override {
    if (state_ != State::kStream) return;
    pending_.append(bytes);
    Flush();
  }
  void Close() override { Shutdown(); }

  State state() const { return state_; }
  // Nothing asked, owed or streaming: a connection that may be closed.
  bool Idle() const {
    return state_ == State::kOpen && !serving_ && !later_ && !parser_.Partial() && Queued() == 0;
  }
  uint64_t last_activity() const { return last_activity_; }

  // One sweep of the server's timer.
  void Sweep(int idle_sweeps, int wait_sweeps) {
    const int quiet = ++quiet_sweeps_;
    switch (state_) {
      case State::kOpen:
        if (serving_ || later_) return;
        if (parser_.Partial() && quiet >= wait_sweeps) {
          Refuse(408, "the request was not complete within 5 s");
        } else if (quiet >= idle_sweeps) {
          Shutdown();
        }
        return;
      case State::kClosing:  // the reader never took its last answer
        if (quiet >= wait_sweeps) Shutdown();
        return;
      case State::kLinger:
        if (quiet * kSweepMs >= kLingerMs) Shutdown();
        return;
      default:
        return;
    }
  }

  void Shutdown() {
    if (state_ == State::kClosed) return;
    const bool stream = state_ == State::kStream;
    state_ = State::kClosed;
    asio::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    server_.Remove(this);
    if (stream) server_.events_.Prune();
  }

  // An answer that ends the connection, sent whatever was asked before.
  void Refuse(int status, const std::string& why) {
    if (state_ != State::kOpen) return;
    answered_ = false;
    keep_alive_ = false;
    Answer(status, "application/json", "{\"error\":" + JsonString(why) + "}", "");
    linger_ = true;
    Flush();
  }

 private:
  void Touch() {
    quiet_sweeps_ = 0;
    last_activity_ = ++server_.activity_;
  }

  void Read() {
    auto self = shared_from_this();
    std::weak_ptr<bool> alive = server_.alive_;
    socket_.async_read_some(
        asio::buffer(buffer_), [this, self, alive](const asio::error_code& ec, size_t n) {
          if (alive.expired() || state_ == State::kClosed) return;
          if (ec) {
            // The end of the client's input: what is owed still goes out.
            if (ec == asio::error::eof && state_ == State::kOpen && Queued() > 0) {
              state_ = State::kClosing;
              Flush();
            } else {
              Shutdown();
            }
            return;
          }
          Guard(server_.app_.Log(), "ApiConnection",
                [&] { OnBytes(std::string_view(buffer_.data(), n)); });
          if (state_ != State::kClosed) Read();
        });
  }

  void OnBytes(std::string_view bytes) {
    Touch();
    // A stream reads only to learn that its reader has gone; a closing
    // connection drops what still arrives.
    if (state_ != State::kOpen) return;
    parser_.Feed(bytes);
    ServeReady();
  }

  void ServeReady() {
    if (serving_) return;  // a call that pumps the loop serves the rest itself
    serving_ = true;
    auto self = shared_from_this();
    while (state_ == State::kOpen && !later_) {
      ApiHttpRequest request;
      const auto result = parser_.Next(&request);
      if (result == ApiRequestParser::Result::kNeedMore) break;
      if (result == ApiRequestParser::Result::kError) {
        Refuse(parser_.ErrorStatus(), parser_.ErrorText());
        break;
      }
      request.peer = peer_;
      answered_ = false;
      keep_alive_ = request.keep_alive;
      http10_ = request.http10;
      server_.app_.GetMetrics().Add("tagvane_http_requests_total", 1, MetricLabel("kind", "api"));
      Guard(server_.app_.Log(), "ApiServe", [&] { server_.endpoint_.Serve(request, *this); });
      if (later_) break;  // answered from the loop; Answer serves the rest
      if (!answered_) Answer(500, "application/json", "{\"error\":\"the call failed\"}", "");
      Touch();
    }
    serving_ = false;
    Flush();
  }

  void Queue(std::string bytes) {
    if (pending_.empty()) {
      pending_ = std::move(bytes);
    } else {
      pending_ += bytes;
    }
    if (Queued() > kMaxOutgoing && state_ != State::kStream) {
      server_.app_.Log().LogEventLimited(
          "ApiServer dropped", kProductSource,
          "ApiServer closed a connection from " + peer_ + " that stopped reading its answers");
      Shutdown();
    }
  }

  // Writes what is pending unless a write is on its way; closes a closing
  // connection once everything has gone.
  void Flush() {
    if (writing_active_ || state_ == State::kClosed || serving_) return;
    if (pending_.empty()) {
      if (state_ == State::kClosing) {
        if (linger_) {
          asio::error_code ec;
          socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
          state_ = State::kLinger;
          quiet_sweeps_ = 0;
        } else {
          Shutdown();
        }
      }
      return;
    }
    writing_.swap(pending_);
    pending_.clear();
    writing_active_ = true;
    auto self = shared_from_this();
    std::weak_ptr<bool> alive = server_.alive_;
    asio::async_write(socket_, asio::buffer(writing_),
                      [this, self, alive](const asio::error_code& ec, size_t) {
                        if (alive.expired()) return;
                        writing_active_ = false;
                        writing_.clear();
                        if (state_ == State::kClosed) return;
                        if (ec) {
                          Shutdown();
                          return;
                        }
                        quiet_sweeps_ = 0;
                        Flush();
                      });
  }

  ApiServer& server_;
  asio::ip::tcp::socket socket_;
  std::string peer_;
  ApiRequestParser parser_;
  State state_ = State::kOpen;
  bool serving_ = false;
  bool answered_ = false;
  bool later_ = false;  // the request being served is answered from the loop
  bool keep_alive_ = true;
  bool http10_ = false;
  bool linger_ = false;
  bool writing_active_ = false;
  std::string writing_;
  std::string pending_;
  int quiet_sweeps_ = 0;
  uint64_t last_activity_ = 0;
  std::array<char, 16384> buffer_{};
};

ApiServer::ApiServer(App& app, ScriptHost& host, std::string job_token)
    : app_(app),
      endpoint_(app, host, std::move(job_token)),
      events_(app),
      sweep_(app.Timers()),
      alive_(std::make_shared<bool>(true)) {
  sweep_.SetInterval(kSweepMs);
  sweep_.SetOnTick([this] { Guard(app_.Log(), "ApiServer Sweep", [&] { Sweep(); }); });
  endpoint_.AddResource("events", [this](const ApiHttpRequest& request, ApiReplyTo& reply) {
    events_.Serve(request, reply);
  });
  app_.GetMetrics().Define("tagvane_api_connections", Metrics::Kind::kGauge,
                           "Open connections of the JSON API (event streams included).");
  app_.GetMetrics().Set("tagvane_api_connections", 0);
}

ApiServer::~ApiServer() {
  Close();
  *alive_ = false;
}

bool ApiServer::Wants(std::string_view first_packet) const { return AsksForApi(first_packet); }

void ApiServer::Take(asio::ip::tcp::socket socket, std::string peer, std::string first_packet) {
  auto c = std::make_shared<Connection>(*this, std::move(socket), std::move(peer));
  const bool room = connections_.size() < kMaxConnections || EvictOldestIdle();
  connections_.push_back(c);
  app_.GetMetrics().Set("tagvane_api_connections", static_cast<double>(connections_.size()));
  sweep_.SetEnabled(true);
  if (!room) {
    // Every connection is busy: this one is told so and closed.
    c->Refuse(503, "the API has " + std::to_string(kMaxConnections) + " busy connections");
    if (c->state() != Connection::State::kClosed) c->Start("");
    return;
  }
  c->Start(first_packet);
}

bool ApiServer::EvictOldestIdle() {
  Connection* oldest = nullptr;
  for (const auto& c : connections_) {
    if (c->Idle() && (!oldest || c->last_activity() < oldest->last_activity())) oldest = c.get();
  }
  if (!oldest) return false;
  oldest->Shutdown();
  return true;
}

void ApiServer::Remove(const Connection* c) {
  std::erase_if(connections_, [c](const auto& p) { return p.get() == c; });
  app_.GetMetrics().Set("tagvane_api_connections", static_cast<double>(connections_.size()));
  if (connections_.empty()) sweep_.SetEnabled(false);
}

void ApiServer::Sweep() {
  const auto list = connections_;
  for (const auto& c : list) c->Sweep(idle_sweeps_, wait_sweeps_);
}

void ApiServer::SetLimits(int idle_ms, int request_wait_ms) {
  idle_sweeps_ = std::max(1, (idle_ms + kSweepMs - 1) / kSweepMs);
  wait_sweeps_ = std::max(1, (request_wait_ms + kSweepMs - 1) / kSweepMs);
}

void ApiServer::Close() {
  events_.Close();
  const auto list = std::move(connections_);
  connections_.clear();
  for (const auto& c : list) c->Shutdown();
  sweep_.SetEnabled(false);
}

}  // namespace tagvane
