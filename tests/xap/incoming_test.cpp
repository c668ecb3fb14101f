#include <gtest/gtest.h>

#include "receiver/format_html.h"
#include "xap_app_fixture.h"

namespace tagvane {
namespace {

using test::Message;
using test::UdpPeer;
using test::XapApp;

// The messages of class cls among texts, parsed.
std::vector<XapMessage> OfClass(const std::vector<std::string>& texts, const std::string& cls) {
  std::vector<XapMessage> out;
  for (const auto& t : texts) {
    XapMessage m;
    m.FromXap(t);
    if (m.CompareClass(cls)) out.push_back(m);
  }
  return out;
}

const std::string kSelf = "qbx.RFID.HOMEPC.Hall";
const std::string kLocal = "________Hall1A2B";
// Device codes are stored upper-cased, and so they travel.
const std::string kLocalDC = "________HALL1A2B";

class IncomingTest : public ::testing::Test {
 protected:
  IncomingTest() : daemon_(hub_.Port(), "Hall") { hub_.Drain(); }
  void Deliver(const std::string& text) { daemon_.Deliver(peer_, text); }

  UdpPeer hub_;
  XapApp daemon_;
  UdpPeer peer_;
};

TEST_F(IncomingTest, StartUpAnnouncesItselfInOrder) {
  UdpPeer hub;
  XapApp fresh(hub.Port(), "Hall");
  const auto sent = hub.Drain();
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(sent[0].substr(0, 10), "xap-hbeat\n");
  EXPECT_NE(sent[0].find("\nport=" + std::to_string(fresh.Port()) + "\n}\n"), std::string::npos);
  EXPECT_NE(sent[1].find("Data=Using xAP port " + std::to_string(fresh.Port()) + "\n"),
            std::string::npos);
  EXPECT_EQ(sent[2], "xap-header\n{\nv=13\nhop=1\nuid=FF.0063:00\nclass=time.query\nsource=" +
                         kSelf + "\n}\ntime.query\n{\nid=*\n}\n");
}

TEST_F(IncomingTest, BscEventByteForByte) {
  auto device = daemon_.AddDevice(kLocal, "Kitchen", "1A");
  device->SetAverageStrength(87);
  device->SetDeviceString(FormatHTML("ON", "Switch", 87, 100, ""));
  daemon_.app().GetHooks().SendXapBSC(kLocal, "xapbsc.event");
  EXPECT_EQ(hub_.Drain(),
            std::vector<std::string>{
                "xap-header\n{\nv=13\nhop=1\nuid=FF.0063:1A\nclass=xapbsc.event\n"
                "source=qbx.RFID.HOMEPC.Hall:Kitchen.________HALL1A2B.Switch\n}\n"
                "input.state\n{\nState=ON\nDisplayText=<table><td><img alt='' "
                "src='/Tagvane/images/sensors/on.gif'>&nbsp;(100)&nbsp;[87]</td></table>\n"
                "Text=100\n}\n"});
  // No two-character uID, no event.
  device->SetuID("1A2");
  daemon_.app().GetHooks().SendXapBSC(kLocal, "xapbsc.event");
  daemon_.app().GetHooks().SendXapBSC("no such code", "xapbsc.event");
  EXPECT_TRUE(hub_.Drain().empty());
}

TEST_F(IncomingTest, QueryToEveryDeviceIsAnsweredTwoHundredMsApart) {
  daemon_.AddDevice(kLocal, "Front Hall", "01");
  daemon_.AddDevice("________Hall2222", "", "02", kStatusOff, 10);
  daemon_.AddDevice("________Hall3333", "kitchen", "03");
  daemon_.AddDevice("________Hall4444", "kitchen", "");  // not accepted
  auto no_uid = daemon_.AddDevice("________Hall5555", "kitchen", "");
  no_uid->SetInUse(true);

  Deliver(Message("xAPBSC.query", "acme.ctl.one", kSelf + ":>", "request", ""));
  auto first = OfClass(hub_.Drain(), "xAPBSC.info");
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].MsgSource(), kSelf + ":Front_Hall." + kLocalDC + ".switch");
  EXPECT_EQ(first[0].MsgUID(), "FF.0063:01");
  EXPECT_EQ(first[0].GetItem("input.state", "state"), "ON");
  EXPECT_EQ(first[0].GetItem("input.state", "text"), "100");
  EXPECT_EQ(first[0].MsgTarget(), "Unknown");

