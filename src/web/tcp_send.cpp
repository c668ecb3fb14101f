// The sending side of TCPServer: ordered sends per connection, the
// send-complete and close handling, and the chunked file stream that runs
// from per-connection state, so a slow reader holds only its own slot.
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <vector>

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
  if (!c->writing && !c->flush_posted) {
    c->flush_posted = true;
    std::weak_ptr<bool> alive = alive_;
    asio::post(app_.Loop().Io(), [this, alive, c = slots_[i]] {
      if (alive.expired()) return;
      c->flush_posted = false;
      WriteNext(c);
    });
  }
}

void TCPServer::WriteNext(const ConnectionPtr& c) {
  if (c->writing || c->state == kStateClosed) return;
  if (c->outgoing.empty()) {
    if (c->state == kStateClosing) FinishClose(*c);
    return;
  }
  c->writing = true;
  // Everything queued goes out in one write; the handler holds the
  // connection and the bytes it writes.
  std::vector<std::shared_ptr<const std::string>> held(c->outgoing.begin(), c->outgoing.end());
  std::vector<asio::const_buffer> buffers;
  buffers.reserve(held.size());
  for (const auto& b : held) buffers.push_back(asio::buffer(*b));
  std::weak_ptr<bool> alive = alive_;
  // Each send offers the kernel up to kWriteStep (Asio's default is 64 KB):
  // a big page then leaves in a few loop turns even when every turn is
  // long, as under a flood of reports.
  auto step = [](const asio::error_code& ec, size_t) -> size_t { return ec ? 0 : kWriteStep; };
  asio::async_write(c->socket, buffers, step,
                    [this, alive, c, held = std::move(held)](const asio::error_code& ec, size_t) {
                      if (alive.expired()) return;
                      c->writing = false;
                      size_t done = 0;
                      while (done < held.size() && !c->outgoing.empty() &&
                             c->outgoing.front() == held[done]) {
                        c->outgoing_bytes -= held[done]->size();
                        c->outgoing.pop_front();
                        ++done;
                      }
                      OnWritten(c, done, ec);
                    });
}

void TCPServer::OnWritten(const ConnectionPtr& c, size_t buffers, const asio::error_code& ec) {
  if (c->state == kStateClosed) return;
  if (ec) {
    c->outgoing.clear();
    c->outgoing_bytes = 0;
    if (c->state == kStateConnected && IsCurrent(c)) CloseHandling(c->index);
    if (c->state != kStateClosed) FinishClose(*c);
    return;
  }
  // One send-complete per send, in order.
  for (size_t n = 0; n < buffers && c->state == kStateConnected && IsCurrent(c); ++n) {
    Guard(app_.Log(), "TCPServer SendComplete", [&] { SendComplete(c->index); });
  }
  WriteNext(c);
}

void TCPServer::SendComplete(int i) {
  if (i <= 0 || i > kMaxIndex) return;
  send_done_[i] = true;
  if (i >= static_cast<int>(slots_.size()) || !slots_[i]) return;
  Connection& c = *slots_[i];
  if (c.streaming) {
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
  c.EndStream();
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
  c.EndStream();
  // Pending writes end with an error; their handlers hold what they use.
  c.outgoing.clear();
  c.outgoing_bytes = 0;
  ForgetQueued(c);
}

void TCPServer::StreamFile(int i, uint64_t generation, std::ifstream file, uint64_t size) {
  Connection* c = Current(i, generation);
  if (!c || c->state != kStateConnected) return;
  StartStream(*c, size);
  c->file = std::make_unique<std::ifstream>(std::move(file));
  c->file_left = size;
  StreamNext(i);
}

void TCPServer::StreamBytes(int i, uint64_t generation, std::string bytes) {
  Connection* c = Current(i, generation);
  if (!c || c->state != kStateConnected) return;
  StartStream(*c, bytes.size());
  c->file_buffer = std::move(bytes);
  StreamNext(i);
}

void TCPServer::StartStream(Connection& c, uint64_t size) {
  c.EndStream();
  c.streaming = true;
  c.file_left = 0;
  c.file_sent = 0;
  send_done_[c.index] = true;
  if (size > kChunkSize) {
    // The chunks still go out one per send completion, but the kernel
    // holds them back into full segments until the close (whose shutdown
    // sends what is held): one transmission for a small picture instead
    // of one per chunk. The bytes on the wire are the same.
    asio::error_code ec;
    c.socket.set_option(asio::detail::socket_option::boolean<IPPROTO_TCP, TCP_CORK>(true), ec);
  }
}

void TCPServer::StreamNext(int i) {
  Connection& c = *slots_[i];
  Timer& timer = *binary_timers_[i];
  send_done_[i] = false;
  if (c.state != kStateConnected || !c.streaming) return;
  if (c.file_sent == c.file_buffer.size() && c.file_left > 0 && c.file) {
    // The next block from disk (a small file in one read).
    c.file_buffer.resize(static_cast<size_t>(std::min<uint64_t>(c.file_left, kFileBlock)));
    c.file->read(c.file_buffer.data(), static_cast<std::streamsize>(c.file_buffer.size()));
    c.file_buffer.resize(static_cast<size_t>(c.file->gcount()));
    c.file_sent = 0;
    c.file_left = c.file_buffer.empty() ? 0 : c.file_left - c.file_buffer.size();
  }
  if (c.file_sent == c.file_buffer.size()) {
    // The last chunk is on its way: the connection closes once it has gone.
    c.EndStream();
    c.tag.assign(1, '0');  // (not = "0": a false -Wrestrict in g++ 12)
    SendComplete(i);
    return;
  }
  const size_t n = std::min(kChunkSize, c.file_buffer.size() - c.file_sent);
  std::string chunk = c.file_buffer.substr(c.file_sent, n);
  c.file_sent += n;
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
  } else if (c.streaming) {
    // The wait for a chunk ends even without a send completion.
    StreamNext(i);
  }
}

}  // namespace tagvane
