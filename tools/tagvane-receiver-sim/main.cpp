// tagvane-receiver-sim: stands in for the RFID receiver. As a TCP server on
// loopback it plays a serial-to-network bridge; with --pty it makes a
// pseudo-terminal (a serial receiver); with --serial it writes to a serial
// device. It sends reports for a set of tags with scripted presence, logs
// the bytes it receives (the daemon's start-up command), and can flood the
// link for throughput measurements.
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "sim_script.h"

namespace {

using tagvane::sim::SimScript;
using Clock = std::chrono::steady_clock;

struct Options {
  int listen_port = -1;
  std::string bind = "127.0.0.1";
  std::string port_file;
  std::string pty_link;
  std::string serial;
  std::vector<std::string> tags;
  int interval_ms = 1000;
  int garbage_every = 0;
  bool split = false;
  bool flood = false;
  uint64_t count = 0;
  uint64_t drop_after = 0;
  std::string log_file;
  uint32_t seed = 1;
};

class Log {
 public:
  explicit Log(const std::string& path) {
    if (!path.empty()) file_.open(path, std::ios::app);
  }
  void Line(const std::string& text) {
    std::cerr << "sim: " << text << std::endl;
    if (file_) file_ << text << std::endl;
  }

 private:
  std::ofstream file_;
};

std::string Hex(const char* data, size_t n) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%s%02x", i ? " " : "", static_cast<unsigned char>(data[i]));
    out += buf;
  }
  return out;
}

// One outgoing byte stream (a TCP client or a descriptor) fed by the
// script; written one piece at a time so split chunks stay separate.
template <typename Stream>
class Sender : public std::enable_shared_from_this<Sender<Stream>> {
 public:
  Sender(asio::io_context& io, Stream stream, const Options& options, SimScript& script, Log& log,
         std::function<void()> on_done)
      : io_(io), stream_(std::move(stream)), timer_(io), options_(options), script_(script),
        log_(log), on_done_(std::move(on_done)), start_(Clock::now()) {}

  void Start() {
    first_report_ = script_.Reports();
    Read();
    if (options_.flood) {
      block_ = script_.FloodBlock(64 * 1024, block_reports_);
      flood_start_ = Clock::now();
      Flood();
    } else {
      Tick();
    }
  }

 private:
  void Read() {
    auto self = this->shared_from_this();
    stream_.async_read_some(asio::buffer(in_), [self](const std::error_code& ec, size_t n) {
      if (ec) return;
      self->log_.Line("received " + Hex(self->in_.data(), n));
      self->Read();
    });
  }

  void Tick() {
    const double t = std::chrono::duration<double>(Clock::now() - start_).count();
    std::string round = script_.Round(t);
    if (options_.split) {
      // Cut the round into pieces of 1 to 5 characters.
      size_t at = 0;
      size_t piece = 1;
      while (at < round.size()) {
        pending_.push_back(round.substr(at, piece));
        at += piece;
        piece = piece % 5 + 1;
      }
    } else if (!round.empty()) {
      pending_.push_back(std::move(round));
    }
    WriteNext();
    if (options_.drop_after && script_.Reports() - first_report_ >= options_.drop_after) {
      log_.Line("dropping the connection after " +
                std::to_string(script_.Reports() - first_report_) + " reports");
      Stop();
      return;
    }
    auto self = this->shared_from_this();
    timer_.expires_after(std::chrono::milliseconds(options_.interval_ms));
    timer_.async_wait([self](const std::error_code& ec) {
      if (!ec && !self->stopped_) self->Tick();
    });
  }

  void WriteNext() {
    if (writing_ || pending_.empty() || stopped_) return;
    writing_ = true;
    auto self = this->shared_from_this();
    asio::async_write(stream_, asio::buffer(pending_.front()),
                      [self](const std::error_code& ec, size_t) {
                        self->writing_ = false;
                        self->pending_.pop_front();
                        if (ec) {
                          self->log_.Line("write failed: " + ec.message());
                          self->Stop();
                          return;
                        }
                        self->WriteNext();
                      });
  }

  void Flood() {
    auto self = this->shared_from_this();
    asio::async_write(stream_, asio::buffer(block_), [self](const std::error_code& ec, size_t n) {
      if (ec) {
        self->log_.Line("flood write failed: " + ec.message());
        self->Stop();
        return;
      }
      self->flood_bytes_ += n;
      self->flood_reports_ += self->block_reports_;
      if (self->options_.count && self->flood_reports_ >= self->options_.count) {
        const double s = std::chrono::duration<double>(Clock::now() - self->flood_start_).count();
        std::cout << "flood: " << self->flood_reports_ << " reports, " << self->flood_bytes_
                  << " bytes, " << s << " s, " << self->flood_reports_ / s << " reports/s, "
                  << self->flood_bytes_ / s << " bytes/s" << std::endl;
        self->Stop();
        return;
      }
      self->Flood();
    });
  }

  void Stop() {
    if (stopped_) return;
    stopped_ = true;
    timer_.cancel();
    std::error_code ignored;
    stream_.close(ignored);
    if (on_done_) asio::post(io_, on_done_);
  }