  daemon_.timers().Advance(std::chrono::milliseconds(199));
  EXPECT_TRUE(hub_.Drain().empty());
  daemon_.timers().Advance(std::chrono::milliseconds(1));
  auto second = OfClass(hub_.Drain(), "xAPBSC.info");
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].MsgSource(), kSelf + ":Unknown.________HALL2222.switch");
  EXPECT_EQ(second[0].GetItem("input.state", "state"), "OFF");
  daemon_.timers().Advance(std::chrono::milliseconds(200));
  auto third = OfClass(hub_.Drain(), "xAPBSC.info");
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(third[0].MsgSource(), kSelf + ":kitchen.________HALL3333.switch");
  auto& bsc = daemon_.xap().Bsc();
  EXPECT_TRUE(bsc.BSCTimer().Running());
  daemon_.timers().Advance(std::chrono::milliseconds(200));
  EXPECT_FALSE(bsc.BSCTimer().Running());
  EXPECT_TRUE(hub_.Drain().empty());
}

TEST_F(IncomingTest, QueriesThatGetNoAnswerOrAPart) {
  daemon_.AddDevice(kLocal, "kitchen", "01");
  daemon_.AddDevice("________Hall2222", "Kitchen", "02");
  // Without a target, to another system, without a sub-address.
  Deliver(Message("xAPBSC.query", "acme.ctl.one", "", "request", ""));
  Deliver(Message("xAPBSC.query", "acme.ctl.one", "qbx.RFID.OTHER.Hall:>", "request", ""));
  Deliver(Message("xAPBSC.query", "acme.ctl.one", kSelf, "request", ""));
  EXPECT_TRUE(OfClass(hub_.Drain(), "xAPBSC.info").empty());
  // The query part is lowered, the location is compared as stored.
  Deliver(Message("xAPBSC.query", "acme.ctl.one", "qbx.*.HOMEPC.>:KITCHEN.>", "request", ""));
  auto answers = OfClass(hub_.Drain(), "xAPBSC.info");
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_NE(answers[0].MsgSource().find(kLocalDC), std::string::npos);
  daemon_.timers().Advance(std::chrono::seconds(1));
  Deliver(Message("xAPBSC.query", "acme.ctl.one", kSelf + ":*.*.Switch", "request", ""));
  daemon_.timers().Advance(std::chrono::seconds(1));
  EXPECT_EQ(OfClass(hub_.Drain(), "xAPBSC.info").size(), 2u);
}

TEST_F(IncomingTest, EchoRoleAndTime) {
  Deliver(Message("WDT.Echo", "acme.wdt.one:port", "", "Echo.Query", "Query=ABC\n"));
  auto echo = OfClass(hub_.Drain(), "WDT.Echo");
  ASSERT_EQ(echo.size(), 1u);
  EXPECT_EQ(echo[0].MsgTarget(), "acme.wdt.one:port");
  EXPECT_EQ(echo[0].MsgSource(), kSelf);
  EXPECT_EQ(echo[0].GetItem("Echo.Response", "Response"), "abc");
  Deliver(Message("WDT.Echo", "acme.wdt.one", "", "Echo.Query", "Other=1\n"));
  Deliver(Message("WDT.Echo", "acme.wdt.one", "", "Echo.Other", "Query=1\n"));
  EXPECT_TRUE(OfClass(hub_.Drain(), "WDT.Echo").empty());

  for (const char* role : {"Application", "ANY"}) {
    Deliver(Message("Homeseer.Role", "hs.server.one", "", "Role.Query",
                    std::string("Role=") + role + "\n"));
    auto answer = OfClass(hub_.Drain(), "Homeseer.Role");
    ASSERT_EQ(answer.size(), 1u) << role;
    EXPECT_EQ(answer[0].GetItem("Role.Notification", "Role"), "UPB");
    EXPECT_EQ(answer[0].GetItem("Role.Notification", "Path"), daemon_.app().ExePath());
    EXPECT_EQ(answer[0].GetItem("Role.Notification", "Form"), "EchoWindow");
  }
  Deliver(Message("Homeseer.Role", "hs.server.one", "", "Role.Query", "Role=device\n"));
  EXPECT_TRUE(OfClass(hub_.Drain(), "Homeseer.Role").empty());

  Deliver(Message("Time.Today", "acme.time.one", "", "Time.Today", "Sunrise=07:12\n"));
  EXPECT_EQ(daemon_.xap().Incoming().SunriseText(), "07:12");
  EXPECT_EQ(daemon_.xap().Incoming().SunsetText(), "Unknown");
}

