// End to end: the real daemon fed by the receiver simulator, on loopback,
// with the real hub. An accepted tag heard for about 24 s turns On, and the
// hub's client sees exactly one xapbsc.event for it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/process.h"
#include "support/test_support.h"
#include "support/udp_peer.h"
#include "xap/xap_message.h"

namespace tagvane {
namespace {

using test::ChildProcess;

TEST(BscEndToEnd, AcceptedTagHeardTurnsOnWithOneEvent) {
  test::TempDir dir;
  const uint16_t hub_port = test::FreeUdpPort();
  ChildProcess hub(test::BuiltProgram("tagvane-hub"),
                   {"--port", std::to_string(hub_port), "--bind", "127.0.0.1"});
  ASSERT_TRUE(hub.WaitForOutput("ready on port")) << hub.Output();
  // A hub client of our own, registered for the whole test.
  test::UdpPeer client;
  client.SendTo(hub_port,
                "xap-hbeat\n{\nv=13\nhop=1\nuid=FF.1:00\nclass=xap-hbeat.alive\n"
                "source=acme.test.client\ninterval=600\nport=" +
                    std::to_string(client.Port()) + "\n}\n");
  ASSERT_TRUE(
      client.ReceiveMatching([](const std::string& t) { return t.rfind("xap-hbeat", 0) == 0; }));

  const auto port_file = dir / "sim.port";
  ChildProcess sim(test::BuiltProgram("tagvane-receiver-sim"),
                   {"--listen", "0", "--port-file", port_file.string(), "--tag", "1A2B:87",
                    "--interval", "500"});
  ASSERT_TRUE(test::PumpUntil(
      [&] { return std::filesystem::exists(port_file) && !test::ReadFile(port_file).empty(); },
      [] {}));
  const std::string sim_port = test::ReadFile(port_file);
  test::WriteFile(dir / "app/Config/qbxXap.ini",
                  "[Interface]\r\nBroadcastAddress=127.255.255.255\r\nInterfaceAddress=127.0.0.1"
                  "\r\nHubPort=" +
                      std::to_string(hub_port) + "\r\n");
  test::WriteFile(dir / "app/Config/Tagvane.ini",
                  "[RFID]\r\nSerialIP=127.0.0.1\r\nRFIDPort=" + sim_port +
                      "\r\nReceiverLocation=Hall\r\n[RFIDUnits]\r\n"
                      "________Hall1A2B=________Hall1A2B~3~Keys~False~01/12/2026 10:00:00~"
                      "Kitchen~1A~False~False~False~10~~Switch~True~1~1~50~50~0~0\r\n");
  ChildProcess daemon(test::BuiltProgram("tagvane"),
                      {"--foreground", "--app-dir", (dir / "app").string()});
  ASSERT_TRUE(daemon.WaitForOutput(test::kDaemonReady)) << daemon.Output();

  // Eight off-timer passes of 3 s take the figure from 50 to 100.
  std::vector<XapMessage> events;
  auto is_bsc = [](const std::string& t) {
    XapMessage m;
    m.FromXap(t);
    return m.CompareClass("xapbsc.event") || m.CompareClass("xapbsc.info");
  };
  for (int i = 0; i < 4 && events.empty(); ++i) {  // each wait is bounded at 10 s
    if (auto text = client.ReceiveMatching(is_bsc)) {
      XapMessage m;
      m.FromXap(*text);
      events.push_back(m);
    }
  }
  ASSERT_EQ(events.size(), 1u) << daemon.Output();
  const XapMessage& on = events.front();
  EXPECT_EQ(on.MsgClass(), "xapbsc.event");
  EXPECT_EQ(on.MsgUID(), "FF.0063:1A");
  EXPECT_EQ(on.MsgSource().rfind("qbx.RFID.", 0), 0u);
  EXPECT_NE(on.MsgSource().find(".Hall:Kitchen.________HALL1A2B.Switch"), std::string::npos);
  EXPECT_EQ(on.GetItem("input.state", "State"), "ON");
  EXPECT_EQ(on.GetItem("input.state", "Text"), "97");  // the figure before the last pass

  // Two more passes at full figure: no further BSC message for the tag.
  sleep(7);
  for (const std::string& t : client.Drain()) EXPECT_FALSE(is_bsc(t)) << t;
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.Wait(), 0) << daemon.Output();
  sim.Signal(SIGTERM);
  sim.Wait();
  hub.Signal(SIGTERM);
  hub.Wait();
}

}  // namespace
}  // namespace tagvane
