#include "web/tcp_server.h"

#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include "core/app.h"
#include "core/failure.h"
#include "core/numbers.h"
#include "core/paths.h"
#include "core/text.h"
#include "web/page_gate.h"
#include "web/request.h"
#include "web/response.h"

namespace tagvane {

struct TCPServer::Slot {
  explicit Slot(asio::io_context& io) : socket(io) {}
  asio::ip::tcp::socket socket;
  int state = kStateClosed;
  std::string peer;
  std::string tag;
  uint64_t generation = 0;
  std::deque<std::string> outgoing;
  bool writing = false;
  size_t received = 0;
  std::array<char, 16384> buffer{};
};

TCPServer::TCPServer(App& app)
    : app_(app),
      acceptor_(app.Loop().Io()),
      post_timer_(app.Timers()),
      server_timer_(app.Timers()),
      gate_(std::make_unique<PageGate>(*this)),
      alive_(std::make_shared<bool>(true)) {
  for (int i = 0; i <= kMaxIndex; ++i) {
    binary_timers_[i] = std::make_unique<Timer>(app.Timers(), [this, i] {
      binary_timers_[i]->SetEnabled(false);
      send_done_[i] = true;
    });
  }
  post_timer_.SetInterval(5000);
  post_timer_.SetOnTick([this] { post_timer_.SetEnabled(false); });
  server_timer_.SetOnTick(
      [this] { Guard(app_.Log(), "ServerTimer", [&] { ProcessRequestQueue(); }); });
  slots_.push_back(std::make_unique<Slot>(app.Loop().Io()));
}

TCPServer::~TCPServer() {
  *alive_ = false;
  Close();
}

void TCPServer::StartServer() {
  Guard(app_.Log(), "StartServer", [&] {
    html_root_ = std::filesystem::path(app_.AppPath()) / "HTML";
    product_folder_ = html_root_ / std::string(kProductName);
    CreateFolders(app_.Log(), app_.AppPath() + "/Data/Tagvane/x");
    const std::string port_text =
        RemoveQuotes(app_.Ini().GetIniSetting("RFID", "HTTPPort", "8017", kSettingsFile));
    if (!port_text.empty()) {
      const int port = ToInt32(LeadingNumber(port_text));
      if (port != local_port_ && Listen(port)) {
        while (HighestIndex() < kStartSockets) {
          slots_.push_back(std::make_unique<Slot>(app_.Loop().Io()));
        }
        sockets_open_ = 0;
        next_socket_ = 0;
      }
    }
  });
  server_timer_.SetEnabled(false);
  server_timer_.SetInterval(0);
}

bool TCPServer::Listen(int port) {
  StopListening();
  asio::error_code ec;
  const asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v4(), static_cast<uint16_t>(port));
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    app_.Log().LogEvent(kProductSource, "StartServer unable to listen on port " +
                                            std::to_string(port) + ": " + ec.message());
    StopListening();
    return false;
  }
  local_port_ = acceptor_.local_endpoint(ec).port();
  slots_[0]->state = 2;
  ++listen_generation_;
  AcceptNext();
  return true;
}

void TCPServer::StopListening() {
  asio::error_code ec;
  acceptor_.close(ec);
  if (!slots_.empty()) slots_[0]->state = kStateClosed;
}

void TCPServer::AcceptNext() {
  std::weak_ptr<bool> alive = alive_;
  const uint64_t listening = listen_generation_;
  acceptor_.async_accept([this, alive, listening](const asio::error_code& ec,
                                                  asio::ip::tcp::socket s) {
    if (alive.expired()) return;
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      Guard(app_.Log(), "TCPServer ConnectionRequest", [&] { OnConnectionRequest(std::move(s)); });
    }
    // A crowding reset listened afresh (and waits for the next connection
    // itself); only the acceptor this wait belongs to is re-armed here.
    if (listening == listen_generation_ && acceptor_.is_open()) AcceptNext();
  });
}