TEST_F(IncomingTest, OtherReceiversReportMakesThreeDevicesAndMerges) {
  const std::string remote = "_______Porch1A2B";
  const std::string combined = "_Porch__Hall1A2B";
  daemon_.AddDevice(kLocal, "Hall", "", kStatusOn, 100);
  const std::string source = "qbx.RFID.OTHER.Porch:Garden." + remote + ".Switch";
  Deliver(Message("xAPBSC.event", source, "", "input.state", "State=ON\nText=40\n"));
  ASSERT_TRUE(daemon_.Device(remote));
  EXPECT_EQ(daemon_.Device(remote)->Location(), "Garden");
  EXPECT_EQ(daemon_.Device(remote)->FigureOfMerit(), 40);
  EXPECT_FALSE(daemon_.Device(remote)->InUse());
  auto c = daemon_.Device(combined);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->Location(), "_Porch-Hall-1A2B");
  EXPECT_FLOAT_EQ(c->FigureOfMerit(), 70);
  EXPECT_EQ(c->DeviceStatus(), kStatusOff);  // average 70 keeps "not On"
  EXPECT_EQ(c->DeviceType(), "OnOn");

  c->SetuID("2C");
  hub_.Drain();
  Deliver(Message("xAPBSC.info", source, "", "input.state", "State=ON\nText=60\n"));
  EXPECT_EQ(c->DeviceStatus(), kStatusOn);
  EXPECT_FLOAT_EQ(c->FigureOfMerit(), 80);
  auto events = OfClass(hub_.Drain(), "xapbsc.event");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].MsgSource(), kSelf + ":_Porch-Hall-1A2B._PORCH__HALL1A2B.Switch");
  EXPECT_EQ(events[0].GetItem("input.state", "State"), "ON");
  EXPECT_EQ(events[0].MsgUID(), "FF.0063:2C");

  // The remote going Off: the local half still On.
  Deliver(Message("xAPBSC.event", source, "", "input.state", "State=off\nText=0\n"));
  EXPECT_EQ(c->DeviceType(), "OffOn");
  EXPECT_EQ(c->DeviceStatus(), kStatusOn);  // average 50 keeps On
}

TEST_F(IncomingTest, MalformedReportSourcesAreIgnoredQuietly) {
  const size_t devices = daemon_.app().Tables().DeviceTable.size();
  const std::vector<std::string> sources = {
      "qbx.RFID.X.Y:garden.short.Switch", "qbx.RFID.X.Y:garden",
      "qbx.RFID.X.Y:", "qbx.RFID.X.Y:g.____[bad]___1A2B.Switch",
      "qbx.RFID.X.Y:g.________Hall1A2\x01.S"};
  for (const auto& source : sources) {
    Deliver(Message("xAPBSC.event", source, "", "input.state", "State=ON\nText=100\n"));
  }
  EXPECT_EQ(daemon_.app().Tables().DeviceTable.size(), devices);
  EXPECT_EQ(daemon_.xap().Incoming().IgnoredReports(), sources.size());
  auto count_entries = [&] { return test::LogCount(daemon_.app(), "TagwellReceived"); };
  EXPECT_EQ(count_entries(), 1u);
  daemon_.clock().Advance(std::chrono::seconds(61));
  Deliver(Message("xAPBSC.event", sources[0], "", "input.state", "State=ON\n"));
  EXPECT_EQ(count_entries(), 2u);
  EXPECT_NE(daemon_.app().Log().Recent().back().text.find("4 more"), std::string::npos);
}

