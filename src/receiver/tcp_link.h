// The network side of the receiver link: a TCP client to a serial-to-network
// bridge, with the socket states of the original control (0 closed,
// 6 connecting, 7 connected, 8 closing after the peer closed, 9 error) and
// one event per happening: connected, data, closed by the peer, error.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tagvane {

class TcpLink {
 public:
  static constexpr int kClosed = 0;
  static constexpr int kConnecting = 6;
  static constexpr int kConnected = 7;
  static constexpr int kClosing = 8;
  static constexpr int kError = 9;

  struct Handlers {
    std::function<void()> on_connect;
    std::function<void(std::string_view)> on_data;
    std::function<void()> on_close;
    std::function<void(int number, const std::string& description)> on_error;
  };

  explicit TcpLink(asio::io_context& io);
  ~TcpLink();

  void SetHandlers(Handlers handlers) { handlers_ = std::move(handlers); }
  int State() const { return state_; }
  // Starts connecting to host:port (a numeric address, or a name resolved
  // on the spot). A failure is reported through on_error.
  void StartConnect(const std::string& host, int32_t port);
  void Close();
  bool Write(std::string_view bytes);
  // Connect attempts started so far.
  uint64_t Attempts() const { return attempts_; }

 private:
  void ReadMore();
  void Fail(const std::error_code& ec);

  asio::io_context& io_;
  asio::ip::tcp::socket socket_;
  int state_ = kClosed;
  std::array<char, 65536> buffer_{};
  Handlers handlers_;
  std::shared_ptr<bool> alive_;
  uint64_t generation_ = 0;
  uint64_t attempts_ = 0;
};

}  // namespace tagvane
