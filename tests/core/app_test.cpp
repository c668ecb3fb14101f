#include <gtest/gtest.h>

#include "core/app.h"
#include "core/dates.h"
#include "receiver/rfid_device.h"
#include "scripting/device_class.h"
#include "support/app_options.h"
#include "support/test_support.h"

namespace tagvane {
namespace {

using test::ReadFile;
using test::WriteFile;

// A transport that binds nothing but reports a port and records messages.
class FakeTransport : public XapTransportPort, public XapMemberSender {
 public:
  explicit FakeTransport(CallTrace& trace, int port) : trace_(trace), port_(port) {}
  int Init(const XapTransportConfig& config) override {
    trace_.push_back("xap.Init");
    config_ = config;
    return port_;
  }
  void SendHeartbeat(int seconds) override {
    trace_.push_back("xap.SendHeartbeat " + std::to_string(seconds));
  }
  void Close() override { trace_.push_back("xap.Close"); }
  void SendXapMember(const xapQueuedMessage& m) override { sent.push_back(m); }

  XapTransportConfig config_;
  std::vector<xapQueuedMessage> sent;

 private:
  CallTrace& trace_;
  int port_;
};

using AppFixture = test::AppTest;

TEST_F(AppFixture, StartupWithAnEmptyIniUsesDefaultsInOrder) {
  WriteFile(Ini(), "");
  App app(Options());
  app.Start();
  EXPECT_EQ(trace_, (CallTrace{"http.StartServer", "xap.Init", "ui.CreateMonitor",
                               "receiver.LoadDevices", "receiver.InitRFID", "database.Open",
                               "ui.ShowIndicator"}));
  const Settings& s = app.GetSettings();
  EXPECT_EQ(s.fomdelta, 200);
  EXPECT_EQ(s.DatabaseConnection, "SQLite; Data Source=");
  EXPECT_FALSE(app.State().SerialPortOpen);
  EXPECT_FALSE(app.PeriodicTimer().Enabled());
  EXPECT_TRUE(app.OffTimer().Running());
  EXPECT_EQ(app.XapSourceAddress(), "qbx.RFID.HOMEPC");
  EXPECT_EQ(app.State().ReceiverCode, "______");
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "Data"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "Config/qbxXap.ini"));
  // Without a bound transport the event log waits in the start-up queue.
  EXPECT_FALSE(app.State().XapActive);
  ASSERT_EQ(app.Outbox().StartupQueue().size(), 1u);
  EXPECT_NE(app.Outbox().StartupQueue()[0].MsgData.find("xAP Init Error 0 occurred"),
            std::string::npos);
}

TEST_F(AppFixture, BoundTransportGetsHeartbeatQueueAndTimeQuery) {
  WriteFile(Ini(), "[RFID]\r\nReceiverLocation=Kitchen Hall\r\nUID=AB1234\r\n");
  WriteFile(dir_ / "Config/qbxXap.ini",
            "[Interface]\r\nInterfaceAddress=127.0.0.1\r\nBroadcastAddress=127.255.255.255\r\n");
  App app(Options());
  auto transport = std::make_unique<FakeTransport>(trace_, 32768);
  FakeTransport* t = transport.get();
  app.Outbox().SetTransport(t);
  app.SetXapTransport(std::move(transport));
  app.Log().LogEvent("Tagvane", "before start");
  app.Start();
  EXPECT_EQ(t->config_.source, "qbx.RFID.HOMEPC.Kitchen Hall");
  EXPECT_EQ(t->config_.uid, "FF.0063:00");
  EXPECT_EQ(t->config_.interface_address, "127.0.0.1");
  EXPECT_EQ(t->config_.broadcast_address, "127.255.255.255");
  EXPECT_EQ(trace_[2], "xap.SendHeartbeat 60");
  EXPECT_TRUE(app.State().XapActive);
  EXPECT_EQ(app.GetSettings().UID, "AB.1234:00");
  EXPECT_EQ(app.State().ReceiverCode, "n Hall");
  ASSERT_EQ(t->sent.size(), 3u);
  EXPECT_NE(t->sent[0].MsgData.find("before start"), std::string::npos);
  EXPECT_NE(t->sent[1].MsgData.find("Using xAP port 32768"), std::string::npos);
  EXPECT_EQ(t->sent[2].MsgClass, "time.query");
  EXPECT_EQ(t->sent[2].MsgData, std::string("id\x01*"));
}

TEST_F(AppFixture, PeriodicTimerIsArmedFromTheSetting) {
  WriteFile(Ini(), "[RFID]\r\nPeriodicScriptInterval=90\r\n");
  App app(Options());
  app.Start();
  EXPECT_TRUE(app.PeriodicTimer().Enabled());
  trace_.clear();
  timers_.Advance(std::chrono::milliseconds(30000));
  EXPECT_EQ(std::count(trace_.begin(), trace_.end(), "scripts.PeriodicTick"), 1);
}

