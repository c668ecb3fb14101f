// The real daemon's web server under a bounded load of many connections,
// well-behaved and hostile ones mixed, then SIGTERM while more load runs.
// What counts: answers arrived, the daemon exited 0 and saved its files.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "support/rig.h"
#include "support/test_support.h"

namespace tagvane {
namespace {

using test::ChildProcess;
using test::ReadFile;
using test::WriteFile;

enum class Kind { kStatus, kMissing, kPicture, kPost, kHalfClose, kReset, kIdle };

struct Conn {
  int fd = -1;
  Kind kind = Kind::kStatus;
  std::string request;
  size_t sent = 0;
  std::string got;
  int born = 0;
};

// Drives `total` requests over at most `parallel` connections at a time;
// `tick` runs after each round (with the number started so far). Returns
// the number of connections that got an answer.
int Drive(int port, int total, int parallel, const std::function<void(int)>& tick) {
  static const Kind kKinds[] = {Kind::kStatus,    Kind::kMissing, Kind::kPicture, Kind::kStatus,
                                Kind::kPost,      Kind::kMissing, Kind::kHalfClose,
                                Kind::kReset,     Kind::kIdle};
  std::vector<Conn> open;
  int started = 0;
  int answered = 0;
  for (int round = 0; round < 200000 && (started < total || !open.empty()); ++round) {
    while (started < total && static_cast<int>(open.size()) < parallel) {
      Conn c;
      c.born = round;
      c.kind = kKinds[started % std::size(kKinds)];
      c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      sockaddr_in addr = test::LoopbackAddress(port);
      connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      const std::string body = "clientinput=yes&Refresh=Refresh";
      switch (c.kind) {
        case Kind::kPicture: c.request = "GET /pic.gif HTTP/1.1\r\n\r\n"; break;
        case Kind::kMissing: c.request = "GET /favicon.ico HTTP/1.1\r\n\r\n"; break;
        case Kind::kPost:
          c.request = "POST /status HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\n\r\n" + body;
          break;
        case Kind::kIdle: break;
        default: c.request = "GET /status HTTP/1.1\r\n\r\n";
      }
      open.push_back(std::move(c));
      ++started;
    }
    std::vector<pollfd> fds;
    for (const Conn& c : open) {
      fds.push_back({c.fd, static_cast<short>(POLLIN | (c.sent < c.request.size() ? POLLOUT : 0)),
                     0});
    }
    poll(fds.data(), fds.size(), 20);
    for (size_t i = 0; i < open.size(); ++i) {
      Conn& c = open[i];
      bool done = false;
      if ((fds[i].revents & POLLOUT) && c.sent < c.request.size()) {
        const ssize_t n = send(c.fd, c.request.data() + c.sent, c.request.size() - c.sent,
                               MSG_NOSIGNAL);
        if (n > 0) c.sent += static_cast<size_t>(n);
        if (c.sent == c.request.size() && c.kind == Kind::kHalfClose) shutdown(c.fd, SHUT_WR);
        if (c.sent == c.request.size() && c.kind == Kind::kReset) {
          const linger abort{1, 0};
          setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
          done = true;
        }
      }
      if (!done && (fds[i].revents & (POLLIN | POLLERR | POLLHUP))) {
        char buffer[65536];
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0) c.got.append(buffer, static_cast<size_t>(n));
        if (n == 0 || (n < 0 && errno != EAGAIN)) done = true;
      }
      // An idle connection leaves once a few rounds have passed.
      if (c.kind == Kind::kIdle && round % 50 == 49) done = true;
      // A bound against a hung daemon, not a measurement.
      if (round - c.born > 3000) done = true;
      if (done) {
        if (c.got.starts_with("HTTP/1.")) ++answered;
        close(c.fd);
        c.fd = -1;
      }
    }
    std::erase_if(open, [](const Conn& c) { return c.fd < 0; });
    if (tick) tick(started);
  }
  for (Conn& c : open) close(c.fd);
  return answered;
}

TEST(WebStress, ManyConnectionsThenSigtermUnderLoad) {
  test::TempDir dir;
  const int port = test::FreeLoopbackPort();
  std::string ini = "[RFID]\r\nHTTPPort=" + std::to_string(port) + "\r\n[RFIDUnits]\r\n";
  for (int i = 0; i < 300; ++i) {
    char code[17];
    std::snprintf(code, sizeof code, "____________%04X", i);
    ini += std::string(code) + "=" + code +
           "~2~tag~False~05/12/2026 10:00:00~Room~~False~False~False~10~~Switch~True~1~1~87~87~42~"
           "42\r\n";
  }
  WriteFile(dir / "HTML/pic.gif", std::string(5000, 'g'));
  auto owned = test::StartDaemon(dir.Path(), ini);
  ChildProcess& daemon = *owned;
  ASSERT_TRUE(daemon.WaitForOutput(test::kDaemonReady)) << daemon.Output();
  auto drain = [&](int) {
    int once = 0;
    daemon.WaitUntil([&] { return once++ > 0; }, std::chrono::milliseconds(1));
  };

  // More connections at once than the server has sockets: crowding resets,
  // resets and half-closes among ordinary requests.
  EXPECT_GT(Drive(port, 450, 40, drain), 0) << daemon.Output();
  // Fewer at once than would crowd it: every real request is answered (the
  // idle and the reset connections ask nothing, 2 in 9).
  EXPECT_GE(Drive(port, 180, 8, drain), 130) << daemon.Output();

  // More load, and SIGTERM in the middle of it.
  bool signalled = false;
  Drive(port, 300, 40, [&](int started) {
    drain(started);
    if (!signalled && started >= 150) {
      daemon.Signal(SIGTERM);
      signalled = true;
    }
  });
  EXPECT_TRUE(signalled);
  EXPECT_EQ(daemon.Wait(std::chrono::seconds(30)), 0) << daemon.Output();
  const std::string saved = ReadFile(dir / "Config/Tagvane.ini");
  EXPECT_NE(saved.find("____________0000="), std::string::npos);
  EXPECT_NE(saved.find("____________012B="), std::string::npos) << saved.size();
  EXPECT_FALSE(std::filesystem::exists(dir / "Config/Tagvane.ini.tmp"));
}

}  // namespace
}  // namespace tagvane