void TCPServer::CrowdingReset() {
  const int port = local_port_;
  for (int i = 0; i < static_cast<int>(slots_.size()); ++i) {
    Slot& slot = *slots_[i];
    asio::error_code ec;
    if (i == 0) {
      StopListening();
      continue;
    }
    slot.socket.close(ec);
    slot.state = kStateClosed;
    slot.outgoing.clear();
    slot.writing = false;
    ++slot.generation;
  }
  while (HighestIndex() >= 6) slots_.pop_back();
  sockets_open_ = 0;
  // Listen again at once; the old design left the page unreachable here.
  local_port_ = 0;
  Listen(port);
}

void TCPServer::OnConnectionRequest(asio::ip::tcp::socket socket) {
  if (sockets_open_ >= 24) CrowdingReset();
  while (!(sockets_open_ < HighestIndex() - 4 || HighestIndex() >= kMaxIndex)) {
    slots_.push_back(std::make_unique<Slot>(app_.Loop().Io()));
  }
  const int count = HighestIndex() + 1;
  int chosen = -1;
  // Every candidate in use (the counter can drift from the real states):
  // refuse the connection instead of looking for ever.
  for (int tries = 0; tries < count; ++tries) {
    next_socket_ = static_cast<int16_t>((next_socket_ + 1) % count);
    if (next_socket_ == 0) next_socket_ = 1;
    if (slots_[next_socket_]->state == kStateClosed) {
      chosen = next_socket_;
      break;
    }
  }
  asio::error_code ec;
  if (chosen < 0) {
    socket.close(ec);
    app_.Log().LogEventLimited("TCPServer refused", kProductSource,
                               "TCPServer refused a connection: every socket is in use");
    return;
  }
  ++sockets_open_;
  Slot& slot = *slots_[chosen];
  slot.socket = std::move(socket);
  slot.socket.set_option(asio::ip::tcp::no_delay(true), ec);
  const auto remote = slot.socket.remote_endpoint(ec);
  slot.peer = ec ? std::string() : remote.address().to_string();
  slot.state = kStateConnected;
  slot.tag.clear();
  slot.outgoing.clear();
  slot.writing = false;
  slot.received = 0;
  slot.generation = ++generations_;
  StartRead(chosen);
}

void TCPServer::StartRead(int i) {
  Slot& slot = *slots_[i];
  const uint64_t generation = slot.generation;
  std::weak_ptr<bool> alive = alive_;
  slot.socket.async_read_some(asio::buffer(slot.buffer), [this, alive, i, generation](
                                                             const asio::error_code& ec, size_t n) {
    if (alive.expired() || i >= static_cast<int>(slots_.size())) return;
    Slot& s = *slots_[i];
    if (s.generation != generation) return;
    if (ec) {
      if (ec != asio::error::operation_aborted && s.state != kStateClosed) {
        Guard(app_.Log(), "TCPServer Close", [&] { CloseHandling(i); });
      }
      return;
    }
    Guard(app_.Log(), "TCPServer DataArrival", [&] { OnData(i, generation, s.buffer.data(), n); });
    if (i < static_cast<int>(slots_.size()) && slots_[i]->generation == generation &&
        slots_[i]->state != kStateClosed) {
      StartRead(i);
    }
  });
}

void TCPServer::OnData(int i, uint64_t generation, const char* data, size_t n) {
  Slot& slot = *slots_[i];
  slot.received += n;
  if (slot.received > kMaxQueuedPerConnection) {
    app_.Log().LogEventLimited("TCPServer oversize", kProductSource,
                               "TCPServer closed a connection from " + slot.peer +
                                   " that sent more than " +
                                   std::to_string(kMaxQueuedPerConnection) + " bytes");
    // Drop everything it queued, then the connection.
    const std::string prefix = std::to_string(i) + "~";
    std::erase_if(queue_, [&](const std::string& item) { return item.starts_with(prefix); });
    (void)generation;
    CloseHandling(i);
    return;
  }
  std::string item = std::to_string(i) + "~";
  item.append(data, n);
  queue_.push_back(std::move(item));
  if (!server_timer_.Enabled()) {
    // The queue is served 50 ms after the first packet; packets that arrive
    // meanwhile (or during a run, while the timer stays enabled) join it.
    server_timer_.SetInterval(50);
    server_timer_.SetEnabled(true);
  }
}

