// One accepted connection of the TCPServer. Every pending read and write
// holds it (and the buffer it uses) alive, so closing the connection or
// giving its slot to the next client never frees memory under a pending
// operation; such an operation ends with an error and finds the
// connection closed or no longer current.
#pragma once

#include <array>
#include <asio/ip/tcp.hpp>
#include <deque>
#include <fstream>
#include <memory>
#include <string>

#include "web/tcp_server.h"

namespace tagvane {

struct TCPServer::Connection {
  Connection(asio::io_context& io, int slot, uint64_t gen)
      : socket(io), index(slot), generation(gen) {}
  asio::ip::tcp::socket socket;
  int index;
  uint64_t generation;
  int state = kStateConnected;
  std::string peer;
  std::string tag;
  // Sends in order; the front one is being written while writing is set.
  std::deque<std::shared_ptr<const std::string>> outgoing;
  size_t outgoing_bytes = 0;
  bool writing = false;
  // A write of everything queued is posted to run once the current
  // handler has queued what it sends (a header and its first chunk go
  // out together).
  bool flush_posted = false;
  // The peer has finished sending (half-closed); it still gets its answer.
  bool peer_done = false;
  size_t received = 0;
  size_t queued_items = 0;
  // A binary file is being streamed: the open file while there is more to
  // read of it (none for a file already in memory), what is left to read,
  // and what was read and not yet sent.
  bool streaming = false;
  std::unique_ptr<std::ifstream> file;
  uint64_t file_left = 0;
  std::string file_buffer;
  size_t file_sent = 0;
  std::array<char, 16384> buffer;  // what a read receives (not cleared: always written first)

  void EndStream() {
    streaming = false;
    file.reset();
    file_buffer = std::string();
  }
};

}  // namespace tagvane
