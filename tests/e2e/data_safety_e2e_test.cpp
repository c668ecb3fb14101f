// The real daemon against hostile receiver input and file faults. The test
// plays the serial-to-network bridge on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>

#include "core/ini_tool.h"
#include "core/text.h"
#include "support/rig.h"
#include "support/test_support.h"

namespace tagvane::test {
namespace {

// A loopback TCP socket: listening (port 0: any), or connected to port.
int Socket(int* port, bool listening) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = LoopbackAddress(*port);
  if (!listening) return connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ? -1 : fd;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(fd, 4);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

// Accepts the daemon's connection and sends the chunks 10 ms apart.
class Bridge {
 public:
  explicit Bridge(std::vector<std::string> chunks) : listen_fd_(Socket(&port_, true)) {
    thread_ = std::thread([this, chunks = std::move(chunks)] {
      pollfd p{listen_fd_, POLLIN, 0};
      while (!stop_ && poll(&p, 1, 50) == 0) {
      }
      const int fd = stop_ ? -1 : accept(listen_fd_, nullptr, nullptr);
      for (size_t i = 0; fd >= 0 && i < chunks.size() && !stop_; ++i) {
        send(fd, chunks[i].data(), chunks[i].size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      sent_ = true;
      while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (fd >= 0) close(fd);
    });
  }
  ~Bridge() {
    stop_ = true;
    thread_.join();
    close(listen_fd_);
  }
  int port_ = 0;
  std::atomic<bool> sent_{false};

 private:
  int listen_fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Whether GET /status on 127.0.0.1:port is answered with 200.
bool StatusAnswers(int port) {
  const int fd = Socket(&port, false);
  std::string answer(64, '\0');
  if (fd >= 0) {
    send(fd, "GET /status HTTP/1.0\r\n\r\n", 24, MSG_NOSIGNAL);
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) > 0) answer.resize(std::max<ssize_t>(0, recv(fd, answer.data(), 64, 0)));
    close(fd);
  }
  return answer.find(" 200 ") != std::string::npos;
}

const std::string kAccepted =
    "____________1A2B~2~Keys~False~01/12/2026 10:00:00~Hall~01~False~False~False~10~~Switch~"
    "True~1~1~100~0~87~86.5";

std::string Ini(int bridge, int http) {
  return "[RFID]\r\nSerialIP=127.0.0.1\r\nRFIDPort=" + std::to_string(bridge) +
         "\r\nHTTPPort=" + std::to_string(http) +
         // Every new tag of the flood is kept, however many nobody accepted.
         "\r\nMaxUnacceptedTags=0" +
         "\r\n[RFIDUnits]\r\n____________1A2B=" + kAccepted + "\r\n";
}

// The accepted device's own settings survived (its figures move meanwhile).
void ExpectIntact(const std::string& record) {
  const auto fields = Split(record, '~');
  ASSERT_EQ(fields.size(), 20u) << record;
  EXPECT_EQ(fields[0] + fields[2] + fields[5] + fields[6] + fields[13],
            "____________1A2BKeysHall01True");
}

// The file as the next start would read it: every line a header or a key.
IniTool Reread(const std::filesystem::path& file) {
  IniTool ini;
  ini.SetBadLineReporter([](const std::string& line, const std::string&) {
    ADD_FAILURE() << "unreadable line: " << line;
  });
  ini.Parse(ReadFile(file));
  return ini;
}

TEST(DataSafety, AFloodOfNewTagsWithABackupThatCannotBeWritten) {
  TempDir dir;
  std::vector<std::string> chunks;
  for (int i = 0; i < 5000; ++i) {
    if (i % 100 == 0) chunks.emplace_back();
    char report[8];
    std::snprintf(report, sizeof report, "%04X ", 0x2000 + i);
    chunks.back() += report;
  }
  Bridge bridge(chunks);
  const int http = FreeLoopbackPort();
  std::filesystem::create_directories(dir / "Config/Tagvane.ini_bck/in-the-way");
  auto daemon = StartDaemon(dir.Path(), Ini(bridge.port_, http));
  ASSERT_TRUE(daemon->WaitForOutput(kDaemonReady)) << daemon->Output();
  int answered = 0;
  while (!bridge.sent_) answered += StatusAnswers(http);
  EXPECT_GE(answered, 1) << "the status page answers during the flood";
  // The last new tag reaches the disk within a second of its report.
  ASSERT_TRUE(daemon->WaitUntil([&] {
    return ReadFile(dir / "Config/Tagvane.ini").find("____________3387=") != std::string::npos;
  }));
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0) << daemon->Output();
  EXPECT_NE(daemon->Output().find("IniTool Save" + (dir / "Config/Tagvane.ini").string()),
            std::string::npos);
  const IniTool saved = Reread(dir / "Config/Tagvane.ini");
  EXPECT_EQ(saved.Keys("RFIDUnits").size(), 5001u);
  ExpectIntact(saved.Read("RFIDUnits", "____________1A2B", ""));
}

TEST(DataSafety, RandomReceiverBytesLeaveAcceptedRecordsIntactAndTheFileReadable) {
  TempDir dir;
  std::mt19937 random(11);
  std::vector<std::string> chunks(64, std::string(4096, '\0'));
  for (auto& chunk : chunks) {
    for (auto& c : chunk) c = static_cast<char>(random());
    chunk += "\n[]\n =x;1 \"ab1 ~abc ";  // the layout breakers a noisy line can carry
  }
  Bridge bridge(chunks);
  auto daemon = StartDaemon(dir.Path(), Ini(bridge.port_, FreeLoopbackPort()));
  ASSERT_TRUE(daemon->WaitUntil([&] { return bridge.sent_.load(); })) << daemon->Output();
  daemon->WaitUntil([] { return false; }, std::chrono::milliseconds(300));  // the last chunk
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0) << daemon->Output();
  const IniTool saved = Reread(dir / "Config/Tagvane.ini");
  ExpectIntact(saved.Read("RFIDUnits", "____________1A2B", ""));
  EXPECT_GT(saved.Keys("RFIDUnits").size(), 1u) << "noise that looked like reports made devices";
  for (const auto& key : saved.Keys("RFIDUnits")) EXPECT_EQ(key.size(), 16u) << key;
}

TEST(DataSafety, ASignalDuringStartUpEndsItAndTheProcessExitsSaved) {
  TempDir dir;
  // Nothing listens on the bridge port: start-up waits in the connect.
  auto daemon = StartDaemon(
      dir.Path(), "[DEVICES]\r\nLamp=01/02/2026 10:00:00;on\r\n[RFID]\r\nDebugLog=True\r\nRFIDPort=" +
               std::to_string(FreeLoopbackPort()) + "\r\nSerialIP=127.0.0.1\r\n");
  ASSERT_TRUE(daemon->WaitForOutput("RFID Winsock1_Error")) << daemon->Output();
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0) << daemon->Output();
  EXPECT_EQ(daemon->Output().find(kDaemonReady), std::string::npos);
  EXPECT_EQ(daemon->Output().find("retrying every"), std::string::npos);
  EXPECT_NE(ReadFile(dir / "Config/Tagvane.ini").find("[DEVICES]\r\nLamp=01/02/2026"),
            std::string::npos);
}

TEST(DataSafety, AShutDownThatCannotSaveExitsNonZeroAndSaysSo) {
  TempDir dir;
  auto daemon =
      StartDaemon(dir.Path(), "[RFID]\r\nHTTPPort=" + std::to_string(FreeLoopbackPort()) + "\r\n");
  ASSERT_TRUE(daemon->WaitForOutput(kDaemonReady)) << daemon->Output();
  std::filesystem::create_directories(dir / "Config/Tagvane.ini.tmp/in-the-way");
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 1) << daemon->Output();
  EXPECT_NE(daemon->Output().find("could not save"), std::string::npos);
}

}  // namespace
}  // namespace tagvane::test
