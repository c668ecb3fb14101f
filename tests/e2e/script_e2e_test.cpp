// End to end: the real daemon, hub and receiver simulator. An accepted tag
// that turns On runs the user's Main with the tag's name, and the script's
// WriteLog line reaches a hub client.
#include <gtest/gtest.h>

#include <signal.h>

#include <optional>

#include "support/rig.h"
#include "support/test_support.h"
#include "xap/xap_message.h"

namespace tagvane {
namespace {

TEST(ScriptEndToEnd, ATagTurningOnRunsMainWhoseWriteLogReachesTheHub) {
  test::TempDir dir;
  test::HubWithClient hub;
  ASSERT_TRUE(hub.Ready()) << hub.Hub().Output();
  test::ReceiverSim sim(dir.Path(), {"--tag", "1A2B:87", "--interval", "200"});
  ASSERT_FALSE(sim.Port().empty());
  test::WriteFile(dir / "app/scripts/TAGVANE.TXT",
                  "function Main(name)\n"
                  "  local state = Request(name)\n"
                  "  if state then WriteLog('Tag', name .. ' ' .. state.value) end\n"
                  "end\n");
  auto daemon = test::StartDaemon(
      dir / "app",
      "[RFID]\r\nSerialIP=127.0.0.1\r\nRFIDPort=" + sim.Port() +
          "\r\n[RFIDUnits]\r\n"
          "____________1A2B=____________1A2B~3~Keys~False~01/12/2026 10:00:00~"
          "Hall~01~False~False~False~10~~Switch~True~1~1~90~50~0~0\r\n",
      "HubPort=" + std::to_string(hub.Port()) + "\r\n");
  ASSERT_TRUE(daemon->WaitForOutput(test::kDaemonReady)) << daemon->Output();

  auto is_tag_log = [](const std::string& t) {
    XapMessage m;
    m.FromXap(t);
    return m.CompareClass("Homeseer.Event") && m.GetItem("Event.Log", "Type") == "Tag";
  };
  std::optional<std::string> seen;
  for (int i = 0; i < 4 && !seen; ++i) seen = hub.Client().ReceiveMatching(is_tag_log);  // 10 s each
  ASSERT_TRUE(seen) << daemon->Output();
  XapMessage m;
  m.FromXap(*seen);
  EXPECT_EQ(m.GetItem("Event.Log", "Data"), "Keys ON");
  EXPECT_EQ(m.MsgSource().rfind("qbx.RFID.", 0), 0u);
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0);
}

}  // namespace
}  // namespace tagvane