int TCPServer::State(int i) const {
  if (i < 0 || i >= static_cast<int>(slots_.size())) return kStateClosed;
  return slots_[i]->state;
}

uint64_t TCPServer::Generation(int i) const {
  if (i < 0 || i >= static_cast<int>(slots_.size())) return 0;
  return slots_[i]->generation;
}

std::string TCPServer::PeerAddress(int i) const {
  if (i < 0 || i >= static_cast<int>(slots_.size())) return {};
  return slots_[i]->peer;
}

void TCPServer::SetTag(int i, std::string tag) {
  if (i < 0 || i >= static_cast<int>(slots_.size())) return;
  slots_[i]->tag = std::move(tag);
}

void TCPServer::Send(int i, std::string bytes) {
  if (i <= 0 || i >= static_cast<int>(slots_.size())) return;
  Slot& slot = *slots_[i];
  if (slot.state != kStateConnected) return;
  slot.outgoing.push_back(std::move(bytes));
  if (!slot.writing) WriteNext(i);
}

void TCPServer::WriteNext(int i) {
  Slot& slot = *slots_[i];
  if (slot.outgoing.empty()) {
    slot.writing = false;
    if (slot.state == kStateClosing) FinishClose(i);
    return;
  }
  slot.writing = true;
  const uint64_t generation = slot.generation;
  std::weak_ptr<bool> alive = alive_;
  asio::async_write(slot.socket, asio::buffer(slot.outgoing.front()),
                    [this, alive, i, generation](const asio::error_code& ec, size_t) {
                      if (alive.expired() || i >= static_cast<int>(slots_.size())) return;
                      Slot& s = *slots_[i];
                      if (s.generation != generation) return;
                      if (!s.outgoing.empty()) s.outgoing.pop_front();
                      s.writing = false;
                      if (ec) {
                        s.outgoing.clear();
                        if (s.state != kStateClosed) CloseHandling(i);
                        if (s.state == kStateClosing) FinishClose(i);
                        return;
                      }
                      if (s.state == kStateConnected) {
                        Guard(app_.Log(), "TCPServer SendComplete", [&] { SendComplete(i); });
                      }
                      if (slots_[i]->generation == generation) WriteNext(i);
                    });
}

void TCPServer::SendComplete(int i) {
  if (i < 0 || i > kMaxIndex) return;
  binary_timers_[i]->SetEnabled(false);
  send_done_[i] = true;
  if (i < static_cast<int>(slots_.size()) && slots_[i]->tag != "1") CloseHandling(i);
}

void TCPServer::CloseHandling(int i) {
  if (i <= 0 || i >= static_cast<int>(slots_.size())) return;
  Slot& slot = *slots_[i];
  if (slot.state == kStateConnected) {
    --sockets_open_;
    // Whatever is still queued for sending goes out before the close.
    slot.state = kStateClosing;
    if (!slot.writing) FinishClose(i);
  }
  const std::string prefix = std::to_string(i) + "~";
  for (auto it = queue_.begin(); it != queue_.end(); ++it) {
    if (it->starts_with(prefix)) {
      queue_.erase(it);
      break;
    }
  }
}

void TCPServer::FinishClose(int i) {
  Slot& slot = *slots_[i];
  asio::error_code ec;
  slot.socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  slot.socket.close(ec);
  slot.state = kStateClosed;
  slot.outgoing.clear();
  slot.writing = false;
  ++slot.generation;
}

void TCPServer::Close() {
  StopListening();
  for (size_t i = 1; i < slots_.size(); ++i) {
    asio::error_code ec;
    slots_[i]->socket.close(ec);
    slots_[i]->state = kStateClosed;
    ++slots_[i]->generation;
  }
  queue_.clear();
  server_timer_.SetEnabled(false);
  post_timer_.SetEnabled(false);
  local_port_ = 0;
}

