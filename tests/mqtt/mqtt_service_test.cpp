// The MQTT publisher in one process with a real broker: discovery, state and
// attributes, Home Assistant's birth message, renaming, leaving use, and a
// broker that goes away while tags change.
#include "mqtt/mqtt_service.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "broker.h"
#include "core/app.h"
#include "mqtt/mqtt_payloads.h"
#include "receiver/device_table.h"
#include "receiver/rfid_device.h"
#include "support/app_options.h"
#include "support/rig.h"

namespace tagvane::test {
namespace {

class MqttServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "Config/Tagvane.ini",
              "[RFID]\r\nReceiverLocation=Hall\r\n[MQTT]\r\nHost=127.0.0.1\r\nPort=" +
                  std::to_string(broker_.Port()) + "\r\nPassword=never-shown-9f\r\n");
    AppOptions options;
    options.app_dir = dir_.Path();
    options.computer_name = "testhost";
    app_ = std::make_unique<App>(options);
    app_->InitXap();
    auto service = std::make_unique<MqttService>(*app_);
    service_ = service.get();
    app_->SetMqtt(std::move(service));
  }
  void TearDown() override { app_->Mqtt().Close(); }

  DevicePtr Add(const std::string& id, const std::string& name, int16_t status) {
    const std::string code = MakeDeviceCode("", id, app_->State().ReceiverCode);
    auto device = NewRFIDDevice(*app_);
    device->SetDC(code);
    device->SetTag(name);
    device->SetLocation("Hall");
    device->SetInUse(true);
    device->SetDeviceStatus(status);
    app_->Tables().DeviceTable.Add(code, device);
    return device;
  }
  void Pump() { app_->Loop().PumpFor(Milliseconds(10)); }
  bool Connected() { return service_->Connection() && service_->Connection()->Connected(); }

  Broker broker_;
  TempDir dir_;
  std::unique_ptr<App> app_;
  MqttService* service_ = nullptr;
};

TEST_F(MqttServiceTest, PublishesDiscoveryStateAndFollowsDecisionsRenamesAndRetirement) {
  Subscriber sub(broker_.Port());
  DevicePtr keys = Add("1A2B", "Keys", kStatusOn);
  Add("3C4D", "", kStatusOff)->SetInUse(false);  // not in use: nothing
  app_->Mqtt().Start();
  ASSERT_TRUE(sub.WaitFor("tagvane/hall/1A2B/state|home", [&] { Pump(); })) << sub.Lines();
  EXPECT_EQ(sub.Count("tagvane/hall/status|online"), 1u);
  EXPECT_EQ(sub.Count("homeassistant/device_tracker/hall/1A2B/config|{"), 1u);
  EXPECT_EQ(sub.Count("homeassistant/binary_sensor/hall/1A2B/config|{"), 1u);
  EXPECT_NE(sub.Lines().find("\"device_class\":\"presence\""), std::string::npos);
  EXPECT_NE(sub.Lines().find("\"unique_id\":\"tagvane_hall_1A2B_tracker\""), std::string::npos);
  EXPECT_EQ(sub.Lines().find("3C4D"), std::string::npos);
  EXPECT_EQ(app_->Mqtt().StatusLine(), "connected to 127.0.0.1:" + std::to_string(broker_.Port()));

  // A decision: the state follows at once.
  keys->SetDeviceStatus(kStatusOff);
  app_->GetHooks().DeviceDecision(keys->DC());
  ASSERT_TRUE(sub.WaitFor("tagvane/hall/1A2B/state|not_home", [&] { Pump(); }));

  // Home Assistant starts: everything is announced again.
  PublishOnce(broker_.Port(), "homeassistant/status", "online");
  ASSERT_TRUE(sub.WaitUntil([&] {
    Pump();
    return sub.Count("homeassistant/device_tracker/hall/1A2B/config|{") == 2;
  }));

  // Renamed: the discovery carries the new name.
  keys->SetTag("Car keys");
  ASSERT_TRUE(sub.WaitFor("\"name\":\"Car keys\"", [&] { Pump(); }));

  // No longer in use: empty retained configs remove the entities.
  keys->SetInUse(false);
  ASSERT_TRUE(sub.WaitFor("homeassistant/binary_sensor/hall/1A2B/config|\n", [&] { Pump(); }))
      << sub.Lines();
  EXPECT_NE(sub.Lines().find("homeassistant/device_tracker/hall/1A2B/config|\n"),
            std::string::npos);
  EXPECT_EQ(sub.Lines().find("never-shown-9f"), std::string::npos);
  EXPECT_EQ(LogCount(*app_, "never-shown-9f"), 0u);
}

