// TCPServer: the connection side of the built-in HTTP server. One listening
// socket (index 0) and up to 25 connection sockets reused round-robin. Every
// received packet becomes an item of one ordered queue, tagged with its
// socket index and that connection's generation; the first packet arms a
// 50 ms timer whose tick hands the whole queue to ProcessRequestQueue.
//
// Lifetimes: each accepted connection is its own object, shared by every
// pending read and write, so closing a connection or reusing its slot never
// frees memory an operation still uses. An answer reaches only the
// connection that asked: a queued item, a send and a tag change all name
// the generation they belong to and are dropped when the slot has moved on.
// A binary file streams from per-connection state, one 1000-byte chunk per
// completed send (or 5000 ms wait), while the queue goes on being served.
// The POST wait pumps the event loop, so handlers may re-enter here.
#pragma once

#include <array>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/timer.h"
#include "web/file_cache.h"
#include "web/file_lookup.h"

namespace tagvane {

class App;
class PageGate;
class Request;
class Response;

// Takes over connections whose first packet asks for what it serves (the
// JSON API): such a connection leaves the page sockets at once, so it is
// never counted among them, never closed by their crowding reset, and
// never takes a page's slot for longer than its first packet.
class ConnectionTaker {
 public:
  virtual ~ConnectionTaker() = default;
  virtual bool Wants(std::string_view first_packet) const = 0;
  virtual void Take(asio::ip::tcp::socket socket, std::string peer, std::string first_packet) = 0;
  // Closes every connection taken (the server's Close).
  virtual void Close() = 0;
};

// What the server hands a status request to: returns the page text.
using StatusPageHandler = std::function<std::string(Request&, Response&)>;
// A page that writes its own answer (socket index as the third argument).
using PageHandler = std::function<void(Request&, Response&, int)>;

class TCPServer {
 public:
  static constexpr int kMaxIndex = 25;
  static constexpr int kStartSockets = 5;
  static constexpr int kStateClosed = 0;
  static constexpr int kStateListening = 2;
  static constexpr int kStateConnected = 7;
  // A connection that is closing once its queued sends have gone out.
  static constexpr int kStateClosing = 8;
  // What one connection may send before it is dropped.
  static constexpr size_t kMaxQueuedPerConnection = 1 << 20;
  // What the request queue may hold in all; the connection whose packet
  // would pass it is dropped.
  static constexpr size_t kMaxQueuedTotal = 4 << 20;
  // Unsent answer bytes a connection may hold while its reader is stalled.
  static constexpr size_t kMaxOutgoing = 1 << 20;
  static constexpr size_t kChunkSize = 1000;
  // How much of a streamed file is read from disk at a time.
  static constexpr size_t kFileBlock = 64 * 1024;
  // The most one send system call is offered of a connection's queue.
  static constexpr size_t kWriteStep = 4 * 1024 * 1024;
  static constexpr int kChunkWaitMs = 5000;
  // The most loop time a send lets other events run for (a flood of reports
  // is always ready).
  static constexpr Milliseconds kPumpLimit{5};

  explicit TCPServer(App& app);
  ~TCPServer();
  TCPServer(const TCPServer&) = delete;
  TCPServer& operator=(const TCPServer&) = delete;

  void SetStatusPage(StatusPageHandler handler) { status_page_ = std::move(handler); }
  // Routes one exact path ("/monitor", any case, a trailing "/" allowed)
  // to handler.
  void AddPage(std::string_view path, PageHandler handler);
  // Hands connections to taker (checked at each connection's first packet).
  void SetTaker(std::unique_ptr<ConnectionTaker> taker) { taker_ = std::move(taker); }
  ConnectionTaker* Taker() { return taker_.get(); }
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
  size_t QueuedBytes() const { return queued_bytes_; }
  const std::filesystem::path& HtmlRoot() const { return html_root_; }
  const std::filesystem::path& ProductFolder() const { return product_folder_; }
  // How long a POST waits for its body (5000 ms; tests shorten it).
  void SetPostWait(int ms) { post_wait_ms_ = ms; }

