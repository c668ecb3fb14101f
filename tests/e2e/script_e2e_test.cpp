// End to end: the real daemon, hub and receiver simulator. An accepted tag
// that turns On runs the user's Main with the tag's name, and the script's
// WriteLog line reaches a hub client.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <optional>

#include "support/process.h"
#include "support/test_support.h"
#include "support/udp_peer.h"
#include "xap/xap_message.h"

namespace tagvane {
namespace {

using test::ChildProcess;

TEST(ScriptEndToEnd, ATagTurningOnRunsMainWhoseWriteLogReachesTheHub) {
  test::TempDir dir;
  const uint16_t hub_port = test::FreeUdpPort();
  ChildProcess hub(test::BuiltProgram("tagvane-hub"),
                   {"--port", std::to_string(hub_port), "--bind", "127.0.0.1"});
  ASSERT_TRUE(hub.WaitForOutput("ready on port")) << hub.Output();
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
                    "--interval", "200"});
  ASSERT_TRUE(test::PumpUntil(
      [&] { return std::filesystem::exists(port_file) && !test::ReadFile(port_file).empty(); },
      [] {}));
  test::WriteFile(dir / "app/Config/qbxXap.ini",
                  "[Interface]\r\nBroadcastAddress=127.255.255.255\r\nInterfaceAddress=127.0.0.1"
                  "\r\nHubPort=" + std::to_string(hub_port) + "\r\n");
  test::WriteFile(dir / "app/Config/Tagvane.ini",
                  "[RFID]\r\nSerialIP=127.0.0.1\r\nRFIDPort=" + test::ReadFile(port_file) +
                      "\r\n[RFIDUnits]\r\n"
                      "____________1A2B=____________1A2B~3~Keys~False~01/12/2026 10:00:00~"
                      "Hall~01~False~False~False~10~~Switch~True~1~1~90~50~0~0\r\n");
  test::WriteFile(dir / "app/scripts/TAGVANE.TXT",
                  "function Main(name)\n"
                  "  local state = Request(name)\n"
                  "  if state then WriteLog('Tag', name .. ' ' .. state.value) end\n"
                  "end\n");
  ChildProcess daemon(test::BuiltProgram("tagvane"),
                      {"--foreground", "--app-dir", (dir / "app").string()});
  ASSERT_TRUE(daemon.WaitForOutput(test::kDaemonReady)) << daemon.Output();

  auto is_tag_log = [](const std::string& t) {
    XapMessage m;
    m.FromXap(t);
    return m.CompareClass("Homeseer.Event") && m.GetItem("Event.Log", "Type") == "Tag";
  };
  std::optional<std::string> seen;
  for (int i = 0; i < 4 && !seen; ++i) seen = client.ReceiveMatching(is_tag_log);  // 10 s each
  ASSERT_TRUE(seen) << daemon.Output();
  XapMessage m;
  m.FromXap(*seen);
  EXPECT_EQ(m.GetItem("Event.Log", "Data"), "Keys ON");
  EXPECT_EQ(m.MsgSource().rfind("qbx.RFID.", 0), 0u);
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.Wait(), 0);
}

}  // namespace
}  // namespace tagvane
