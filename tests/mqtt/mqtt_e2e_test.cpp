// End to end: the real daemon, the receiver simulator and a real broker. An
// accepted tag is heard, turns On, falls silent and turns Off; the states and
// the discovery reach a subscriber; SIGKILL leaves the last will.
#include <gtest/gtest.h>
#include <signal.h>

#include "broker.h"
#include "support/rig.h"

namespace tagvane::test {
namespace {

TEST(MqttEndToEnd, TagTurnsOnAndOffAndTheLastWillFollowsAKill) {
  TempDir dir;
  Broker broker;
  Subscriber sub(broker.Port());
  // Heard for 6 s, then silent; weights 20 turn it within one pass.
  ReceiverSim sim(dir.Path(), {"--tag", "1A2B:87:6:600", "--interval", "200"});
  ASSERT_FALSE(sim.Port().empty());
  auto owned = StartDaemon(
      dir / "app", "[RFID]\r\nReceiverLocation=Hall\r\nSerialIP=127.0.0.1\r\nRFIDPort=" +
                       sim.Port() + "\r\nHTTPPort=0\r\n[MQTT]\r\nHost=127.0.0.1\r\nPort=" +
                       std::to_string(broker.Port()) +
                       "\r\n[RFIDUnits]\r\n"
                       "________HALL1A2B=________HALL1A2B~3~Keys~False~01/12/2026 10:00:00~Hall~01~"
                       "False~False~False~3~~Switch~True~20~20~50~50~0~0\r\n");
  ChildProcess& daemon = *owned;
  ASSERT_TRUE(sub.WaitFor("homeassistant/device_tracker/hall/1A2B/config|{")) << daemon.Output();
  ASSERT_TRUE(sub.WaitFor("tagvane/hall/1A2B/state|home")) << sub.Lines() << daemon.Output();
  // Off was published on connect; wait for the turn after the On.
  ASSERT_TRUE(sub.WaitUntil([&] {
    const size_t on = sub.Lines().find("tagvane/hall/1A2B/state|home");
    return sub.Lines().find("tagvane/hall/1A2B/state|not_home", on) != std::string::npos;
  })) << sub.Lines();
  EXPECT_NE(sub.Lines().find("\"status\":\"OFF\""), std::string::npos);

  daemon.Signal(SIGKILL);
  daemon.Wait();
  EXPECT_TRUE(sub.WaitFor("tagvane/hall/status|offline")) << sub.Lines();
}

}  // namespace
}  // namespace tagvane::test
