// End to end: the real daemon and the real receiver simulator on loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include "core/app.h"
#include "core/text.h"
#include "receiver/receiver_link.h"
#include "receiver/rfid_device.h"
#include "support/app_options.h"
#include "support/rig.h"
#include "support/test_support.h"

namespace tagvane::test {
namespace {

// Sends SIGTERM and waits for the exit status.
int Terminate(ChildProcess& process) {
  process.Signal(SIGTERM);
  return process.Wait();
}

TEST(ReceiverEndToEnd, AcceptedTagTurnsOnAndIsSavedAtShutDown) {
  TempDir dir;
  ReceiverSim sim(dir.Path(), {"--log", (dir / "sim.log").string(), "--tag", "1A2B:87", "--tag",
                               "3C4D:60", "--interval", "200"});
  ASSERT_FALSE(sim.Port().empty());
  auto owned = StartDaemon(dir / "app",
                           "[RFID]\r\nSerialIP=127.0.0.1\r\nRFIDPort=" + sim.Port() +
                               "\r\nDebugLog=True\r\n[RFIDUnits]\r\n"
                               "____________1A2B=____________1A2B~3~Keys~False~01/12/2026 "
                               "10:00:00~Hall~01~False~False~False~10~~Switch~True~1~1~90~50~0~0\r\n");
  ChildProcess& daemon = *owned;
  // The monitor line of a report shows the device at 100 and On.
  const auto trace = dir / "app/Data/Tagvane.txt";
  ASSERT_TRUE(
      daemon.WaitUntil([&] { return ReadFile(trace).find("100\tON") != std::string::npos; }))
      << daemon.Output();
  EXPECT_EQ(Terminate(daemon), 0);
  EXPECT_NE(ReadFile(dir / "sim.log").find("received f0 29"), std::string::npos);

  const std::string ini = ReadFile(dir / "app/Config/Tagvane.ini");
  const size_t at = ini.find("____________1A2B=");
  ASSERT_NE(at, std::string::npos) << ini;
  const std::string line = ini.substr(at + 17, ini.find("\r\n", at) - at - 17);
  const auto fields = Split(line, '~');
  ASSERT_EQ(fields.size(), 20u) << line;
  EXPECT_EQ(fields[1], "2");
  EXPECT_EQ(fields[2], "Keys");
  EXPECT_EQ(fields[16], "100");
  EXPECT_EQ(fields[13], "True");
  // The tag never accepted is on disk as a new device, not in use.
  EXPECT_NE(ini.find("____________3C4D=____________3C4D~"), std::string::npos);
  Terminate(sim.Process());
}

TEST(ReceiverEndToEnd, LinkFollowsABridgeThatKeepsDroppingTheConnection) {
  TempDir dir;
  ReceiverSim sim(dir.Path(), {"--log", (dir / "sim.log").string(), "--tag", "1A2B:87",
                               "--interval", "50", "--drop-after", "10", "--split"});
  ASSERT_FALSE(sim.Port().empty());
  App app(TestAppOptions(dir / "app"));
  app.InitXap();
  auto owned = std::make_unique<ReceiverLink>(app);
  ReceiverLink& link = *owned;
  app.SetReceiver(std::move(owned));
  app.GetSettings().SerialIP = "127.0.0.1";
  app.GetSettings().RFIDPort = sim.Port();
  link.LoadDevices();
  ASSERT_TRUE(link.InitCommPort(app.GetSettings().RFIDPort));
  app.State().SerialPortOpen = true;
  ASSERT_TRUE(PumpUntil([&] { return link.Reconnects() >= 3; },
                        [&] { app.Loop().PumpFor(std::chrono::milliseconds(20)); },
                        std::chrono::seconds(60)));
  EXPECT_EQ(LogCount(app, "RFID IP Connection Closed"), link.Reconnects()) << "one entry per drop";
  DevicePtr* device = app.Tables().DeviceTable.Find("____________1A2B");
  ASSERT_TRUE(device);
  EXPECT_GE(link.Parser().ReportsProcessed(), 20u);
  EXPECT_EQ(app.Tables().DeviceTable.size(), 1u) << "split chunks joined, no stray devices";
  app.State().LinkClosing = true;
  link.Close();
  Terminate(sim.Process());
  EXPECT_GE(Occurrences(ReadFile(dir / "sim.log"), "received f0 29"), 2u) << "greeted on reconnect";
}

}  // namespace
}  // namespace tagvane::test
