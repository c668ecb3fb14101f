#include "xap/xap_hub.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <cstdio>
#include <sstream>

#include "udp_peer.h"

namespace tagvane {
namespace {

using test::UdpPeer;

std::string Beat(int port, int interval, const char* cls = "xap-hbeat.alive") {
  return std::string("xap-hbeat\n{\nv=13\nhop=1\nuid=FF.1:00\nclass=") + cls +
         "\nsource=acme.test.one\ninterval=" + std::to_string(interval) +
         "\nport=" + std::to_string(port) + "\n}\n";
}

TEST(HubHeartbeat, ParsesWhatHubsNeed) {
  const auto alive = ParseHeartbeat(Beat(40000, 60));
  ASSERT_TRUE(alive);
  EXPECT_FALSE(alive->stop);
  EXPECT_EQ(alive->port, 40000);
  EXPECT_EQ(alive->interval_seconds, 60);
  EXPECT_EQ(alive->source, "acme.test.one");
  EXPECT_TRUE(ParseHeartbeat(Beat(40000, 60, "xap-hbeat.stop"))->stop);
  EXPECT_FALSE(ParseHeartbeat("xap-hbeat\n{\ninterval=60\n}\n"));      // no port
  EXPECT_FALSE(ParseHeartbeat("xap-hbeat\n{\nport=40000\n}\n"));       // no interval
  EXPECT_FALSE(ParseHeartbeat("xap-hbeat\n{\ninterval=60\nport=0\n}\n"));
  EXPECT_FALSE(ParseHeartbeat("xap-hbeat\n{\ninterval=60\nport=70000\n}\n"));
  EXPECT_FALSE(ParseHeartbeat("xap-header\n{\ninterval=60\nport=4000\n}\n"));
  EXPECT_FALSE(ParseHeartbeat(std::string("\0\0\0", 3)));
}

class HubTest : public ::testing::Test {
 protected:
  HubTest() {
    options_.port = test::FreeUdpPort();
    options_.bind_addresses = {"127.0.0.1"};
    options_.local_addresses = [] { return std::vector<std::string>{}; };
    hub_ = std::make_unique<XapHub>(io_, clock_, options_);
    std::string error;
    EXPECT_TRUE(hub_->Start(&error)) << error;
  }
  std::function<void()> Pump() {
    return [this] { io_.poll(); };
  }
  // Sends and waits until the hub has handled the datagram.
  void Send(UdpPeer& from, const std::string& text, const char* to = "127.0.0.1") {
    const uint64_t before = hub_->Received();
    from.SendTo(options_.port, text, to);
    ASSERT_TRUE(test::PumpUntil([&] { return hub_->Received() > before; }, Pump()));
  }

  asio::io_context io_;
  ManualClock clock_;
  XapHubOptions options_;
  std::unique_ptr<XapHub> hub_;
};

TEST_F(HubTest, RegistersRelaysExpiresAndStops) {
  UdpPeer client;
  UdpPeer other;
  Send(client, Beat(client.Port(), 60));
  EXPECT_EQ(hub_->ClientPorts(), std::vector<uint16_t>{client.Port()});
  // Its own heartbeat comes back too, like every datagram.
  EXPECT_EQ(client.Receive(), Beat(client.Port(), 60));

  // Broadcasts on loopback reach a hub bound to 127.0.0.1.
  const std::string message = "xap-header\n{\nclass=a.b\n}\nx\n{\n}\n";
  Send(other, message, "127.255.255.255");
  EXPECT_EQ(client.Receive(), message);

  // Alive for twice the interval, not longer.
  clock_.Advance(std::chrono::seconds(119));
  Send(other, "one");
  EXPECT_EQ(client.Receive(), "one");
  clock_.Advance(std::chrono::seconds(1));
  Send(other, "two");
  EXPECT_TRUE(hub_->ClientPorts().empty());
  EXPECT_TRUE(client.Idle());

  Send(client, Beat(client.Port(), 60));
  EXPECT_EQ(client.Receive(), Beat(client.Port(), 60));
  Send(client, Beat(client.Port(), 60, "xap-hbeat.stop"));
  EXPECT_TRUE(hub_->ClientPorts().empty());
  Send(other, "three");
  EXPECT_TRUE(client.Idle());
}

TEST_F(HubTest, LargeDatagramsAreRelayedUnchanged) {
  UdpPeer client;
  Send(client, Beat(client.Port(), 600));
  ASSERT_TRUE(client.Receive());
  std::string big = "xap-header\n";
  big.append(8000, 'a');
  UdpPeer other;
  Send(other, big);
  EXPECT_EQ(client.Receive(), big);
}

// The real binary: started on a free port and loopback, it relays a message
// to a client that announced itself.
TEST(HubBinary, RelaysToARegisteredClient) {
  const uint16_t port = test::FreeUdpPort();
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    const std::string exe = std::string(TAGVANE_BINARY_DIR) + "/tagvane-hub";
    const std::string port_text = std::to_string(port);
    execl(exe.c_str(), exe.c_str(), "--port", port_text.c_str(), "--bind", "127.0.0.1",
          "--verbose", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  FILE* from_hub = fdopen(out[0], "r");
  char line[512];
  bool ready = false;
  while (!ready && fgets(line, sizeof line, from_hub)) {
    ready = std::string(line).find("ready on port") != std::string::npos;
  }
  ASSERT_TRUE(ready);
  UdpPeer client;
  client.SendTo(port, Beat(client.Port(), 60));
  EXPECT_EQ(client.Receive(), Beat(client.Port(), 60));
  UdpPeer other;
  other.SendTo(port, "xap-header\nhello\n", "127.255.255.255");
  EXPECT_EQ(client.Receive(), "xap-header\nhello\n");
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  std::ostringstream rest;
  while (fgets(line, sizeof line, from_hub)) rest << line;
  fclose(from_hub);
  EXPECT_NE(rest.str().find("registered"), std::string::npos) << rest.str();
}

}  // namespace
}  // namespace tagvane
