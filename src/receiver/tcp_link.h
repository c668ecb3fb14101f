// The network side of the receiver link: a TCP client to a serial-to-network
// bridge with numbered socket states (0 closed, 6 connecting, 7 connected,
// 8 closing after the peer closed, 9 error; the numbers appear in the log
// texts) and one event per happening: connected, data, closed by the peer,
// error. Host names are resolved without blocking the loop, and TCP
// keep-alive probes a silent bridge, so one that died without closing the
// connection is noticed (about 30 s idle, then 3 probes 10 s apart) and the
// link's reconnection starts.
#pragma once

#include <array>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
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
  // Keep-alive timing of a connected link.
  static constexpr int kKeepAliveIdleSeconds = 30;
  static constexpr int kKeepAliveIntervalSeconds = 10;
  static constexpr int kKeepAliveProbes = 3;

  // Starts connecting to host:port (a numeric address, or a name resolved
  // asynchronously). A failure is reported through on_error, always from
  // the loop, never from inside this call.
  void StartConnect(const std::string& host, int32_t port);
  void Close();
  bool Write(std::string_view bytes);
  // Connect attempts started so far.
  uint64_t Attempts() const { return attempts_; }
  // The socket's descriptor (-1 when closed), for inspecting its options.
  int NativeHandle() { return socket_.is_open() ? socket_.native_handle() : -1; }

 private:
  void Connect(const asio::ip::tcp::endpoint& endpoint);
  void OnConnected(const std::error_code& error);
  void EnableKeepAlive();
  void ReadMore();
  void Fail(const std::error_code& ec);

  asio::io_context& io_;
  asio::ip::tcp::socket socket_;
  asio::ip::tcp::resolver resolver_;
  int state_ = kClosed;
  // A read is at most 16 KB (about 2,300 reports): under a flood each loop
  // turn stays short, and a real receiver sends far less in a read.
  std::array<char, 16384> buffer_{};
  Handlers handlers_;
  std::shared_ptr<bool> alive_;
  uint64_t generation_ = 0;
  uint64_t attempts_ = 0;
};

}  // namespace tagvane
