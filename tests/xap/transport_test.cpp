#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <memory>

#include "core/logger.h"
#include "support/udp_peer.h"
#include "xap/local_address.h"
#include "xap/send_xap.h"
#include "xap/xap_message.h"
#include "xap/xap_transport.h"

namespace tagvane {
namespace {

using test::UdpPeer;

// A transport on loopback whose "hub" is a plain socket: broadcasts go to
// 127.0.0.1 at the peer's port.
class TransportTest : public ::testing::Test {
 protected:
  TransportTest() : timers_(clock_), log_(clock_, debug_) {}

  XapTransport& Make(XapTransportOptions options = {}) {
    options.hub_port = hub_.Port();
    if (!options.list_addresses)
      options.list_addresses = [] { return std::vector<std::string>{"127.0.0.1"}; };
    transport_ = std::make_unique<XapTransport>(io_, timers_, log_, options);
    transport_->SetXapSource("qbx.RFID.HOMEPC.Hall");
    transport_->SetXapUID("FF.0063:00");
    transport_->SetBroadcastAddress("127.0.0.1");
    transport_->SetInterfaceAddress("127.0.0.1");
    return *transport_;
  }
  void Pump() { io_.poll(); }
  std::function<void()> Pumper() {
    return [this] { Pump(); };
  }