TEST_F(AppFixture, FilterAndDeviceSectionsAreLoaded) {
  WriteFile(Ini(),
            "[Received]\r\na=b=c\r\nnoequals\r\n=empty\r\nA=second\r\n\"q\"=\"quoted\"\r\n"
            "[Devices]\r\nDoor=not a date;KEY1\r\nLamp=01/02/2026 10:00:00;on;level\r\n"
            "[Device Messages]\r\nlamp.on=hello\r\n");
  App app(Options());
  app.Start();
  const auto& filters = app.Tables().FilterTable;
  ASSERT_EQ(filters.size(), 2u);
  EXPECT_EQ(*filters.Find("A"), "b");
  EXPECT_EQ(*filters.Find("q"), "quoted");
  const auto& devices = app.Tables().ScriptDeviceTable;
  ASSERT_EQ(devices.size(), 2u);
  const DeviceClass& door = **devices.Find("door");
  EXPECT_EQ(door.LastChange, MakeDateTime(2000, 1, 1));
  ASSERT_EQ(door.MessageKeyList.size(), 1u);
  EXPECT_EQ(*door.MessageKeyList.Find("key1"), "key1");
  const DeviceClass& lamp = **devices.Find("Lamp");
  EXPECT_EQ(lamp.LastChange, MakeDateTime(2026, 2, 1, 10));
  EXPECT_EQ(*lamp.MessageList.Find("on"), "hello");
  EXPECT_EQ(*lamp.MessageList.Find("level"), "");
}

TEST_F(AppFixture, ShutdownWritesTagRecordsAndDeviceSectionsOnce) {
  WriteFile(Ini(),
            "[RFIDUnits]\r\nold=kept\r\n[Devices]\r\nLamp=01/02/2026 10:00:00;on\r\n"
            "[Device Messages]\r\nlamp.on=hello\r\n");
  App app(Options());
  app.Start();
  auto device = std::make_shared<RFIDDevice>();
  const std::string record =
      "______RFID01~2~Keys~False~01/02/2026 10:00:00~Hall~01~False~False~False~10~~Switch~True~1~"
      "1~100~0~87~86.5";
  device->SetProperties(record);
  app.Tables().DeviceTable.Add("______RFID01", device);
  app.Tables().ScriptDeviceTable.Find("Lamp")->get()->MessageList.Set("on", "bye");
  app.Shutdown();
  app.Shutdown();
  EXPECT_EQ(ReadFile(Ini()),
            "[DEVICE MESSAGES]\r\nLamp.on=bye\r\n[DEVICES]\r\nLamp=01/02/2026 10:00:00;on\r\n"
            "[RFIDUNITS]\r\n______RFID01=" + record + "\r\nold=kept\r\n");
  EXPECT_EQ(std::count(trace_.begin(), trace_.end(), "receiver.Close"), 1);
  EXPECT_FALSE(app.OffTimer().Enabled());
}

// A receiver whose connect wait sees a shut-down signal.
class SignalDuringConnect final : public ReceiverPort {
 public:
  explicit SignalDuringConnect(App*& app, CallTrace& trace) : app_(app), trace_(trace) {}
  bool InitCommPort(const std::string&) override {
    trace_.push_back("receiver.InitCommPort");
    app_->RequestShutdown();
    return false;
  }
  void InitRFID() override { trace_.push_back("receiver.InitRFID"); }
  void LoadDevices() override { trace_.push_back("receiver.LoadDevices"); }
  void SendToReceiver(std::string_view) override {}
  void Close() override { trace_.push_back("receiver.Close"); }

 private:
  App*& app_;
  CallTrace& trace_;
};

TEST_F(AppFixture, AShutDownAskedForDuringStartUpEndsItAndSavesWhatWasLoaded) {
  const std::string original =
      "[DEVICE MESSAGES]\r\nLamp.on=hi\r\n[DEVICES]\r\nLamp=01/02/2026 10:00:00;on\r\n"
      "[RFID]\r\nRFIDPort=4001\r\n"
      "SerialIP=127.0.0.1\r\n[RFIDUNITS]\r\n____________1A2B=x\r\n";
  WriteFile(Ini(), original);
  App app(Options());
  App* self = &app;
  app.SetReceiver(std::make_unique<SignalDuringConnect>(self, trace_));
  app.Start();
  EXPECT_TRUE(app.StartupCancelled());
  EXPECT_FALSE(app.Starting());
  EXPECT_EQ(trace_, (CallTrace{"http.StartServer", "xap.Init", "ui.CreateMonitor",
                               "receiver.InitCommPort"}));
  EXPECT_FALSE(app.OffTimer().Enabled());
  app.Shutdown();
  EXPECT_TRUE(app.SavedAtShutdown());
  EXPECT_EQ(ReadFile(Ini()), original);
}

TEST_F(AppFixture, ExistingFoldersInAnotherLetterCaseAreUsed) {
  WriteFile(dir_ / "config/Tagvane.ini", "[RFID]\r\nReceiverLocation=Attic\r\n");
  std::filesystem::create_directories(dir_ / "DATA");
  App app(Options());
  app.Start();
  EXPECT_EQ(app.GetSettings().receiverlocation, "Attic");
  EXPECT_EQ(app.ConfigDir(), dir_ / "config");
  EXPECT_EQ(app.DataDir(), dir_ / "DATA");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "Config"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "Data"));
}

TEST_F(AppFixture, TwoAppsRunSideBySide) {
  test::TempDir other;
  AppOptions second = Options();
  second.app_dir = other.Path();
  WriteFile(Ini(), "[RFID]\r\nReceiverLocation=Hall\r\n");
  WriteFile(other / "Config/Tagvane.ini", "[RFID]\r\nReceiverLocation=Garage\r\n");
  App a(Options());
  App b(second);
  a.Start();
  b.Start();
  EXPECT_EQ(a.State().ReceiverCode, "__Hall");
  EXPECT_EQ(b.State().ReceiverCode, "Garage");
}

}  // namespace
}  // namespace tagvane
