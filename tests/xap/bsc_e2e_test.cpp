// End to end: the real daemon fed by the receiver simulator, on loopback,
// with the project's hub, which relays every message to each client, the
// sender included. The BSC messages published for an accepted tag that is
// heard continuously must be exactly those the presence rules give, as if
// the hub did not deliver the daemon's own messages back to it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <ostream>

#include "core/text.h"
#include "support/rig.h"
#include "support/test_support.h"
#include "xap/xap_message.h"

namespace tagvane {
namespace {

struct Published {
  std::string cls;
  std::string state;
  std::string text;
  bool operator==(const Published&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Published& p) {
  return os << p.cls << " " << p.state << " " << p.text;
}

// The presence rules for a tag heard on every off-timer pass, both weights
// 1: the figure rises by a tenth of itself (at least 5) up to 100; reaching
// 100 turns the tag On with an event; otherwise a rise of at least fomdelta
// since the last report sends an info. Each message carries the figure from
// before the pass, rounded half to even; after a turn the last report is 0.
std::vector<Published> HeardTagRules(float f, float reported, bool on, float fomdelta, int passes) {
  std::vector<Published> out;
  for (int pass = 0; pass < passes; ++pass) {
    const std::string m = std::to_string(static_cast<int>(std::nearbyint(f)));
    f = std::min(100.0f, f + std::max(5.0f, static_cast<float>(f * 0.1)));
    if (f == 100.0f && !on) {
      out.push_back({"xapbsc.event", "ON", m});
      on = true;
      reported = 0;
    } else if (f - reported >= fomdelta) {
      out.push_back({"xapbsc.info", on ? "ON" : "OFF", m});
      reported = f;
    }
  }
  return out;
}

TEST(BscEndToEnd, OwnMessagesEchoedByTheHubChangeNothing) {
  test::TempDir dir;
  test::HubWithClient hub;  // relays to our client and echoes to the daemon
  ASSERT_TRUE(hub.Ready()) << hub.Hub().Output();
  test::ReceiverSim sim(dir.Path(), {"--tag", "1A2B:87", "--interval", "500"});
  ASSERT_FALSE(sim.Port().empty());
  const std::vector<Published> expected = HeardTagRules(50, 50, false, 20, 12);
  ASSERT_EQ(expected.size(), 4u);  // two infos on the way up, the turn, one info at 100

  // Off, figure 50, last reported 50, in use with the uID 1A.
  auto daemon = test::StartDaemon(
      dir / "app",
      "[RFID]\r\nSerialIP=127.0.0.1\r\nRFIDPort=" + sim.Port() +
          "\r\nReceiverLocation=Hall\r\nfomdelta=20\r\n[RFIDUnits]\r\n"
          "________Hall1A2B=________Hall1A2B~3~Keys~False~01/12/2026 10:00:00~"
          "Kitchen~1A~False~False~False~10~~Switch~True~1~1~50~50~0~0\r\n",
      "HubPort=" + std::to_string(hub.Port()) + "\r\n");
  ASSERT_TRUE(daemon->WaitForOutput(test::kDaemonReady)) << daemon->Output();

  std::vector<Published> published;
  std::vector<XapMessage> messages;
  auto collect = [&] {
    for (const std::string& t : hub.Client().Drain()) {
      XapMessage m;
      m.FromXap(t);
      if (!m.CompareClass("xapbsc.event") && !m.CompareClass("xapbsc.info")) continue;
      messages.push_back(m);
      published.push_back(
          {m.MsgClass(), m.GetItem("input.state", "State"), m.GetItem("input.state", "Text")});
    }
  };
  // Nine off-timer passes of 3 s give the four messages; two passes more
  // must give nothing further.
  daemon->WaitUntil(
      [&] {
        collect();
        return published.size() >= expected.size();
      },
      std::chrono::seconds(45));
  sleep(7);
  collect();
  EXPECT_EQ(published, expected) << daemon->Output();
  for (const XapMessage& m : messages) {
    EXPECT_EQ(m.MsgUID(), "FF.0063:1A");
    EXPECT_EQ(m.MsgSource().rfind("qbx.RFID.", 0), 0u);
    EXPECT_NE(m.MsgSource().find(".Hall:Kitchen.________HALL1A2B.Switch"), std::string::npos);
  }

  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0) << daemon->Output();
  // No record was made from the daemon's own reports.
  const std::string ini = ToLower(test::ReadFile(dir / "app/Config/Tagvane.ini"));
  EXPECT_EQ(ini.find("__hall__hall1a2b"), std::string::npos) << ini;
  EXPECT_NE(ini.find("________hall1a2b=________hall1a2b~2~keys~"), std::string::npos) << ini;
}

}  // namespace
}  // namespace tagvane