  // Socket operations used by Response. A generation names one connection
  // of a slot; it changes each time the slot is given a new connection.
  int State(int i) const;
  uint64_t Generation(int i) const;
  std::string PeerAddress(int i) const;
  void SetTag(int i, uint64_t generation, std::string tag);
  // Queues bytes for sending to that connection (dropped when the slot
  // holds another one by now); sends go out in order, and each completion
  // runs SendComplete.
  void Send(int i, uint64_t generation, std::string bytes);
  // Streams an open file of `size` bytes to that connection in chunks,
  // then closes it. Returns at once.
  void StreamFile(int i, uint64_t generation, std::ifstream file, uint64_t size);
  // The same for a file's bytes already in memory.
  void StreamBytes(int i, uint64_t generation, std::string bytes);
  bool SendDone(int i) const { return send_done_[Clamp(i)]; }
  // The send-complete handling: stops the chunk timer, sets SendDone and
  // closes the connection unless its tag is "1".
  void SendComplete(int i);
  // Runs ready handlers.
  void Pump();
  App& GetApp() { return app_; }
  // Files below the HTML root by page path, remembered between requests.
  FileLookup& Files() { return files_; }
  // The bytes of small files served, kept while unchanged.
  FileCache& FileBytes() { return file_bytes_; }
  // The help page (HTML/Help/Tagvane/Tagvane.htm with its picture links
  // made absolute), or a note that it is missing.
  std::string HelpPage() const;
  // Authentication of the pages (BASIC mode) and the /metrics access rule.
  PageGate& Gate() { return *gate_; }

 private:
  struct Connection;
  using ConnectionPtr = std::shared_ptr<Connection>;
  struct Packet {
    int index;
    uint64_t generation;
    std::string data;
  };

  static int Clamp(int i) { return i < 0 ? 0 : (i > kMaxIndex ? kMaxIndex : i); }
  // The connection now in slot i when it still is the one of generation g.
  Connection* Current(int i, uint64_t generation) const;
  bool IsCurrent(const ConnectionPtr& c) const;
  bool Listen(int port);
  void StopListening();
  void AcceptNext();
  void OnConnectionRequest(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& peer);
  void CrowdingReset();
  void StartRead(const ConnectionPtr& c);
  void OnData(const ConnectionPtr& c, size_t n);
  void HandOver(const ConnectionPtr& c, size_t n);
  void OnPeerFinished(const ConnectionPtr& c);
  void Drop(Connection& c, const std::string& why);
  void CloseHandling(int i);
  void WriteNext(const ConnectionPtr& c);
  void OnWritten(const ConnectionPtr& c, size_t buffers, const asio::error_code& ec);
  void FinishClose(Connection& c);
  void ForgetQueued(Connection& c);
  Packet PopFront();
  // Marks a stream of size bytes begun on c.
  void StartStream(Connection& c, uint64_t size);
  void StreamNext(int i);
  void OnChunkTimer(int i);
  void ServeOne(Packet item);
  void WaitForPostBody(Request& request, int s, uint64_t generation);
  void Route(Request& request, Response& response, int s);
  const PageHandler* FindPage(std::string_view p) const;

  App& app_;
  asio::ip::tcp::acceptor acceptor_;
  // Index 0 stands for the listener and stays empty; an empty slot or one
  // whose connection has closed is free.
  std::vector<ConnectionPtr> slots_;
  int listener_state_ = kStateClosed;
  std::array<std::unique_ptr<Timer>, kMaxIndex + 1> binary_timers_;
  std::array<bool, kMaxIndex + 1> send_done_{};
  Timer post_timer_;
  Timer server_timer_;
  std::deque<Packet> queue_;
  size_t queued_bytes_ = 0;
  size_t queue_peak_ = 0;
  // The connection whose request is being served (its end of input must
  // not drop the answer).
  uint64_t serving_ = 0;
  int16_t sockets_open_ = 0;
  int16_t next_socket_ = 0;
  int local_port_ = 0;
  int post_wait_ms_ = 5000;
  uint64_t generations_ = 0;
  uint64_t listen_generation_ = 0;
  bool closed_ = false;
  std::filesystem::path html_root_;
  std::filesystem::path product_folder_;
  StatusPageHandler status_page_;
  FileLookup files_;
  FileCache file_bytes_;
  asio::ip::tcp::endpoint accepted_peer_;
  std::vector<std::pair<std::string, PageHandler>> pages_;
  std::unique_ptr<PageGate> gate_;
  std::unique_ptr<ConnectionTaker> taker_;
  std::shared_ptr<bool> alive_;
};

}  // namespace tagvane