void TCPServer::Pump() { app_.Loop().Pump(); }
void TCPServer::PumpFor(int ms) { app_.Loop().PumpFor(Milliseconds(ms)); }

void TCPServer::ProcessRequestQueue() {
  server_timer_.SetInterval(0);
  while (!queue_.empty()) {
    std::string item = std::move(queue_.front());
    queue_.pop_front();
    Guard(app_.Log(), "ProcessRequestQueue ", [&] { ServeOne(std::move(item)); });
  }
  server_timer_.SetEnabled(false);
}

void TCPServer::ServeOne(std::string item) {
  const size_t tilde = item.find('~');
  const int s = ToInt16(LeadingNumber(std::string_view(item).substr(0, tilde)));
  Request request([this](const std::string& text) { app_.Log().LogEvent(kProductSource, text); });
  request.set_remoteip(PeerAddress(s));
  request.ParsePage(std::string_view(item).substr(tilde + 1));
  if (request.Method().substr(0, 3) == "POS") {
    post_timer_.SetInterval(post_wait_ms_);
    post_timer_.SetEnabled(true);
    while (post_timer_.Enabled() && !request.PostDataComplete()) {
      while (!queue_.empty()) {
        const std::string& next = queue_.front();
        const size_t t = next.find('~');
        if (ToInt16(LeadingNumber(std::string_view(next).substr(0, t))) != s) {
          post_timer_.SetEnabled(false);
          break;
        }
        request.AddPostData(std::string_view(next).substr(t + 1));
        queue_.pop_front();
      }
      if (!post_timer_.Enabled() || request.PostDataComplete()) break;
      // The connection may go away while we wait; its data is then lost.
      if (State(s) != kStateConnected) break;
      PumpFor(20);
    }
    post_timer_.SetEnabled(false);
  }
  request.FlushRequest();
  Response response(*this);
  response.SetIndex(static_cast<int16_t>(s));
  Route(request, response, s);
}

void TCPServer::Route(Request& request, Response& response, int s) {
  const std::string p = ReplaceAll(ToLower(request.page()), "/", "\\");
  const std::string e = ToLower(Right(p, 4));
  auto count = [&](std::string_view kind) {
    app_.GetMetrics().Add("tagvane_http_requests_total", 1, MetricLabel("kind", kind));
  };
  if (p == "\\metrics") {
    gate_->ServeMetrics(request, s);
    return;
  }
  if (e == ".jpg" || e == ".gif" || e == ".png" || e == ".wmz" || e == ".pdf") {
    count("file");
    response.SendBinaryFile(p, s);
  } else if (e == ".css") {
    count("file");
    response.SendTextFile(p, s);
  } else if (p.starts_with("\\stat")) {
    if (!gate_->Admit(request, s, "status")) return;
    count("page");
    std::string page = status_page_ ? status_page_(request, response) : std::string();
    response.SendTextString(page, s);
  } else if (p.starts_with("\\help")) {
    count("page");
    response.SendTextString(HelpPage(), s);
  } else {
    count("not_found");
    // Unrouted pages (every browser asks for /favicon.ico) are answered and
    // closed, so they cannot use up the sockets.
    response.SendErrorResponse(s);
  }
}

std::string TCPServer::HelpPage() const {
  const std::string name =
      "Help/" + std::string(kProductName) + "/" + std::string(kProductName) + ".htm";
  const auto path = ResolveBelow(html_root_, name);
  std::optional<std::string> text;
  if (path) text = ReadWholeFile(*path);
  if (!text) {
    return "Sorry, Help from " + (html_root_ / name).string() + " is not available";
  }
  const std::string needle = std::string(kProductName) + "_files";
  const std::string with = "help/" + std::string(kProductName) + "/" + needle;
  std::string out;
  size_t from = 0;
  for (size_t at = FindNoCase(*text, needle); at != std::string::npos;
       at = FindNoCase(std::string_view(*text).substr(from), needle)) {
    at += from;
    out.append(*text, from, at - from);
    out += with;
    from = at + needle.size();
  }
  out.append(*text, from);
  return out;
}

}  // namespace tagvane