  asio::io_context io_;
  ManualClock clock_;
  ManualTimerService timers_;
  bool debug_ = false;
  Logger log_;
  UdpPeer hub_;
  std::unique_ptr<XapTransport> transport_;
};

TEST_F(TransportTest, HeartbeatTextPortAndClamping) {
  // Another program holds the first private port: the next one is taken.
  UdpPeer blocker;
  XapTransportOptions options;
  options.first_port = blocker.Port();
  XapTransport& t = Make(options);
  const int port = t.Init();
  ASSERT_GT(port, 0);
  EXPECT_NE(port, blocker.Port());
  EXPECT_GT(port, blocker.Port());

  t.SendHeartbeat(60);
  const std::string expected_prefix =
      "xap-hbeat\n{\nv=13\nhop=1\nuid=FF.0063:00\nclass=xap-hbeat.alive\n"
      "source=qbx.RFID.HOMEPC.Hall\ninterval=";
  EXPECT_EQ(hub_.Receive(), expected_prefix + "600\nport=" + std::to_string(port) + "\n}\n");
  // The loopback socket sends when the chosen address is 127.0.0.1.
  EXPECT_EQ(hub_.LastSenderPort(), port);
  EXPECT_EQ(t.HBeatTimer().Interval(), 60000);

  t.SendHeartbeat(0);
  EXPECT_NE(hub_.Receive()->find("interval=00\n"), std::string::npos);
  EXPECT_FALSE(t.HBeatTimer().Running());
}

TEST_F(TransportTest, HeartbeatEveryTenthTick) {
  XapTransport& t = Make();
  ASSERT_GT(t.Init(), 0);
  t.SendHeartbeat(5);
  ASSERT_TRUE(hub_.Receive());
  timers_.Advance(std::chrono::seconds(45));  // nine ticks
  Pump();
  EXPECT_TRUE(hub_.Idle());
  timers_.Advance(std::chrono::seconds(5));  // the tenth
  const auto beat = hub_.Receive();
  ASSERT_TRUE(beat);
  EXPECT_NE(beat->find("interval=50\n"), std::string::npos);
}

TEST_F(TransportTest, NoFreePortAndUnboundState) {
  UdpPeer a, b;
  XapTransportOptions options;
  options.first_port = a.Port();
  options.port_tries = 1;
  XapTransport& t = Make(options);
  EXPECT_EQ(t.Init(), -1);
  // Nothing is announced or sent from an unbound transport.
  t.SendHeartbeat(60);
  t.SendXap("", "c.d", "s", "k\x01v", "", "", "");
  timers_.Advance(std::chrono::minutes(30));
  EXPECT_TRUE(hub_.Idle());
  EXPECT_EQ(t.Sent(), 0u);
}

TEST_F(TransportTest, SecondSocketBindsTheChosenAddress) {
  XapTransportOptions options;
  options.list_addresses = [] { return std::vector<std::string>{"127.0.0.2", "127.0.0.1"}; };
  XapTransport& t = Make(options);
  t.SetInterfaceAddress("Default");  // matches nothing: the first address
  const int port = t.Init();
  ASSERT_GT(port, 0);
  EXPECT_EQ(t.LocalAddress(), "127.0.0.2");
  t.SendRawXap("raw text");
  EXPECT_EQ(hub_.Receive(), "raw text");
  EXPECT_EQ(hub_.LastSenderPort(), port);
}

TEST_F(TransportTest, ComposedMessages) {
  XapTransport& t = Make();
  ASSERT_GT(t.Init(), 0);
  t.SendXap("a.b.c", "x.y", "sec", std::string("id\x01*\0noval\0k\x01v\x01w", 16), "sub", "", "x");
  EXPECT_EQ(hub_.Receive(),
            "xap-header\n{\nv=13\nhop=1\nuid=FF.0063:00\nclass=x.y\n"
            "source=qbx.RFID.HOMEPC.Hall:sub\ntarget=a.b.c:x\n}\nsec\n{\nid=*\nk=v\x01w\n}\n");
  t.SendXap("", "x.y", "sec", "", "", "FF.0063:1A", "x");
  EXPECT_EQ(hub_.Receive(),
            "xap-header\n{\nv=13\nhop=1\nuid=FF.0063:1A\nclass=x.y\n"
            "source=qbx.RFID.HOMEPC.Hall\n}\nsec\n{\n}\n");
}

TEST_F(TransportTest, LineBreaksCannotForgeLines) {
  XapTransport& t = Make();
  ASSERT_GT(t.Init(), 0);
  t.SendXap("", "x.y", "sec",
            "DisplayText\x01"
            "a\ntarget=evil\r\n}",
            "Front\nHall", "", "");
  XapMessage m;
  m.FromXap(*hub_.Receive());
  EXPECT_EQ(m.MsgTarget(), "Unknown");
  EXPECT_EQ(m.MsgSource(), "qbx.RFID.HOMEPC.Hall:Front Hall");
  EXPECT_EQ(m.GetItem("sec", "DisplayText"), "a target=evil  }");
}

// SendXap keeps what is logged before the transport is bound and sends it,
// in order, just before the first message after binding.
TEST_F(TransportTest, StartupQueueGoesOutFirstInOrder) {
  bool active = false;
  XapOutbox outbox(active);
  XapTransport& t = Make();
  outbox.SetTransport(&t);
  outbox.SendXap("", "first.c", "s", "", "", "", "");
  outbox.SendXap("", "second.c", "s", "", "", "", "");
  ASSERT_GT(t.Init(), 0);
  EXPECT_TRUE(hub_.Idle());
  active = true;
  outbox.SendXap("", "third.c", "s", "", "", "", "");
  std::vector<std::string> classes;
  for (const auto& text : hub_.Drain()) {
    XapMessage m;
    m.FromXap(text);
    classes.push_back(m.MsgClass());
  }
  EXPECT_EQ(classes, (std::vector<std::string>{"first.c", "second.c", "third.c"}));

  // A transport that never binds holds a bounded number of messages.
  bool never = false;
  XapOutbox stuck(never);
  for (size_t i = 0; i < XapOutbox::kStartupQueueLimit + 5; ++i) {
    stuck.SendXap("", "c" + std::to_string(i), "s", "", "", "", "");
  }
  EXPECT_EQ(stuck.StartupQueue().size(), XapOutbox::kStartupQueueLimit);
  EXPECT_EQ(stuck.DroppedStartupMessages(), 5u);
  EXPECT_EQ(stuck.StartupQueue().front().MsgClass, "c5");
}

TEST_F(TransportTest, ReceiveQueueFilterAndDelivery) {
  XapTransportOptions options;
  options.max_datagram = 200;
  options.max_queue = 3;
  XapTransport& t = Make(options);
  const int port = t.Init();
  ASSERT_GT(port, 0);
  int calls = 0;
  std::vector<std::string> got;
  t.RegisterNewMessageCallback([&] {
    ++calls;
    for (std::string m = t.GetMessage(); !m.empty(); m = t.GetMessage()) got.push_back(m);
  });
  UdpPeer peer;
  const auto p = static_cast<uint16_t>(port);
  peer.SendTo(p, "xap-hbeat\n{\nclass=xap-hbeat.alive\n}\n");
  peer.SendTo(p, std::string("\0\xff\x01junk", 7));
  peer.SendTo(p, std::string(201, 'x'));  // larger than accepted
  peer.SendTo(p, "XAP-HEADER one");
  ASSERT_TRUE(
      test::PumpUntil([&] { return t.Waiting() == 1 && t.DroppedOversize() == 1; }, Pumper()));
  // Delivery waits for the receive timer.
  EXPECT_EQ(calls, 0);
  timers_.Advance(std::chrono::milliseconds(50));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(got, std::vector<std::string>{"XAP-HEADER one"});

  // Beyond the bound the oldest waiting messages give way.
  for (int i = 0; i < 5; ++i) peer.SendTo(p, "xap-header " + std::to_string(i));
  ASSERT_TRUE(test::PumpUntil([&] { return t.DroppedOverflow() == 2; }, Pumper()));
  timers_.Advance(std::chrono::milliseconds(50));
  EXPECT_EQ(got, (std::vector<std::string>{"XAP-HEADER one", "xap-header 2", "xap-header 3",
                                           "xap-header 4"}));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(t.GetMessage(), "");
}

TEST(LocalAddress, MatchInterfaceAndChoice) {
  // Loopback-range texts only: these are pure checks, nothing is sent.
  EXPECT_TRUE(MatchInterface("127.1.1.255", "127.1.1.17"));
  EXPECT_FALSE(MatchInterface("127.1.1.255", "127.1.2.17"));
  EXPECT_FALSE(MatchInterface("Default", "127.0.0.1"));
  EXPECT_FALSE(MatchInterface("127.0.0.255", "127.0.0"));
  EXPECT_TRUE(MatchInterface("255.255.255.255", "127.3.2.1"));
  // Bitwise: a pattern also admits addresses that are not its own.
  EXPECT_TRUE(MatchInterface("127.0.0.3", "127.0.0.1"));
  EXPECT_EQ(ChooseLocalAddress("127.2.0.255", {"127.1.1.2", "127.2.0.7", "127.0.0.1"}),
            "127.2.0.7");
  EXPECT_EQ(ChooseLocalAddress("127.2.2.255", {"127.1.1.2", "127.1.3.1"}), "127.1.1.2");
  EXPECT_EQ(ChooseLocalAddress("Default", {}), "");
  const auto list = ListInterfaceAddresses();
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list.back().substr(0, 4), "127.");  // loopback comes last
  EXPECT_EQ(BroadcastAddressOf("127.0.0.1"), "127.255.255.255");
}

}  // namespace
}  // namespace tagvane
