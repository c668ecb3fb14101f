#include "web/tcp_server.h"

#include <malloc.h>

#include <algorithm>

#include "core/app.h"
#include "core/failure.h"
#include "core/numbers.h"
#include "core/paths.h"
#include "core/text.h"
#include "web/page_gate.h"
#include "web/request.h"
#include "web/response.h"
#include "web/tcp_connection.h"

namespace tagvane {

TCPServer::TCPServer(App& app)
    : app_(app),
      acceptor_(app.Loop().Io()),
      post_timer_(app.Timers()),
      server_timer_(app.Timers()),
      gate_(std::make_unique<PageGate>(*this)),
      alive_(std::make_shared<bool>(true)) {
  for (int i = 0; i <= kMaxIndex; ++i) {
    binary_timers_[i] = std::make_unique<Timer>(
        app.Timers(), [this, i] { Guard(app_.Log(), "TCPBinarySendTimer", [&] { OnChunkTimer(i); }); });
  }
  post_timer_.SetInterval(5000);
  post_timer_.SetOnTick([this] { post_timer_.SetEnabled(false); });
  server_timer_.SetOnTick(
      [this] { Guard(app_.Log(), "ServerTimer", [&] { ProcessRequestQueue(); }); });
  slots_.emplace_back();
}

TCPServer::~TCPServer() {
  Close();
  *alive_ = false;
}

void TCPServer::StartServer() {
  Guard(app_.Log(), "StartServer", [&] {
    closed_ = false;
    html_root_ = std::filesystem::path(app_.AppPath()) / "HTML";
    product_folder_ = html_root_ / std::string(kProductName);
    CreateFolders(app_.Log(), app_.AppPath() + "/Data/Tagvane/x");
    const std::string port_text =
        RemoveQuotes(app_.Ini().GetIniSetting("RFID", "HTTPPort", "8017", kSettingsFile));
    if (!port_text.empty()) {
      const int port = ToInt32(LeadingNumber(port_text));
      if (port != local_port_ && Listen(port)) {
        while (HighestIndex() < kStartSockets) slots_.emplace_back();
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
  listener_state_ = kStateListening;
  ++listen_generation_;
  AcceptNext();
  return true;
}

void TCPServer::StopListening() {
  asio::error_code ec;
  acceptor_.close(ec);
  listener_state_ = kStateClosed;
}

void TCPServer::AcceptNext() {
  std::weak_ptr<bool> alive = alive_;
  const uint64_t listening = listen_generation_;
  // The peer's address comes with the accepted connection.
  acceptor_.async_accept(accepted_peer_, [this, alive, listening](const asio::error_code& ec,
                                                                  asio::ip::tcp::socket s) {
    if (alive.expired()) return;
    if (ec == asio::error::operation_aborted) return;
    if (!ec && listening == listen_generation_) {
      const asio::ip::tcp::endpoint peer = accepted_peer_;
      Guard(app_.Log(), "TCPServer ConnectionRequest", [&] { OnConnectionRequest(std::move(s), peer);
      });
    }
    // A crowding reset listened afresh (and waits for the next connection
    // itself); only the acceptor this wait belongs to is re-armed here.
    if (listening == listen_generation_ && acceptor_.is_open()) AcceptNext();
  });
}

void TCPServer::CrowdingReset() {
  const int port = local_port_;
  StopListening();
  for (int i = 1; i < static_cast<int>(slots_.size()); ++i) {
    if (!slots_[i]) continue;
    Connection& c = *slots_[i];
    binary_timers_[i]->SetEnabled(false);
    c.EndStream();
    if (c.state != kStateClosed) FinishClose(c);
  }
  // Every connection is gone, and so is everything they queued.
  queue_.clear();
  queued_bytes_ = 0;
  while (HighestIndex() >= 6) slots_.pop_back();
  sockets_open_ = 0;
  // Listen again at once, so the page stays reachable after a reset.
  local_port_ = 0;
  Listen(port);
}

void TCPServer::OnConnectionRequest(asio::ip::tcp::socket socket,
                                    const asio::ip::tcp::endpoint& peer) {
  if (sockets_open_ >= 24) CrowdingReset();
  while (!(sockets_open_ < HighestIndex() - 4 || HighestIndex() >= kMaxIndex)) {
    slots_.emplace_back();
  }
  const int count = HighestIndex() + 1;
  int chosen = -1;
  // Every candidate in use (the counter can drift from the real states):
  // refuse the connection instead of looking for ever.
  for (int tries = 0; tries < count; ++tries) {
    next_socket_ = static_cast<int16_t>((next_socket_ + 1) % count);
    if (next_socket_ == 0) next_socket_ = 1;
    if (State(next_socket_) == kStateClosed) {
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
  auto c = std::make_shared<Connection>(app_.Loop().Io(), chosen, ++generations_);
  c->socket = std::move(socket);
  c->socket.set_option(asio::ip::tcp::no_delay(true), ec);
  c->peer = peer.address().to_string();
  binary_timers_[chosen]->SetEnabled(false);
  send_done_[chosen] = false;
  slots_[chosen] = c;
  StartRead(c);
}

void TCPServer::StartRead(const ConnectionPtr& c) {
  std::weak_ptr<bool> alive = alive_;
  c->socket.async_read_some(asio::buffer(c->buffer), [this, alive, c](const asio::error_code& ec,
                                                                      size_t n) {
    if (alive.expired() || !IsCurrent(c) || c->state != kStateConnected) return;
    if (ec == asio::error::eof) {
      Guard(app_.Log(), "TCPServer Close", [&] { OnPeerFinished(c); });
      return;
    }
    if (ec) {
      Guard(app_.Log(), "TCPServer Close", [&] { CloseHandling(c->index); });
      return;
    }
    Guard(app_.Log(), "TCPServer DataArrival", [&] { OnData(c, n); });
    if (IsCurrent(c) && c->state == kStateConnected) StartRead(c);
  });
}

void TCPServer::OnData(const ConnectionPtr& c, size_t n) {
  if (c->received == 0 && taker_ && taker_->Wants(std::string_view(c->buffer.data(), n))) {
    HandOver(c, n);
    return;
  }
  c->received += n;
  if (c->received > kMaxQueuedPerConnection) {
    Drop(*c, "sent more than " + std::to_string(kMaxQueuedPerConnection) + " bytes");
    return;
  }
  if (queued_bytes_ + n > kMaxQueuedTotal) {
    Drop(*c, "found the request queue full");
    return;
  }
  queue_.push_back(Packet{c->index, c->generation, std::string(c->buffer.data(), n)});
  queued_bytes_ += n;
  queue_peak_ = std::max(queue_peak_, queued_bytes_);
  ++c->queued_items;
  if (!server_timer_.Enabled()) {
    // The queue is served 50 ms after the first packet; packets that arrive
    // meanwhile (or during a run, while the timer stays enabled) join it.
    server_timer_.SetInterval(50);
    server_timer_.SetEnabled(true);
  }
}

void TCPServer::HandOver(const ConnectionPtr& c, size_t n) {
  // The slot is free again at once; nothing was queued or sent for it.
  asio::ip::tcp::socket socket = std::move(c->socket);
  c->state = kStateClosed;
  --sockets_open_;
  binary_timers_[c->index]->SetEnabled(false);
  taker_->Take(std::move(socket), c->peer, std::string(c->buffer.data(), n));
}

void TCPServer::OnPeerFinished(const ConnectionPtr& c) {
  // A client that half-closes after its request still gets the answer;
  // with nothing asked and nothing owed, the connection simply closes.
  const bool owed = c->queued_items > 0 || serving_ == c->generation || c->writing ||
                    !c->outgoing.empty() || c->streaming;
  if (owed) {
    c->peer_done = true;
  } else {
    CloseHandling(c->index);
  }
}

void TCPServer::Drop(Connection& c, const std::string& why) {
  app_.Log().LogEventLimited("TCPServer dropped", kProductSource,
                             "TCPServer closed a connection from " + c.peer + " that " + why);
  c.outgoing.clear();
  c.outgoing_bytes = 0;
  CloseHandling(c.index);
  if (c.state == kStateClosing) FinishClose(c);
}

TCPServer::Connection* TCPServer::Current(int i, uint64_t generation) const {
  if (i <= 0 || i >= static_cast<int>(slots_.size()) || !slots_[i]) return nullptr;
  Connection* c = slots_[i].get();
  return c->generation == generation && c->state != kStateClosed ? c : nullptr;
}

bool TCPServer::IsCurrent(const ConnectionPtr& c) const {
  return c->index < static_cast<int>(slots_.size()) && slots_[c->index] == c;
}

int TCPServer::State(int i) const {
  if (i == 0) return listener_state_;
  if (i < 0 || i >= static_cast<int>(slots_.size()) || !slots_[i]) return kStateClosed;
  return slots_[i]->state;
}

uint64_t TCPServer::Generation(int i) const {
  if (i <= 0 || i >= static_cast<int>(slots_.size()) || !slots_[i]) return 0;
  return slots_[i]->generation;
}

std::string TCPServer::PeerAddress(int i) const {
  if (i <= 0 || i >= static_cast<int>(slots_.size()) || !slots_[i]) return {};
  return slots_[i]->peer;
}

void TCPServer::SetTag(int i, uint64_t generation, std::string tag) {
  if (Connection* c = Current(i, generation)) c->tag = std::move(tag);
}

void TCPServer::ForgetQueued(Connection& c) {
  if (c.queued_items == 0) return;
  c.queued_items = 0;
  std::erase_if(queue_, [&](const Packet& p) {
    if (p.index != c.index || p.generation != c.generation) return false;
    queued_bytes_ -= p.data.size();
    return true;
  });
}

TCPServer::Packet TCPServer::PopFront() {
  Packet p = std::move(queue_.front());
  queue_.pop_front();
  queued_bytes_ -= p.data.size();
  if (Connection* c = Current(p.index, p.generation)) --c->queued_items;
  return p;
}

void TCPServer::Close() {
  closed_ = true;
  StopListening();
  if (taker_) taker_->Close();
  for (size_t i = 1; i < slots_.size(); ++i) {
    binary_timers_[i]->SetEnabled(false);
    if (!slots_[i]) continue;
    slots_[i]->EndStream();
    if (slots_[i]->state != kStateClosed) FinishClose(*slots_[i]);
  }
  queue_.clear();
  queued_bytes_ = 0;
  server_timer_.SetEnabled(false);
  post_timer_.SetEnabled(false);
  local_port_ = 0;
}

void TCPServer::Pump() { app_.Loop().PumpWithin(kPumpLimit); }

void TCPServer::ProcessRequestQueue() {
  server_timer_.SetInterval(0);
  files_.NewBatch();
  while (!queue_.empty() && !closed_ && !app_.Loop().Stopped()) {
    Packet item = PopFront();
    Guard(app_.Log(), "ProcessRequestQueue ", [&] { ServeOne(std::move(item)); });
  }
  serving_ = 0;
  server_timer_.SetEnabled(false);
  if (queue_.empty() && queue_peak_ > (256u << 10)) {
    // A flood is over: hand the memory it took back to the system.
    queue_peak_ = 0;
    malloc_trim(0);
  }
}

void TCPServer::ServeOne(Packet item) {
  const int s = item.index;
  // A packet of a connection that has gone is dropped unanswered.
  if (!Current(s, item.generation)) return;
  serving_ = item.generation;
  Request request([this](const std::string& text) { app_.Log().LogEvent(kProductSource, text); });
  request.set_remoteip(PeerAddress(s));
  request.ParsePage(item.data);
  if (request.Method().substr(0, 3) == "POS") WaitForPostBody(request, s, item.generation);
  // Shut down while waiting: nothing more is answered.
  if (closed_ || !Current(s, item.generation)) return;
  request.FlushRequest();
  Response response(*this);
  response.SetIndex(static_cast<int16_t>(s));
  response.SetGeneration(item.generation);
  Route(request, response, s);
}

void TCPServer::WaitForPostBody(Request& request, int s, uint64_t generation) {
  post_timer_.SetInterval(post_wait_ms_);
  post_timer_.SetEnabled(true);
  while (post_timer_.Enabled() && !request.PostDataComplete()) {
    while (!queue_.empty()) {
      const Packet& next = queue_.front();
      if (next.index != s || next.generation != generation) {
        post_timer_.SetEnabled(false);
        break;
      }
      request.AddPostData(PopFront().data);
    }
    if (!post_timer_.Enabled() || request.PostDataComplete()) break;
    // A connection that went away or finished sending has nothing more
    // to add; answer with what arrived.
    const Connection* c = Current(s, generation);
    if (!c || c->state != kStateConnected || c->peer_done || closed_ ||
        app_.Loop().Stopped()) {
      break;
    }
    app_.Loop().PumpFor(Milliseconds(20));
  }
  post_timer_.SetEnabled(false);
}

void TCPServer::Route(Request& request, Response& response, int s) {
  const std::string p = ReplaceAll(ToLower(request.page()), "/", "\\");
  const std::string e = ToLower(Right(p, 4));
  auto count = [&](std::string_view kind) {
    app_.GetMetrics().Add("tagvane_http_requests_total", 1, MetricLabel("kind", kind));
  };
  if (p == "\\metrics") {
    gate_->ServeMetrics(request, response, s);
    return;
  }
  if (e == ".jpg" || e == ".gif" || e == ".png" || e == ".wmz" || e == ".pdf") {
    count("file");
    response.SendBinaryFile(p, s);
  } else if (e == ".css") {
    count("file");
    response.SendTextFile(p, s);
  } else if (const PageHandler* page = FindPage(p)) {
    if (!gate_->Admit(request, response, s, request.page())) return;
    (*page)(request, response, s);
  } else if (p.starts_with("\\stat")) {
    if (!gate_->Admit(request, response, s, "status")) return;
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

void TCPServer::AddPage(std::string_view path, PageHandler handler) {
  pages_.emplace_back(ReplaceAll(ToLower(path), "/", "\\"), std::move(handler));
}

const PageHandler* TCPServer::FindPage(std::string_view p) const {
  if (p.size() > 1 && p.back() == '\\') p.remove_suffix(1);
  for (const auto& [path, handler] : pages_) {
    if (p == path) return &handler;
  }
  return nullptr;
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
