// The real daemon, the real hub and the real listener on loopback: the
// daemon's heartbeat registers it with the hub, its start-up messages reach
// the listener, and it answers an echo request that arrives through the hub.
#include <gtest/gtest.h>
#include <signal.h>

#include "support/rig.h"
#include "support/test_support.h"
#include "support/udp_peer.h"

namespace tagvane {
namespace {

using test::ChildProcess;

TEST(XapEndToEnd, DaemonHubAndListenerOnLoopback) {
  const std::string hub_port = std::to_string(test::FreeUdpPort());
  ChildProcess hub(test::BuiltProgram("tagvane-hub"),
                   {"--port", hub_port, "--bind", "127.0.0.1", "--verbose"});
  ASSERT_TRUE(hub.WaitForOutput("ready on port")) << hub.Output();
  ChildProcess listener(test::BuiltProgram("tagvane-xap-listen"), {"--hub-port", hub_port});
  ASSERT_TRUE(hub.WaitForOutput("(qbx.listen.")) << hub.Output();

  test::TempDir dir;
  auto owned = test::StartDaemon(dir.Path(), "[RFID]\r\nReceiverLocation=Hall\r\n",
                                 "HubPort=" + hub_port + "\r\n");
  ChildProcess& daemon = *owned;
  ASSERT_TRUE(daemon.WaitForOutput(test::kDaemonReady)) << daemon.Output();
  EXPECT_NE(daemon.Output().find("Using xAP port "), std::string::npos) << daemon.Output();
  ASSERT_TRUE(hub.WaitForOutput(".Hall) registered, interval 600 s")) << hub.Output();
  ASSERT_TRUE(listener.WaitForOutput("class=time.query")) << listener.Output();
  EXPECT_NE(listener.Output().find("class=Homeseer.Event"), std::string::npos);
  EXPECT_NE(listener.Output().find("Data=Using xAP port "), std::string::npos);
  // Heartbeats are not printed unless asked for.
  EXPECT_EQ(listener.Output().find("xap-hbeat"), std::string::npos);

  test::UdpPeer probe;
  probe.SendTo(static_cast<uint16_t>(std::stoi(hub_port)),
               "xap-header\n{\nv=13\nhop=1\nuid=FF.1234:00\nclass=WDT.Echo\n"
          "source=acme.wdt.one:probe\n}\nEcho.Query\n{\nQuery=ABC\n}\n");
  ASSERT_TRUE(listener.WaitForOutput("Response=abc")) << listener.Output();
  EXPECT_NE(listener.Output().find("target=acme.wdt.one:probe"), std::string::npos);

  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.Wait(), 0) << daemon.Output();
  listener.Signal(SIGTERM);
  EXPECT_EQ(listener.Wait(), 0);
  hub.Signal(SIGTERM);
  EXPECT_EQ(hub.Wait(), 0);
}

}  // namespace
}  // namespace tagvane