TEST_F(MqttServiceTest, BrokerRestartDeliversTheFinalStatesAndKeepsNothingElse) {
  DevicePtr a = Add("0001", "A", kStatusOn);
  DevicePtr b = Add("0002", "B", kStatusOff);
  app_->Mqtt().Start();
  ASSERT_TRUE(test::PumpUntil([&] { return Connected(); }, [&] { Pump(); }));
  broker_.Stop();
  ASSERT_TRUE(test::PumpUntil([&] { return !Connected(); }, [&] { Pump(); }));
  EXPECT_NE(app_->Mqtt().StatusLine().find("not connected"), std::string::npos);
  // Many turns while the broker is away; only the last of each counts.
  for (int i = 0; i < 1000; ++i) {
    a->SetDeviceStatus(i % 2 ? kStatusOn : kStatusOff);
    app_->GetHooks().DeviceDecision(a->DC());
  }
  b->SetDeviceStatus(kStatusOn);
  app_->GetHooks().DeviceDecision(b->DC());
  const double published = app_->GetMetrics().Value("tagvane_mqtt_messages_published_total");
  broker_.Start();
  Subscriber sub(broker_.Port(), "tagvane/#");
  // The last of the turns was On. A message the broker had not yet
  // acknowledged when it went away is sent again after the reconnect, ahead
  // of the current state, so the check is on the last state each tag shows.
  auto last_state = [&](const std::string& topic) {
    const std::string lines = sub.Lines();
    const size_t at = lines.rfind(topic + "|");
    if (at == std::string::npos) return std::string();
    const size_t from = at + topic.size() + 1;
    return lines.substr(from, lines.find('\n', from) - from);
  };
  EXPECT_TRUE(sub.WaitUntil([&] {
    Pump();
    return last_state("tagvane/hall/0001/state") == "home" &&
           last_state("tagvane/hall/0002/state") == "home";
  })) << sub.Lines();
  // Reconnected after the first short back-off: status, 2 x (2 configs,
  // state, attributes).
  EXPECT_LE(app_->GetMetrics().Value("tagvane_mqtt_messages_published_total") - published, 12);
}

// Retained topics of tags that left use while the daemon was away are
// cleared (config, state, attributes); a live tag keeps its own.
TEST_F(MqttServiceTest, ClearsRetiredTopicsFoundOnTheBroker) {
  PublishOnce(broker_.Port(), "homeassistant/device_tracker/hall/9999/config", "{}", true);
  PublishOnce(broker_.Port(), "tagvane/hall/9999/state", "home", true);
  PublishOnce(broker_.Port(), "tagvane/hall/8888/state", "home", true);
  Add("0001", "", kStatusOn);
  Subscriber sub(broker_.Port());
  app_->Mqtt().Start();
  for (const char* cleared :
       {"homeassistant/device_tracker/hall/9999/config|\n", "tagvane/hall/9999/state|\n",
        "tagvane/hall/9999/attributes|\n", "tagvane/hall/8888/state|\n"}) {
    EXPECT_TRUE(sub.WaitFor(cleared, [&] { Pump(); })) << cleared;
  }
  EXPECT_EQ(sub.Count("tagvane/hall/0001/state|home"), 1u) << sub.Lines();
  EXPECT_EQ(sub.Count("tagvane/hall/0001/state|\n"), 0u) << "a live tag keeps its state";
  EXPECT_EQ(sub.Lines().find("via_device"), std::string::npos);
}

// Connect and Home Assistant's birth each republish 10,000 tags; watched one
// handler at a time, no loop turn hands the client more than one chunk, so
// pages are answered in between whatever the broker's speed.
TEST_F(MqttServiceTest, RepublishOfManyTagsHandsTheClientOneChunkPerLoopTurn) {
  constexpr size_t kTags = 10'000;
  constexpr size_t kChunk = MqttService::kChunk;
  for (size_t i = 0; i < kTags; ++i) Add(fmt::format("{:04X}", i), "", kStatusOn);
  auto sent = [&] { return app_->GetMetrics().Value("tagvane_mqtt_messages_published_total"); };
  // Runs one handler and counts it when it handed the client more than one
  // chunk (two configs, state and attributes per tag, and the node status)
  // or took more than one chunk off the backlog.
  size_t big_turns = 0;
  auto turn = [&] {
    const double before = sent();
    const auto waiting = static_cast<long>(service_->Backlog());
    app_->Loop().Io().run_one_for(Milliseconds(10));
    big_turns += sent() - before > 4 * kChunk + 1 ||
                 waiting - static_cast<long>(service_->Backlog()) > static_cast<long>(kChunk);
  };
  // From the turn that starts it (the first that publishes) to the end;
  // 40,000 messages take a while in a sanitizer build.
  const auto bound = std::chrono::seconds(90);
  auto republish = [&](const char* what) {
    SCOPED_TRACE(what);
    const double mark = sent();
    ASSERT_TRUE(PumpUntil([&] { return sent() > mark; }, turn, bound));
    EXPECT_EQ(service_->Backlog(), kTags - kChunk) << "the first turn publishes one chunk";
    ASSERT_TRUE(PumpUntil([&] { return service_->Backlog() == 0; }, turn, bound));
    EXPECT_EQ(big_turns, 0u);
  };
  const double before = sent();
  app_->Mqtt().Start();
  republish("connect");
  EXPECT_GE(sent() - before, 4.0 * kTags);
  PublishOnce(broker_.Port(), "homeassistant/status", "online");
  republish("birth");
  EXPECT_GE(sent() - before, 8.0 * kTags);
}

