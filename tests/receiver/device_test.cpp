// The tag device record: its text form, setter rules, codes, tag table and
// sub-addresses, and FormatHTML.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "core/dates.h"
#include "core/numbers.h"
#include "core/text.h"
#include "receiver/format_html.h"
#include "receiver_fixture.h"

namespace tagvane::test {
namespace {

TEST(RFIDDevice, PropertiesRoundTripKeepsEveryField) {
  ManualClock clock(MakeDateTime(2026, 12, 5, 8, 30, 15));
  std::string receiver = "__Hall";
  RFIDDevice d(DeviceContext{&clock, &receiver, nullptr});
  d.SetDC("______hall1a2b");
  d.SetStatus(2);
  d.SetTag("Keys");
  d.SetEventNotification(true);
  d.SetLocation("Front Hall");
  d.SetuID("1A");
  d.SetInvert(true);
  d.SetRemove(false);
  d.SetX10(true);
  d.SetOffTime(45);
  d.SetX10DC("A1");
  d.SetInUse(true);
  d.SetOnWeight(2.5f);
  d.SetOffWeight(0.1f);
  d.SetFigureOfMerit(73.205f);
  d.SetLastReportedFigureOfMerit(66.55f);
  d.SetStrength(87);
  d.SetStrength(90);
  const std::string text = d.Properties();
  EXPECT_EQ(text,
            "______HALL1A2B~2~Keys~True~05/12/2026 08:30:15~Front Hall~1A~True~False~True~45~A1~"
            "Switch~True~2.5~0.1~73.205~66.55~90~66.75");

  RFIDDevice back(DeviceContext{&clock, &receiver, nullptr});
  back.SetProperties(text);
  EXPECT_EQ(back.Properties(), text);
  EXPECT_EQ(back.Tag(), "Keys");
  EXPECT_FLOAT_EQ(back.FigureOfMerit(), 73.205f);
  EXPECT_EQ(back.DeviceValue(), 73);
  EXPECT_EQ(back.DeviceString(),
            "<table><td><img alt='' src='/Tagvane/images/sensors/on.gif'>&nbsp;(73)&nbsp;[67]"
            "</td></table>");
}

TEST(RFIDDevice, ShortAndDamagedRecordsReadWithDefaults) {
  ManualClock clock(MakeDateTime(2026, 12, 5, 8, 0, 0));
  RFIDDevice d(DeviceContext{&clock, nullptr, nullptr});
  d.SetProperties("______HALL1A2B~2~Keys");
  EXPECT_EQ(d.Tag(), "Keys");
  EXPECT_EQ(d.Status(), 2);
  EXPECT_FALSE(d.EventNotification());
  EXPECT_EQ(d.OffTime(), 3);
  EXPECT_EQ(d.OnWeight(), 1.0f);
  EXPECT_EQ(d.OffWeight(), 1.0f);
  EXPECT_EQ(d.DeviceLastChange(), clock.Now());
  EXPECT_EQ(d.DeviceType(), "");

  // Weight rule; overflowing numbers leave their field as it was; extra
  // fields are ignored.
  const std::string head = "X~99999~t~TRUE~31/02/2026 00:00:00~l~u~true~x~y~1~~Switch~true~";
  d.SetProperties(head + "abc~25~1e39~12~70000~5~extra~more");
  EXPECT_EQ(d.Status(), 2) << "16-bit overflow keeps the old status";
  EXPECT_TRUE(d.EventNotification());
  EXPECT_EQ(d.OffTime(), 3);
  EXPECT_EQ(d.OnWeight(), 1.0f);
  EXPECT_EQ(d.OffWeight(), 20.0f);
  EXPECT_EQ(d.FigureOfMerit(), 0.0f) << "kept from the short record";
  EXPECT_EQ(d.LastReportedFigureOfMerit(), 12.0f);
  EXPECT_EQ(d.AverageStrength(), 5.0f);
  d.SetProperties("X~0~t~~~~~~~~99999");
  EXPECT_EQ(d.OffTime(), 32767) << "clamped, through the setter";
  d.SetProperties(head + "-3~0");
  EXPECT_EQ(d.OnWeight(), 0.0f);
  EXPECT_EQ(d.OffWeight(), 0.0f);
}

TEST(RFIDDevice, TextFieldsCannotBreakTheRecord) {
  RFIDDevice d;
  d.SetTag("a~b");
  d.SetLocation("line\r\nbreak");
  RFIDDevice back;
  back.SetProperties(d.Properties());
  EXPECT_EQ(back.Tag(), "a-b");
  EXPECT_EQ(back.Location(), "line  break");
  EXPECT_EQ(back.DeviceType(), "Switch") << "later fields stay in place";
}

TEST(RFIDDevice, SetterRules) {
  RFIDDevice d;
  EXPECT_EQ(d.DeviceType(), "Switch");
  EXPECT_EQ(d.FigureOfMerit(), 50.0f);
  EXPECT_EQ(d.TimerIndex(), -1);
  d.SetOffTime(1);
  EXPECT_EQ(d.OffTime(), 3);
  d.SetOffTime(45);
  EXPECT_EQ(d.InitialTimerInterval(), 45000);
  EXPECT_EQ(d.TimerMinuteCount(), 0);
  d.SetOffTime(125);
  EXPECT_EQ(d.InitialTimerInterval(), 5000);
  EXPECT_EQ(d.TimerMinuteCount(), 2);
  d.SetOnWeight(25);
  EXPECT_EQ(d.OnWeight(), 20.0f);
  d.SetOffWeight(-1);
  EXPECT_EQ(d.OffWeight(), 0.0f);
  d.SetStrength(80);
  d.SetStrength(-1);
  EXPECT_FLOAT_EQ(d.AverageStrength(), 19.5f);
  d.SetDeviceValue(42);
  EXPECT_EQ(d.FigureOfMerit(), 42.0f);
  d.SetFigureOfMerit(1e9f);
  EXPECT_THROW(d.DeviceValue(), OverflowError);
}

TEST(RFIDDevice, UserFormatReplacesPlaceholdersInOrderWithoutCase) {
  RFIDDevice d;
  d.SetDC("______HALL1A2B");
  d.SetTag("Keys $location$");
  d.SetLocation("Hall");
  d.SetStatus(2);
  d.SetAverageStrength(87.25f);
  UserFormatValues v;
  v.ReceiverCode = "__Hall";
  EXPECT_EQ(d.UserFormat("$TAG$ is $Status$", v), "Keys Hall is ON")
      << "a tag holding a later placeholder is replaced again";
  d.SetTag("Keys");
  EXPECT_EQ(d.UserFormat("$tag$ at $identification$ [$AverageStrength$] $ReceiverLocation$", v),
            "Keys at 1A2B [87.2] __Hall");
}

TEST(DeviceTable, CodesUidsAndTagTable) {
  ReceiverBed bed;
  EXPECT_EQ(MakeDeviceCode("", "1A2B", "__Hall"), "________Hall1A2B");
  EXPECT_EQ(MakeDeviceCode("__Attic", "12345", "__Hall"), "_Attic__Hall2345");
  EXPECT_EQ(ToHex(10), "0A");
  EXPECT_EQ(GetNextUID(bed.app.Tables()), "01");
  auto a = bed.Enrol("0001");
  auto b = bed.Enrol("0002");
  a->SetuID("01");
  b->SetuID("03");
  EXPECT_EQ(GetNextUID(bed.app.Tables()), "02");
  b->SetuID("02");
  EXPECT_EQ(GetNextUID(bed.app.Tables()), "03");

  a->SetTag("Keys");
  b->SetTag("KEYS");
  BuildTagDictionary(bed.app);
  ASSERT_EQ(bed.app.Tables().TagTable.size(), 1u);
  EXPECT_EQ(*bed.app.Tables().TagTable.Find("keys"), a);
  EXPECT_EQ(bed.CountLog("BuildTagDictionary Tag KEYS is used more than once"), 1u);
  EXPECT_EQ(a->TimerIndex(), 1);
  EXPECT_EQ(b->TimerIndex(), 2);
  EXPECT_EQ(bed.app.Tables().OffTimerList.size(), 2u);
}

TEST(DeviceTable, LoadingSkipsBadLinesAndEnrolsOnlyOwnDevices) {
  ReceiverBed bed;
  WriteFile(bed.dir / "Config/Tagvane.ini",
            "[RFIDUnits]\r\n"
            "____________0001=\"____________0001~2~Door~False~~~01\"\r\n"
            "short=x\r\n"
            "____________0002=\r\n"
            "_____X______0003=_____X______0003~3~Combined\r\n"
            "_______OTHER0004=_______OTHER0004~3~Remote\r\n");
  InitIniSection(bed.app, "RFIDUnits", "Tagvane.ini");
  auto& table = bed.app.Tables().DeviceTable;
  EXPECT_EQ(table.size(), 3u);
  ASSERT_TRUE(table.Find("____________0001"));
  EXPECT_EQ((*table.Find("____________0001"))->Version(), "RFID");
  EXPECT_EQ(bed.app.Tables().OffTimerList.size(), 1u);
  EXPECT_TRUE(bed.app.Tables().TagTable.Contains("Door"));
  EXPECT_TRUE((*table.Find("_____X______0003"))->IsCombined());
}

// A flood of distinct identifiers keeps at most MaxUnacceptedTags records
// nobody accepted, dropping the one seen longest ago (from RFIDUnits too);
// accepted records stay, and a record that keeps being heard stays.
TEST(DeviceTable, UnacceptedRecordsAreBoundedOldestSeenFirst) {
  ReceiverBed bed;
  bed.app.Ini().SaveIniSetting("RFID", "MaxUnacceptedTags", "5", kSettingsFile);
  DevicePtr accepted = bed.Enrol("AAAA");
  auto report = [&](int id) { bed.parser.ProcessCommData(fmt::format("{:04X}50 ", id), 2); };
  for (int id = 2; id <= 20; ++id) report(id), report(1);
  auto& table = bed.app.Tables().DeviceTable;
  auto code = [&](int id) { return MakeDeviceCode(bed.app, "", fmt::format("{:04X}", id)); };
  EXPECT_EQ(table.size(), 6u);
  for (int id : {1, 17, 18, 19, 20}) EXPECT_TRUE(table.Contains(code(id))) << id;
  EXPECT_TRUE(table.Contains(accepted->DC()));
  EXPECT_FALSE(table.Contains(code(16)));
  EXPECT_EQ(bed.app.Ini().GetIniSetting("RFIDUnits", code(2), "gone", kSettingsFile), "gone");
  EXPECT_EQ(bed.app.GetMetrics().Value("tagvane_receiver_unaccepted_tags_dropped_total"), 15);
  EXPECT_EQ(LogCount(bed.app, "nobody accepted dropped"), 1u) << "at most once a minute";
}

TEST(FormatHTML, ImagesAndFigures) {
  const std::string img = "<img alt='' src='/Tagvane/images/sensors/";
  EXPECT_EQ(FormatHTML("ON", "Switch", 87.4f, 100.0f, ""),
            "<table><td>" + img + "on.gif'>&nbsp;(100)&nbsp;[87]</td></table>");
  EXPECT_EQ(FormatHTML("OFF", "OffOn", -1.0f, 72.5f, "ON"), "<table><td>" + img + "ON.gif'>|" +
                                                                img + "off.gif'>" + img +
                                                                "on.gif'>&nbsp;(72)</td></table>");
  EXPECT_EQ(FormatHTML("ON", "", 0.5f, 0.0f, ""),
            "<table><td>" + img + "blank1.gif width='16''>&nbsp;(0)&nbsp;[0]</td></table>");
  EXPECT_EQ(FormatHTML("ON", "Motion", 1.5f, 3.5f, ""),
            "<table><td>" + img + "on.gif'>&nbsp;(4)&nbsp;[2]</td></table>");
  EXPECT_EQ(RoundedText(12.0, 1), "12");
  EXPECT_EQ(RoundedText(-0.04, 1), "0");
  EXPECT_EQ(RoundedText(86399.99, 1), "86400");
}

}  // namespace
}  // namespace tagvane::test
