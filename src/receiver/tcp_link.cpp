#include "receiver/tcp_link.h"

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

namespace tagvane {

TcpLink::TcpLink(asio::io_context& io)
    : io_(io), socket_(io), alive_(std::make_shared<bool>(true)) {}

TcpLink::~TcpLink() {
  *alive_ = false;
  std::error_code ignored;
  socket_.close(ignored);
}

void TcpLink::Close() {
  ++generation_;
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
  std::error_code ec;
  asio::ip::address address = asio::ip::make_address(host, ec);
  if (ec) {
    asio::ip::tcp::resolver resolver(io_);
    auto results = resolver.resolve(host, "", ec);
    if (!ec && !results.empty()) address = results.begin()->endpoint().address();
  }
  if (!ec && (port < 1 || port > 65535)) ec = asio::error::invalid_argument;
  if (ec) {
    // Reported from the loop, as a connect failure would be.
    asio::post(io_, [this, alive, generation, ec] {
      auto token = alive.lock();
      if (token && *token && generation == generation_) Fail(ec);
    });
    return;
  }
  const asio::ip::tcp::endpoint endpoint(address, static_cast<uint16_t>(port));
  socket_.async_connect(endpoint, [this, alive, generation](const std::error_code& error) {
    auto token = alive.lock();
    if (!token || !*token || generation != generation_) return;
    if (error) {
      if (error != asio::error::operation_aborted) Fail(error);
      return;
    }
    state_ = kConnected;
    std::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    ReadMore();
    if (handlers_.on_connect) handlers_.on_connect();
  });
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
  socket_.async_read_some(asio::buffer(buffer_), [this, alive, generation](
                                                     const std::error_code& ec, size_t n) {
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
    if (handlers_.on_data) handlers_.on_data(std::string_view(buffer_.data(), n));
    if (generation == generation_ && state_ == kConnected) ReadMore();
  });
}

}  // namespace tagvane