TEST_F(IncomingTest, FaultyMessagesReachTheTraceOnceAMinute) {
  const std::string faulty = Message("x.y", "acme.a.b", "", "sec", "k=1\nk=2\n");
  auto trace_lines = [&] {
    return test::Occurrences(test::ReadFile(daemon_.app().Log().TracePath()), "From XAP Key=k");
  };
  for (int i = 0; i < 3; ++i) Deliver(faulty);
  EXPECT_EQ(trace_lines(), 1u);
  daemon_.clock().Advance(std::chrono::minutes(1));
  Deliver(faulty);
  EXPECT_EQ(trace_lines(), 2u);
  EXPECT_NE(test::ReadFile(daemon_.app().Log().TracePath()).find("(2 more since the last report)"),
            std::string::npos);
}

TEST_F(IncomingTest, JunkAndUnknownClassesDoNothing) {
  const size_t devices = daemon_.app().Tables().DeviceTable.size();
  for (const std::string& junk :
       {std::string("xap-header\n\0\0\xff\n}\n\n", 18), std::string("xap-header"),
        Message("xAPBSC.cmd", "qbx.RFID.A.B:x." + kLocal + ".s", "", "input.state", "")}) {
    Deliver(junk);
  }
  EXPECT_EQ(daemon_.app().Tables().DeviceTable.size(), devices);
  EXPECT_TRUE(hub_.Drain().empty());
}

// The hub delivers this system's own BSC messages back to it: whatever the
// letter case or sub-address, they are not another receiver's reports.
TEST_F(IncomingTest, OwnReportsComingBackAreIgnored) {
  auto local = daemon_.AddDevice(kLocal, "Kitchen", "1A", kStatusOff, 73.2f);
  const size_t devices = daemon_.app().Tables().DeviceTable.size();
  for (const std::string& source :
       {kSelf + ":Kitchen." + kLocalDC + ".Switch", "QBX.rfid.homepc.HALL:x." + kLocalDC + ".s"}) {
    Deliver(Message("xapbsc.info", source, "", "input.state", "State=ON\nText=67\n"));
  }
  EXPECT_EQ(daemon_.app().Tables().DeviceTable.size(), devices);
  EXPECT_FLOAT_EQ(local->FigureOfMerit(), 73.2f);
  EXPECT_EQ(local->DeviceStatus(), kStatusOff);
  EXPECT_EQ(local->Location(), "Kitchen");
  // A receiver whose name merely starts with ours is another receiver.
  Deliver(Message("xapbsc.info", kSelf + "way:Porch.______allway1A2B.Switch", "", "input.state",
                  "State=ON\nText=67\n"));
  EXPECT_TRUE(daemon_.Device("allway__Hall1A2B"));
  EXPECT_TRUE(hub_.Drain().empty());
}

// A trickle of datagrams 40 ms apart does not hold back what is queued:
// each batch is handled 50 ms after its first datagram arrived.
TEST_F(IncomingTest, TrickleDoesNotPostponeHandling) {
  const std::string noise = Message("acme.noise", "acme.n.one", "", "x", "k=v\n");
  auto trickle = [&](int ms, const std::string& text) {
    daemon_.timers().Advance(std::chrono::milliseconds(ms));
    daemon_.Arrive(peer_, text);
  };
  trickle(0, noise);
  trickle(40, Message("WDT.Echo", "acme.wdt.one", "", "Echo.Query", "Query=Q1\n"));
  trickle(0, noise);
  EXPECT_TRUE(OfClass(hub_.Drain(), "WDT.Echo").empty());
  daemon_.timers().Advance(std::chrono::milliseconds(10));
  EXPECT_EQ(OfClass(hub_.Drain(), "WDT.Echo").size(), 1u);
  EXPECT_EQ(daemon_.transport().Waiting(), 0u);
  // The next batch starts with the next datagram.
  trickle(30, noise);
  trickle(40, Message("WDT.Echo", "acme.wdt.one", "", "Echo.Query", "Query=Q2\n"));
  daemon_.timers().Advance(std::chrono::milliseconds(10));
  EXPECT_EQ(OfClass(hub_.Drain(), "WDT.Echo").size(), 1u);
}

