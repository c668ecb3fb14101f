// TCPServer: the connection side of the built-in HTTP server. One listening
// socket (index 0) and up to 25 connection sockets reused round-robin; every
// received packet becomes an "index~data" item of one ordered queue, which a
// run on the next turn of the loop hands to ProcessRequestQueue (the old
// design waited 50 ms first, delaying every answer). Waits (for the rest of a POST,
// for a chunk to be sent) pump the event loop, so handlers re-enter here.
#pragma once

#include <array>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/timer.h"

namespace tagvane {

class App;
class PageGate;
class Request;
class Response;

// What the server hands a status request to: returns the page text.
using StatusPageHandler = std::function<std::string(Request&, Response&)>;

class TCPServer {
 public:
  static constexpr int kMaxIndex = 25;
  static constexpr int kStartSockets = 5;
  static constexpr int kStateClosed = 0;
  static constexpr int kStateConnected = 7;
  // A connection that is closing once its queued sends have gone out.
  static constexpr int kStateClosing = 8;
  // What one connection may send before it is dropped.
  static constexpr size_t kMaxQueuedPerConnection = 1 << 20;

  explicit TCPServer(App& app);
  ~TCPServer();
  TCPServer(const TCPServer&) = delete;
  TCPServer& operator=(const TCPServer&) = delete;

  void SetStatusPage(StatusPageHandler handler) { status_page_ = std::move(handler); }
  // Reads HTTPPort and starts listening when it names a new port.
  void StartServer();
  // Closes every socket and forgets the queue (shut-down).
  void Close();
  // Drains the request queue.
  void ProcessRequestQueue();

  // The port listened on, 0 when not listening.
  int LocalPort() const { return local_port_; }
  int SocketsOpen() const { return sockets_open_; }
  int NextSocket() const { return next_socket_; }
  int HighestIndex() const { return static_cast<int>(slots_.size()) - 1; }
  size_t QueueLength() const { return queue_.size(); }
  const std::filesystem::path& HtmlRoot() const { return html_root_; }
  const std::filesystem::path& ProductFolder() const { return product_folder_; }
  // How long a POST waits for its body (5000 ms; tests shorten it).
  void SetPostWait(int ms) { post_wait_ms_ = ms; }

  // Socket operations used by Response.
  int State(int i) const;
  // Changes each time a slot is given a new connection, so a long answer
  // notices that its connection was closed and the slot reused.
  uint64_t Generation(int i) const;
  std::string PeerAddress(int i) const;
  void SetTag(int i, std::string tag);
  // Queues bytes for sending; sends on one socket go out in order, and each
  // completion runs SendComplete.
  void Send(int i, std::string bytes);
  bool SendDone(int i) const { return send_done_[Clamp(i)]; }
  void SetSendDone(int i, bool done) { send_done_[Clamp(i)] = done; }
  Timer& BinarySendTimer(int i) { return *binary_timers_[Clamp(i)]; }
  // The send-complete handling: stops the chunk timer, sets SendDone and
  // closes the connection unless its tag is "1".
  void SendComplete(int i);
  // Runs ready handlers; and the same waiting at most d for one.
  void Pump();
  void PumpFor(int ms);
  App& GetApp() { return app_; }
  // Authentication of the pages (BASIC mode) and the /metrics access rule.
  PageGate& Gate() { return *gate_; }

 private:
  struct Slot;

  static int Clamp(int i) { return i < 0 ? 0 : (i > kMaxIndex ? kMaxIndex : i); }
  bool Listen(int port);
  void StopListening();
  void AcceptNext();
  void OnConnectionRequest(asio::ip::tcp::socket socket);
  void CrowdingReset();
  void StartRead(int i);
  void OnData(int i, uint64_t generation, const char* data, size_t n);
  void CloseHandling(int i);
  void WriteNext(int i);
  void FinishClose(int i);
  void ServeOne(std::string item);
  void Route(Request& request, Response& response, int s);
  std::string HelpPage() const;

  App& app_;
  asio::ip::tcp::acceptor acceptor_;
  std::vector<std::unique_ptr<Slot>> slots_;  // index 0 stands for the listener
  std::array<std::unique_ptr<Timer>, kMaxIndex + 1> binary_timers_;
  std::array<bool, kMaxIndex + 1> send_done_{};
  Timer post_timer_;
  Timer server_timer_;
  std::deque<std::string> queue_;
  int16_t sockets_open_ = 0;
  int16_t next_socket_ = 0;
  int local_port_ = 0;
  int post_wait_ms_ = 5000;
  uint64_t generations_ = 0;
  uint64_t listen_generation_ = 0;
  std::filesystem::path html_root_;
  std::filesystem::path product_folder_;
  StatusPageHandler status_page_;
  std::unique_ptr<PageGate> gate_;
  std::shared_ptr<bool> alive_;
};

}  // namespace tagvane
