#include "receiver/tcp_link.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

namespace tagvane {

TcpLink::TcpLink(asio::io_context& io)
    : io_(io), socket_(io), resolver_(io), alive_(std::make_shared<bool>(true)) {}

TcpLink::~TcpLink() {
  *alive_ = false;
  resolver_.cancel();
  std::error_code ignored;
  socket_.close(ignored);
}

void TcpLink::Close() {
  ++generation_;
  resolver_.cancel();
  std::error_code ignored;
  socket_.close(ignored);
  state_ = kClosed;
}

void TcpLink::Fail(const std::error_code& ec) {
  ++generation_;
  std::error_code ignored;
  socket_.close(ignored);
  state_ = kError;
  if (handlers_.on_error) handlers_.on_error(ec.value(), ec.message());
}

void TcpLink::StartConnect(const std::string& host, int32_t port) {
  Close();
  ++attempts_;
  state_ = kConnecting;
  const uint64_t generation = generation_;
  std::weak_ptr<bool> alive = alive_;
  auto current = [this, alive, generation] {
    auto token = alive.lock();
    return token && *token && generation == generation_;
  };
  if (port < 1 || port > 65535) {
    // Reported from the loop, as a connect failure would be.
    asio::post(io_, [this, current] {
      if (current()) Fail(asio::error::invalid_argument);
    });
    return;
  }
  std::error_code ec;
  const asio::ip::address address = asio::ip::make_address(host, ec);
  if (!ec) {
    Connect(asio::ip::tcp::endpoint(address, static_cast<uint16_t>(port)));
    return;
  }
  // A host name: resolved in the background (a name server that is slow
  // or gone must not hold the loop).
  resolver_.async_resolve(
      host, std::to_string(port),
      [this, current](const std::error_code& error, asio::ip::tcp::resolver::results_type results) {
        if (!current()) return;
        if (error == asio::error::operation_aborted) return;
        if (error || results.empty()) {
          Fail(error ? error : asio::error::host_not_found);
          return;
        }
        // Every address of the name is tried in turn (a name may stand for
        // ::1 and 127.0.0.1, and the bridge listen on one of them).
        const uint64_t generation = generation_;
        std::weak_ptr<bool> alive = alive_;
        asio::async_connect(socket_, results,
                            [this, alive, generation](const std::error_code& connect_error,
                                                      const asio::ip::tcp::endpoint&) {
                              auto token = alive.lock();
                              if (!token || !*token || generation != generation_) return;
                              OnConnected(connect_error);
                            });
      });
}

void TcpLink::Connect(const asio::ip::tcp::endpoint& endpoint) {
  const uint64_t generation = generation_;
  std::weak_ptr<bool> alive = alive_;
  socket_.async_connect(endpoint, [this, alive, generation](const std::error_code& error) {
    auto token = alive.lock();
    if (!token || !*token || generation != generation_) return;
    OnConnected(error);
  });
}

void TcpLink::OnConnected(const std::error_code& error) {
  if (error) {
    if (error != asio::error::operation_aborted) Fail(error);
    return;
  }
  state_ = kConnected;
  std::error_code ignored;
  socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
  EnableKeepAlive();
  ReadMore();
  if (handlers_.on_connect) handlers_.on_connect();
}

void TcpLink::EnableKeepAlive() {
  std::error_code ignored;
  socket_.set_option(asio::socket_base::keep_alive(true), ignored);
  const int fd = socket_.native_handle();
  const int idle = kKeepAliveIdleSeconds;
  const int interval = kKeepAliveIntervalSeconds;
  const int probes = kKeepAliveProbes;
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

bool TcpLink::Write(std::string_view bytes) {
  if (state_ != kConnected) return false;
  std::error_code ec;
  asio::write(socket_, asio::buffer(bytes.data(), bytes.size()), ec);
  return !ec;
}

void TcpLink::ReadMore() {
  const uint64_t generation = generation_;
  std::weak_ptr<bool> alive = alive_;
  socket_.async_read_some(asio::buffer(buffer_),
                          [this, alive, generation](const std::error_code& ec, size_t n) {
                            auto token = alive.lock();
                            if (!token || !*token || generation != generation_) return;
                            if (ec == asio::error::eof) {
                              ++generation_;
                              std::error_code ignored;
                              socket_.close(ignored);
                              state_ = kClosing;
                              if (handlers_.on_close) handlers_.on_close();
                              return;
                            }
                            if (ec) {
                              if (ec != asio::error::operation_aborted) Fail(ec);
                              return;
                            }
                            if (handlers_.on_data)
                              handlers_.on_data(std::string_view(buffer_.data(), n));
                            if (generation == generation_ && state_ == kConnected) ReadMore();
                          });
}

}  // namespace tagvane
