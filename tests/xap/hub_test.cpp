#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "support/udp_peer.h"
#include "xap/xap_hub.h"

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
  EXPECT_FALSE(ParseHeartbeat("xap-hbeat\n{\ninterval=60\n}\n"));  // no port
  EXPECT_FALSE(ParseHeartbeat("xap-hbeat\n{\nport=40000\n}\n"));   // no interval
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

}  // namespace
}  // namespace tagvane