// A broker whose certificate the configured CA does not sign: the failure
// is logged once with the TLS reason and retried with back-off, and the
// connection comes up once the right certificate is back.
TEST(MqttTls, HandshakeFailureIsRetriedUntilTheRightCertificate) {
  // Two CAs and one server key for 127.0.0.1, signed by each: "right.pem"
  // by the CA the daemon trusts, "wrong.pem" by the other one.
  TempDir dir;
  const std::string d = dir.Path().string();
  WriteFile(dir / "server.ext",
            "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
            "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1\n");
  const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const std::string ca =
      " -x509 -days 2 -addext basicConstraints=critical,CA:TRUE"
      " -addext keyUsage=critical,keyCertSign,cRLSign";
  auto sign = [&](const std::string& by, const std::string& out) {
    return "openssl x509 -req -in server.csr -CA " + by + ".pem -CAkey " + by +
           ".key -CAcreateserial -days 2 -extfile server.ext -out " + out + " && ";
  };
  // clang-format off
  const std::string script = "cd " + d + " && exec >openssl.log 2>&1 && " +
      "openssl req" + ca + key + " -keyout ca.key -out ca.pem -subj /CN=ca && " +
      "openssl req" + ca + key + " -keyout other.key -out other.pem -subj /CN=other && " +
      "openssl req" + key + " -keyout server.key -out server.csr -subj /CN=127.0.0.1 && " +
      sign("other", "wrong.pem") + sign("ca", "right.pem") + "cp wrong.pem server.pem";
  // clang-format on
  ASSERT_EQ(std::system(script.c_str()), 0) << ReadFile(dir / "openssl.log");
  // Started as root, mosquitto drops to its own user, which cannot read the
  // key (0600) in this private folder; "user root" keeps it as it is.
  Broker broker(0, "certfile " + d + "/server.pem\nkeyfile " + d + "/server.key\nuser root\n");
  const std::string port = std::to_string(broker.Port());
  WriteFile(dir / "app/Config/Tagvane.ini",
            "[RFID]\r\nReceiverLocation=Hall\r\n[MQTT]\r\nHost=127.0.0.1\r\nTLS=true\r\n"
            "CAFile=" +
                d + "/ca.pem\r\nPort=" + port + "\r\n");
  AppOptions options;
  options.app_dir = dir / "app";
  App app(options);
  app.InitXap();
  app.SetMqtt(std::make_unique<MqttService>(app));
  app.Mqtt().Start();
  auto pump = [&] { app.Loop().PumpFor(Milliseconds(10)); };
  auto status_has = [&](const std::string& part) {
    return app.Mqtt().StatusLine().find(part) != std::string::npos;
  };
  const std::string failed = "MQTT connection to 127.0.0.1:" + port + " failed: ";
  ASSERT_TRUE(PumpUntil([&] { return LogCount(app, failed); }, pump))
      << app.Mqtt().StatusLine() << "\n"
      << broker.Output();
  EXPECT_EQ(LogCount(app, "certificate verify failed"), 1u) << app.Mqtt().StatusLine();
  EXPECT_TRUE(status_has("next attempt within 1 s")) << app.Mqtt().StatusLine();
  // The second attempt fails too: the delay doubles, no new log line.
  ASSERT_TRUE(PumpUntil([&] { return status_has("next attempt within 2 s"); }, pump))
      << app.Mqtt().StatusLine();
  EXPECT_TRUE(status_has("certificate verify failed")) << app.Mqtt().StatusLine();
  EXPECT_EQ(LogCount(app, failed), 1u);
  broker.Stop();
  std::filesystem::copy_file(dir / "right.pem", dir / "server.pem",
                             std::filesystem::copy_options::overwrite_existing);
  broker.Start();
  ASSERT_TRUE(PumpUntil([&] { return app.Mqtt().StatusLine().starts_with("connected"); }, pump))
      << app.Mqtt().StatusLine() << "\n"
      << broker.Output();
  EXPECT_EQ(LogCount(app, "MQTT connected to 127.0.0.1:" + port), 1u);
  EXPECT_EQ(LogCount(app, failed), 1u);
  app.Mqtt().Close();
}

TEST(MqttPayloads, NamesAreEscapedAndBrokenBytesReplacedTopicsOnlyCarryIds) {
  TempDir dir;
  App app(TestAppOptions(dir.Path()));
  auto device = NewRFIDDevice(app);
  device->SetDC("____________1A+#");
  device->SetTag(std::string("K\"eys\xff\xfe\n"));
  device->SetLocation("Hall/Room");
  const std::string json = AttributesJson(*device);
  // Each byte that is not UTF-8 becomes U+FFFD; quote and line end escaped.
  EXPECT_NE(json.find("\"tag_name\":\"K\\\"eys\xEF\xBF\xBD\xEF\xBF\xBD\\n\""), std::string::npos)
      << json;
  MqttSettings s;
  s.node = "hall";
  MqttTopics topics(s);
  EXPECT_EQ(topics.State(TagIdOf(*device)), "tagvane/hall/1A-2B-23/state");
  EXPECT_EQ(TopicId("a/b+"), "a-2Fb-2B");
}

}  // namespace
}  // namespace tagvane::test
