// The sending side of TCPServer: ordered sends per connection, the
// send-complete and close handling, and the chunked file stream that runs
// from per-connection state, so a slow reader holds only its own slot.
#include <asio/write.hpp>

#include "core/app.h"
#include "core/failure.h"
#include "web/tcp_connection.h"
#include "web/tcp_server.h"

namespace tagvane {

void TCPServer::Send(int i, uint64_t generation, std::string bytes) {
  Connection* c = Current(i, generation);
  if (!c || c->state != kStateConnected) return;
  if (c->outgoing_bytes + bytes.size() > kMaxOutgoing && !c->outgoing.empty()) {
    Drop(*c, "stopped reading its answer");
    return;
  }
  c->outgoing_bytes += bytes.size();
  c->outgoing.push_back(std::make_shared<const std::string>(std::move(bytes)));
  if (!c->writing) WriteNext(slots_[i]);
}

void TCPServer::WriteNext(const ConnectionPtr& c) {
  if (c->writing) return;
  if (c->outgoing.empty()) {
    if (c->state == kStateClosing) FinishClose(*c);
    return;
  }
  c->writing = true;
  // The handler holds both the connection and the bytes it writes.
  std::shared_ptr<const std::string> bytes = c->outgoing.front();
  std::weak_ptr<bool> alive = alive_;
  asio::async_write(
      c->socket, asio::buffer(*bytes),
      [this, alive, c, bytes](const asio::error_code& ec, size_t) {
        if (alive.expired()) return;
        c->writing = false;
        if (!c->outgoing.empty() && c->outgoing.front() == bytes) {
          c->outgoing.pop_front();
          c->outgoing_bytes -= bytes->size();
        }
        if (c->state == kStateClosed) return;
        if (ec) {
          c->outgoing.clear();
          c->outgoing_bytes = 0;
          if (c->state == kStateConnected && IsCurrent(c)) CloseHandling(c->index);
          if (c->state != kStateClosed) FinishClose(*c);
          return;
        }
        if (c->state == kStateConnected && IsCurrent(c)) {
          Guard(app_.Log(), "TCPServer SendComplete", [&] { SendComplete(c->index); });
        }
        WriteNext(c);
      });
}

void TCPServer::SendComplete(int i) {
  if (i <= 0 || i > kMaxIndex) return;
  send_done_[i] = true;
  if (i >= static_cast<int>(slots_.size()) || !slots_[i]) return;
  Connection& c = *slots_[i];
  if (c.file) {
    // A stream sends its next chunk once everything before it has gone
    // out; until then the chunk's wait goes on.
    if (c.outgoing.empty()) StreamNext(i);
    return;
  }
  binary_timers_[i]->SetEnabled(false);
  if (c.tag != "1") CloseHandling(i);
}

void TCPServer::CloseHandling(int i) {
  if (i <= 0 || i >= static_cast<int>(slots_.size()) || !slots_[i]) return;
  Connection& c = *slots_[i];
  c.file.reset();
  if (c.state == kStateConnected) {
    --sockets_open_;
    // Whatever is still queued for sending goes out before the close, for
    // at most one chunk wait.
    c.state = kStateClosing;
    if (!c.writing && c.outgoing.empty()) {
      FinishClose(c);
    } else {
      binary_timers_[i]->SetInterval(kChunkWaitMs);
      binary_timers_[i]->SetEnabled(true);
    }
  }
  // Every request the connection still had queued is dropped unanswered.
  ForgetQueued(c);
}

void TCPServer::FinishClose(Connection& c) {
  asio::error_code ec;
  c.socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  c.socket.close(ec);
  c.state = kStateClosed;
  c.file.reset();
  // Pending writes end with an error; their handlers hold what they use.
  c.outgoing.clear();
  c.outgoing_bytes = 0;
  ForgetQueued(c);
}

void TCPServer::StreamFile(int i, uint64_t generation, std::ifstream file) {
  Connection* c = Current(i, generation);
  if (!c || c->state != kStateConnected) return;
  c->file = std::make_unique<std::ifstream>(std::move(file));
  send_done_[i] = true;
  StreamNext(i);
}

void TCPServer::StreamNext(int i) {
  Connection& c = *slots_[i];
  Timer& timer = *binary_timers_[i];
  send_done_[i] = false;
  if (c.state != kStateConnected || !c.file) return;
  if (c.file->peek() == std::char_traits<char>::eof()) {
    // The last chunk is on its way: the connection closes once it has gone.
    c.file.reset();
    c.tag.assign(1, '0');  // (not = "0": a false -Wrestrict in g++ 12)
    SendComplete(i);
    return;
  }
  std::string chunk(kChunkSize, '\0');
  c.file->read(chunk.data(), static_cast<std::streamsize>(kChunkSize));
  chunk.resize(static_cast<size_t>(c.file->gcount()));
  timer.SetInterval(kChunkWaitMs);
  timer.SetEnabled(true);
  Send(i, c.generation, std::move(chunk));
}

void TCPServer::OnChunkTimer(int i) {
  binary_timers_[i]->SetEnabled(false);
  send_done_[i] = true;
  if (i >= static_cast<int>(slots_.size()) || !slots_[i]) return;
  Connection& c = *slots_[i];
  if (c.state == kStateClosing) {
    // The reader never took the rest of its answer.
    FinishClose(c);
  } else if (c.file) {
    // The wait for a chunk ends even without a send completion.
    StreamNext(i);
  }
}

}  // namespace tagvane