// A message with more items than any device sends is counted and dropped
// before anything looks at it; up to the limit it is handled.
TEST_F(IncomingTest, MessagesWithTooManyItemsAreDropped) {
  auto echo_with_items = [](size_t n) {
    std::string items = "Query=ABC\n";
    for (size_t i = 1; i < n; ++i) items += "filler=" + std::to_string(i) + "\n";
    return Message("WDT.Echo", "acme.wdt.one", "", "Echo.Query", items);
  };
  // The header's five lines count as items too.
  Deliver(echo_with_items(XapMessage::kMaxItems - 5));
  EXPECT_EQ(OfClass(hub_.Drain(), "WDT.Echo").size(), 1u);
  for (int i = 0; i < 3; ++i) Deliver(echo_with_items(XapMessage::kMaxItems - 4));
  EXPECT_TRUE(OfClass(hub_.Drain(), "WDT.Echo").empty());
  EXPECT_EQ(daemon_.xap().Incoming().DroppedLargeMessages(), 3u);
  EXPECT_EQ(test::LogCount(daemon_.app(), "sections or items dropped"), 1u);
}

// A broadcast address given as a host name is resolved once at start; one
// that cannot be used is said once, with no claim of success, and the init
// error also reaches the trace file.
TEST(XapStart, BroadcastAddressByName) {
  UdpPeer hub;
  XapApp named(hub.Port(), "Hall", "", "localhost");
  ASSERT_GT(named.Port(), 0);
  const auto sent = hub.Drain();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0].rfind("xap-hbeat\n", 0), 0u);

  XapApp unusable(hub.Port(), "Hall", "", "hub.example", [](XapTransportOptions& o) {
    o.resolve = [](const std::string&, std::string* why) {
      *why = "name not known";
      return std::string();
    };
  });
  EXPECT_LT(unusable.app().XapPort(), 0);
  EXPECT_EQ(test::LogCount(unusable.app(), "Using xAP port"), 0u);
  EXPECT_EQ(test::LogCount(unusable.app(), "hub.example"), 1u);
  EXPECT_NE(test::ReadFile(unusable.app().Log().TracePath()).find("| Tagvane xAP Init Error -"),
            std::string::npos);
  EXPECT_TRUE(hub.Idle());
}

// Two receivers with different locations, the hall sending straight to the
// porch: a tag heard by both becomes a combined device that turns On at an
// average above 75.
TEST(TwoReceivers, MergeOneTagIntoACombinedDevice) {
  XapApp porch(test::FreeUdpPort(), "Porch");
  XapApp hall(porch.Port(), "Hall");
  hall.AddDevice(kLocal, "Kitchen", "1A", kStatusOn, 100);
  porch.AddDevice("_______Porch1A2B", "Kitchen", "", kStatusOff, 60);
  hall.app().GetHooks().SendXapBSC(kLocal, "xapbsc.event");
  ASSERT_TRUE(test::PumpUntil([&] { return porch.Device("__HALL_PORCH1A2B") != nullptr; },
                              [&] {
                                porch.Pump();
                                porch.timers().Advance(std::chrono::milliseconds(50));
                              }));
  auto combined = porch.Device("__HALL_PORCH1A2B");
  EXPECT_EQ(combined->Location(), "__HALL-Porch-1A2B");
  EXPECT_FLOAT_EQ(combined->FigureOfMerit(), 80);
  EXPECT_EQ(combined->DeviceStatus(), kStatusOn);
  EXPECT_EQ(combined->DeviceType(), "OnOff");
  ASSERT_TRUE(porch.Device(kLocal));  // the hall's view, as a remote device
  EXPECT_EQ(porch.Device(kLocal)->Location(), "Kitchen");
}

}  // namespace
}  // namespace tagvane
