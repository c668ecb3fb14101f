// The real daemon under a service manager of our own: a datagram socket
// named by NOTIFY_SOCKET receives READY=1, watchdog pings and STOPPING=1.
// Also prints the time from start to READY=1 and the resident memory then.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

#include "support/rig.h"
#include "support/test_support.h"

namespace tagvane {
namespace {

using test::ChildProcess;

class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~NotifySocket() { close(fd_); }
  bool Bound() const { return bound_; }
  // Every datagram received so far, appended to messages.
  void Drain() {
    char buf[4096];
    for (ssize_t n; (n = recv(fd_, buf, sizeof buf, 0)) > 0;) messages.emplace_back(buf, n);
  }
  size_t Count(const std::string& text) const {
    size_t n = 0;
    for (const auto& m : messages) n += m.find(text) != std::string::npos;
    return n;
  }
  std::vector<std::string> messages;

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  bool bound_ = false;
};

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

TEST(ServiceManager, DaemonNotifiesReadyWatchdogAndStopping) {
  test::TempDir dir;
  NotifySocket notify(dir / "notify.sock");
  ASSERT_TRUE(notify.Bound());
  ::setenv("NOTIFY_SOCKET", (dir / "notify.sock").c_str(), 1);
  ::setenv("WATCHDOG_USEC", "200000", 1);  // a ping every 100 ms
  const auto started = std::chrono::steady_clock::now();
  auto owned = test::StartDaemon(dir.Path(), "[RFID]\r\n");
  ChildProcess& daemon = *owned;
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");

  ASSERT_TRUE(daemon.WaitUntil([&] {
    notify.Drain();
    return notify.Count("READY=1") > 0;
  }, std::chrono::seconds(20))) << daemon.Output();
  const auto ready_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - started)
                            .count();
  std::printf("start-up to READY=1: %lld ms, resident memory at ready: %ld KiB\n",
              static_cast<long long>(ready_ms), ResidentKiB(daemon.Pid()));
  EXPECT_NE(notify.messages.front().find("STATUS=No receiver port set"), std::string::npos)
      << notify.messages.front();
  EXPECT_TRUE(daemon.WaitUntil([&] {
    notify.Drain();
    return notify.Count("WATCHDOG=1") >= 3;
  })) << "the event loop pings the watchdog";
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.Wait(), 0) << daemon.Output();
  notify.Drain();
  EXPECT_EQ(notify.Count("STOPPING=1"), 1u);
  EXPECT_EQ(notify.messages.back(), "STOPPING=1");
}

}  // namespace
}  // namespace tagvane
