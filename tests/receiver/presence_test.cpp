// The off-timer decisions, run on the manual clock: rise and fall figures,
// weights, devices not in use or removed, combined devices and midnight.
#include <gtest/gtest.h>

#include "receiver_fixture.h"

namespace tagvane::test {
namespace {

using std::chrono::milliseconds;

struct PresenceBed : ReceiverBed {
  explicit PresenceBed(DateTime start = MakeDateTime(2026, 12, 5, 12, 0, 0)) : ReceiverBed(start) {
    app.OffTimer().SetOnTick([this] { presence.OffTimer_Timer(); });
    app.OffTimer().SetInterval(3000);
    app.OffTimer().SetEnabled(true);
    app.GetHooks().SendXapBSC = [this](const std::string& code, const std::string& cls) {
      bsc.push_back(code + " " + cls);
      if (auto* d = app.Tables().DeviceTable.Find(code)) values.push_back((*d)->DeviceValue());
    };
  }
  // One off-timer pass; the tag reports just before it when heard.
  void Pass(const std::string& id, bool heard) {
    if (heard) parser.ProcessCommData(id + "80 ", 2);
    timers.Advance(milliseconds(3000));
  }
  DevicePtr Accepted(const std::string& id) {
    auto d = Enrol(id);
    d->SetTag("Tag" + id);
    d->SetuID("1A");
    return d;
  }
  std::vector<int16_t> values;
};

TEST(Presence, HeardTagRisesAndTurnsOnAtTheEighthPass) {
  PresenceBed bed;
  auto d = bed.Accepted("0001");
  d->SetDeviceStatus(kStatusOff);
  const float expected[] = {55, 60.5f, 66.55f, 73.205f, 80.5255f, 88.578f, 97.4358f, 100};
  for (int pass = 0; pass < 8; ++pass) {
    EXPECT_NE(d->DeviceStatus(), kStatusOn) << pass;
    bed.Pass("0001", true);
    EXPECT_NEAR(d->FigureOfMerit(), expected[pass], 0.01) << pass;
  }
  EXPECT_EQ(d->DeviceStatus(), kStatusOn);
  EXPECT_EQ(d->DeviceLastChange(), bed.clock.Now());
  EXPECT_EQ(bed.bsc, (std::vector<std::string>{"____________0001 xapbsc.event"}));
  EXPECT_EQ(bed.values, (std::vector<int16_t>{97})) << "the figure from before the pass";
  EXPECT_EQ(bed.scripts, (std::vector<std::string>{"Tag0001"}));
  EXPECT_EQ(d->LastReportedFigureOfMerit(), 0.0f);
  EXPECT_NE(d->DeviceString().find("&nbsp;(100)"), std::string::npos);
  // The default fomdelta (200) never sends info; 100 does once, one-sided.
  bed.Pass("0001", true);
  EXPECT_EQ(bed.bsc.size(), 1u);
  bed.app.GetSettings().fomdelta = 100;
  bed.Pass("0001", true);
  bed.Pass("0001", true);
  EXPECT_EQ(bed.bsc.size(), 2u);
  EXPECT_EQ(bed.bsc.back(), "____________0001 xapbsc.info");
}

TEST(Presence, SilentTagFallsAndTurnsOffAtTheEighteenthPass) {
  PresenceBed bed;
  auto d = bed.Accepted("0001");
  d->SetDeviceStatus(kStatusOn);
  d->SetFigureOfMerit(100);
  d->SetLastReceivedTimer(SecondsSinceMidnight(bed.clock.Now()));
  // Off time 10 s: passes at 3, 6 and 9 s still count as heard.
  for (int i = 0; i < 3; ++i) bed.Pass("0001", false);
  EXPECT_EQ(d->FigureOfMerit(), 100.0f);
  const float tail[] = {45, 39.5f, 33.45f, 26.8f, 19.5f, 11.4f, 2.6f, 0};
  for (int pass = 1; pass <= 18; ++pass) {
    EXPECT_EQ(d->DeviceStatus(), kStatusOn) << pass;
    bed.Pass("0001", false);
    const float want = pass <= 10 ? 100.0f - 5.0f * pass : tail[pass - 11];
    EXPECT_NEAR(d->FigureOfMerit(), want, 0.06) << pass;
  }
  EXPECT_EQ(d->DeviceStatus(), kStatusOff);
  EXPECT_EQ(bed.bsc, (std::vector<std::string>{"____________0001 xapbsc.event"}));
}

TEST(Presence, ZeroWeightsRemovedAndUnacceptedDevices) {
  PresenceBed bed;
  auto stays_on = bed.Accepted("0001");
  stays_on->SetDeviceStatus(kStatusOn);
  stays_on->SetFigureOfMerit(100);
  stays_on->SetOffWeight(0);
  auto stuck = bed.Accepted("0002");
  stuck->SetOnWeight(0);
  stuck->SetFigureOfMerit(60);
  auto removed = bed.Accepted("0003");
  removed->SetRemove(true);
  auto unaccepted = bed.Enrol("0004");
  unaccepted->SetInUse(false);
  unaccepted->SetFigureOfMerit(95);
  for (int i = 0; i < 30; ++i) {
    bed.parser.ProcessCommData("0002 0004 ", 2);
    bed.timers.Advance(milliseconds(3000));
  }
  EXPECT_EQ(stays_on->FigureOfMerit(), 100.0f);
  EXPECT_EQ(stays_on->DeviceStatus(), kStatusOn);
  EXPECT_EQ(stuck->FigureOfMerit(), 60.0f);
  EXPECT_EQ(removed->FigureOfMerit(), 50.0f);
  EXPECT_EQ(removed->DeviceStatus(), 0);
  EXPECT_EQ(unaccepted->DeviceStatus(), kStatusOn);
  EXPECT_TRUE(bed.bsc.empty());
  EXPECT_TRUE(bed.scripts.empty());
}

TEST(Presence, UnacceptedTurnIsNotedOnTheMonitorLine) {
  PresenceBed bed;
  auto d = bed.Enrol("0004");
  d->SetInUse(false);
  d->SetFigureOfMerit(99);
  bed.parser.ProcessCommData("0004 ", 2);
  bed.timers.Advance(milliseconds(3000));
  EXPECT_EQ(d->DeviceStatus(), kStatusOn);
  const std::string& line = bed.app.State().MonitorLine;
  EXPECT_EQ(line.substr(line.size() - 45), " | Event ignored because not Accepted for use");
}

TEST(Presence, StrengthAsValueAndTheX10Request) {
  PresenceBed bed;
  bed.app.GetSettings().usestrength = 1;
  auto d = bed.Accepted("0001");
  d->SetFigureOfMerit(99);
  d->SetX10DC("A1");
  bed.Pass("0001", true);  // strength 80: average 40
  EXPECT_EQ(bed.values, (std::vector<int16_t>{40}));
  const auto& queue = bed.app.Outbox().StartupQueue();
  bool found = false;
  for (const auto& m : queue) {
    if (m.MsgClass == "xap-x10.request") {
      found = true;
      EXPECT_EQ(m.MsgData, std::string("command\x01ON\0device\x01"
                                       "A1",
                                       20));
    }
  }
  EXPECT_TRUE(found);
}

TEST(Presence, CombinedDeviceThresholds) {
  PresenceBed bed;
  bed.app.State().ReceiverCode = "__Hall";
  auto local = bed.Accepted("0001");
  auto remote = AddRFIDUnit(bed.app,
                            "______"
                            "_Attic"
                            "0001",
                            "Attic");
  auto combined = AddRFIDUnit(bed.app,
                              "_Attic"
                              "__Hall"
                              "0001",
                              "");
  combined->SetDeviceStatus(kStatusOff);
  local->SetDeviceStatus(kStatusOn);
  local->SetFigureOfMerit(100);
  remote->SetDeviceStatus(kStatusOff);
  remote->SetFigureOfMerit(40);
  bed.presence.LocalChange(local);
  EXPECT_EQ(combined->DeviceStatus(), kStatusOff) << "70 keeps the previous state";
  EXPECT_EQ(combined->FigureOfMerit(), 70.0f);
  EXPECT_EQ(combined->DeviceType(), "OffOn");
  EXPECT_TRUE(bed.bsc.empty());
  remote->SetFigureOfMerit(60);
  bed.presence.LocalChange(local);
  EXPECT_EQ(combined->DeviceStatus(), kStatusOn);
  EXPECT_EQ(bed.bsc, (std::vector<std::string>{"_Attic__Hall0001 xapbsc.event"}))
      << "combined devices send whether in use or not";
  EXPECT_EQ(combined->DeviceString().rfind(
                "<table><td><img alt='' src='/Tagvane/images/sensors/ON.gif'>|", 0),
            0u);
  combined->SetDeviceStatus(kStatusOn);
  remote->SetFigureOfMerit(40);
  bed.presence.LocalChange(local);
  EXPECT_EQ(combined->DeviceStatus(), kStatusOn) << "70 keeps On too";
}

// A combined device stored with an upper-case key still follows its tag
// (ReceiverLocation=Garage): device codes compare without regard to case.
TEST(Presence, CombinedDeviceFromAnUpperCaseStoredKey) {
  PresenceBed bed;
  bed.app.State().ReceiverCode = "Garage";
  auto local = bed.Accepted("1A2B");
  auto remote = AddRFIDUnit(bed.app, "________HALL1A2B", "Hall");
  SetIniSectionValue(bed.app, "RFIDUnits", "0", "__HALLGARAGE1A2B", "__HALLGARAGE1A2B~2");
  auto combined = *bed.app.Tables().DeviceTable.Find("__HALLGARAGE1A2B");
  combined->SetFigureOfMerit(100);
  local->SetDeviceStatus(kStatusOff);
  local->SetFigureOfMerit(0);
  remote->SetDeviceStatus(kStatusOff);
  remote->SetFigureOfMerit(0);
  bed.presence.LocalChange(local);
  EXPECT_EQ(combined->DeviceStatus(), kStatusOff);
  EXPECT_EQ(combined->FigureOfMerit(), 0.0f);
}

TEST(Presence, MidnightAndSmallClockSteps) {
  EXPECT_EQ(PresenceLogic::ElapsedSinceReport(2.0f, 86399.0f), 3.0f);
  EXPECT_EQ(PresenceLogic::ElapsedSinceReport(86399.99f, 86400.0f), 0.0f);
  EXPECT_EQ(PresenceLogic::ElapsedSinceReport(100.0f, 101.5f), 0.0f);

  // A tag heard every second around midnight stays On and at 100.
  PresenceBed bed(MakeDateTime(2026, 12, 5, 23, 58, 0, 998));
  auto d = bed.Accepted("0001");
  d->SetDeviceStatus(kStatusOn);
  d->SetFigureOfMerit(100);
  d->SetOffTime(3);
  for (int s = 0; s < 240; ++s) {
    bed.parser.ProcessCommData("0001 ", 2);
    bed.timers.Advance(milliseconds(1000));
    ASSERT_EQ(d->FigureOfMerit(), 100.0f) << s;
  }
  // The clock stepping back a second does not silence it either.
  bed.parser.ProcessCommData("0001 ", 2);
  bed.clock.Advance(milliseconds(-1000));
  bed.presence.OffTimer_Timer();
  EXPECT_EQ(d->FigureOfMerit(), 100.0f);
  EXPECT_TRUE(bed.bsc.empty());
}

}  // namespace
}  // namespace tagvane::test