  asio::io_context& io_;
  Stream stream_;
  asio::steady_timer timer_;
  const Options& options_;
  SimScript& script_;
  Log& log_;
  std::function<void()> on_done_;
  Clock::time_point start_;
  std::array<char, 256> in_{};
  std::deque<std::string> pending_;
  bool writing_ = false;
  bool stopped_ = false;
  uint64_t first_report_ = 0;
  std::string block_;
  uint64_t block_reports_ = 0;
  uint64_t flood_reports_ = 0;
  uint64_t flood_bytes_ = 0;
  Clock::time_point flood_start_;
};

bool IsLoopback(const std::string& address) {
  std::error_code ec;
  const auto a = asio::ip::make_address(address, ec);
  return !ec && a.is_loopback();
}

void Accept(asio::io_context& io, asio::ip::tcp::acceptor& acceptor, const Options& options,
            SimScript& script, Log& log) {
  acceptor.async_accept([&](const std::error_code& ec, asio::ip::tcp::socket socket) {
    if (ec) return;
    std::error_code ignored;
    const auto peer = socket.remote_endpoint(ignored);
    log.Line("client connected from " + peer.address().to_string() + ":" +
             std::to_string(peer.port()));
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    auto sender = std::make_shared<Sender<asio::ip::tcp::socket>>(
        io, std::move(socket), options, script, log, [&] {
          log.Line("client closed");
          if (options.flood) {
            io.stop();
          } else {
            Accept(io, acceptor, options, script, log);
          }
        });
    sender->Start();
  });
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App cli{"Receiver simulator for Tagvane: sends tag reports over loopback TCP or a "
               "pseudo-terminal."};
  cli.add_option("--listen", options.listen_port,
                 "Act as a serial-to-network bridge: TCP port to listen on (0: any free port)");
  cli.add_option("--bind", options.bind, "Listening address (loopback only)");
  cli.add_option("--port-file", options.port_file, "Write the listening port to this file");
  cli.add_option("--pty", options.pty_link,
                 "Act as a serial receiver: make a pseudo-terminal and link this path to it");
  cli.add_option("--serial", options.serial, "Write the reports to this serial device");
  cli.add_option("--tag", options.tags,
                 "ID[:STRENGTH[:ON_S[:OFF_S]]], repeatable (STRENGTH -1: no digits; ON_S/OFF_S: "
                 "present for ON_S s, silent for OFF_S s, repeating)");
  cli.add_option("--interval", options.interval_ms, "Milliseconds between rounds of reports");
  cli.add_option("--garbage", options.garbage_every,
                 "Insert 9 garbage bytes after every Nth report (0: never)");
  cli.add_flag("--split", options.split, "Send each round in small pieces");
  cli.add_flag("--flood", options.flood, "Send reports as fast as the link takes them");
  cli.add_option("--count", options.count, "With --flood: stop after this many reports");
  cli.add_option("--drop-after", options.drop_after,
                 "Close the connection after every N reports (the bridge drops)");
  cli.add_option("--log", options.log_file, "Append log lines to this file too");
  cli.add_option("--seed", options.seed, "Seed of the strength jitter and the garbage");
  CLI11_PARSE(cli, argc, argv);

  if (options.tags.empty()) options.tags = {"1A2B:87", "3C4D:60:20:15"};
  std::vector<tagvane::sim::SimTag> tags;
  try {
    for (const auto& t : options.tags) tags.push_back(tagvane::sim::ParseTag(t));
  } catch (const std::exception& e) {
    std::cerr << "sim: " << e.what() << std::endl;
    return 2;
  }
  SimScript script(std::move(tags), options.garbage_every, options.seed);
  Log log(options.log_file);
  asio::io_context io;

  if (options.listen_port >= 0) {
    if (!IsLoopback(options.bind)) {
      std::cerr << "sim: refusing to listen on " << options.bind << ": loopback only" << std::endl;
      return 2;
    }
    asio::ip::tcp::acceptor acceptor(
        io, asio::ip::tcp::endpoint(asio::ip::make_address(options.bind),
                                    static_cast<uint16_t>(options.listen_port)));
    const int port = acceptor.local_endpoint().port();
    if (!options.port_file.empty()) {
      std::ofstream(options.port_file + ".tmp") << port << "\n";
      std::filesystem::rename(options.port_file + ".tmp", options.port_file);
    }
    std::cout << "listening on " << options.bind << ":" << port << std::endl;
    Accept(io, acceptor, options, script, log);
    io.run();
    return 0;
  }

  int fd = -1;
  int slave = -1;
  if (!options.pty_link.empty()) {
    if (openpty(&fd, &slave, nullptr, nullptr, nullptr) != 0) {
      std::perror("openpty");
      return 1;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::error_code ec;
    std::filesystem::remove(options.pty_link, ec);
    std::filesystem::create_symlink(ttyname(slave), options.pty_link);
    std::cout << "pseudo-terminal " << ttyname(slave) << " linked at " << options.pty_link
              << std::endl;
  } else if (!options.serial.empty()) {
    fd = open(options.serial.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
      std::perror(options.serial.c_str());
      return 1;
    }
  } else {
    std::cerr << "sim: give --listen, --pty or --serial" << std::endl;
    return 2;
  }
  auto sender = std::make_shared<Sender<asio::posix::stream_descriptor>>(
      io, asio::posix::stream_descriptor(io, fd), options, script, log, [&] { io.stop(); });
  sender->Start();
  io.run();
  if (!options.pty_link.empty()) {
    std::error_code ec;
    std::filesystem::remove(options.pty_link, ec);
  }
  if (slave >= 0) close(slave);
  return 0;
}
