// ProcessCommData: framing, strengths, resynchronisation, the monitor line,
// re-entrant calls and the data monitor.
#include <gtest/gtest.h>

#include "receiver_fixture.h"

namespace tagvane::test {
namespace {

const std::string kBlank20(20, ' ');

DevicePtr Device(ReceiverBed& bed, const std::string& id) {
  DevicePtr* d = bed.app.Tables().DeviceTable.Find(MakeDeviceCode(bed.app, "", id));
  return d ? *d : nullptr;
}

TEST(ProcessCommData, ReportWithoutStrengthMakesANewDeviceAndItsMonitorLine) {
  ReceiverBed bed;
  bed.parser.ProcessCommData("1A2B ", 2);
  auto d = Device(bed, "1A2B");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->Strength(), -1);
  EXPECT_FALSE(d->InUse());
  EXPECT_EQ(d->OffTime(), 10);
  EXPECT_EQ(bed.app.State().MonitorLine, "(0)\t1A2B \t" + kBlank20 + "\t -1\t -0.5\t 50\tOFF");
  EXPECT_EQ(bed.monitor.CommData(), "\r\n12:00:00 |  " + bed.app.State().MonitorLine);
  // The new device is in the INI cache at once (on disk within a second).
  EXPECT_EQ(bed.app.Ini().GetIniSetting("RFIDUnits", "____________1A2B", "", "Tagvane.ini")
                .rfind("____________1A2B~0~", 0),
            0u);
  EXPECT_TRUE(bed.app.State().ReceiveBuffer.empty());
  EXPECT_FALSE(bed.app.State().ProcessingData);
}

TEST(ProcessCommData, StrengthsSplitChunksAndTwoReportsInAChunk) {
  ReceiverBed bed;
  bed.parser.ProcessCommData("1A", 2);
  EXPECT_EQ(bed.app.State().ReceiveBuffer, "1A");
  EXPECT_FALSE(Device(bed, "1A2B"));
  bed.parser.ProcessCommData("2B123 00", 2);
  EXPECT_EQ(Device(bed, "1A2B")->Strength(), 123);
  EXPECT_EQ(bed.app.State().ReceiveBuffer, "00");

  bed.clock.Advance(std::chrono::milliseconds(2500));
  bed.parser.ProcessCommData("017 1A2B9 ", 2);
  EXPECT_EQ(Device(bed, "0001")->Strength(), 7);
  EXPECT_EQ(Device(bed, "1A2B")->Strength(), 9);
  // The second report's line wraps the first one's.
  const std::string first = "(0)\t017 1A2B9 \t" + kBlank20 + "\t  7\t  3.5\t 50\tOFF";
  EXPECT_EQ(bed.app.State().MonitorLine,
            "(2.5)\t" + first + "\t" + kBlank20 + "\t  9\t 35.2\t 50\tOFF");
  EXPECT_EQ(bed.parser.ReportsProcessed(), 3u);
}

TEST(ProcessCommData, ResynchronisesOnMisalignedReports) {
  ReceiverBed bed;
  bed.parser.ProcessCommData("1A2B1234 1A2B12 ", 2);
  EXPECT_EQ(Device(bed, "A2B1")->Strength(), 234);
  EXPECT_EQ(Device(bed, "1A2B")->Strength(), 12);
  EXPECT_NE(bed.app.State().MonitorLine.find(
                "1A2B1234 1A2B12  | Discard of 1 trying to sync on space termination\t"),
            std::string::npos);
}

TEST(ProcessCommData, IdentifiersThatCouldBreakTheIniFileAreNoise) {
  ReceiverBed bed;
  // A space among the first four characters, line breaks, NUL and the INI
  // and Properties punctuation: resynchronised over one character at a time.
  bed.parser.ProcessCommData("AB 4567 ", 2);
  bed.parser.ProcessCommData(std::string("\n[]\n 1A2B5 \0abc =x;1 \"ab1 ~abc a\x7f" "1 C3D4 ", 40), 2);
  std::vector<std::string> codes = bed.app.Tables().DeviceTable.Keys();
  EXPECT_EQ(codes, (std::vector<std::string>{"____________4567", "____________1A2B",
                                             "____________C3D4"}))
      << "only the tails that form clean identifiers";
  EXPECT_EQ(Device(bed, "1A2B")->Strength(), 5);
  EXPECT_NE(bed.app.State().MonitorLine.find(" | Discard of ["), std::string::npos);
}

TEST(AddRFIDUnit, AStreamOfNewTagsIsFlushedOnceASecond) {
  ReceiverBed bed;
  const auto ini = bed.dir / "Config/Tagvane.ini";
  std::string chunk;
  char report[8];
  for (int i = 0; i < 300; ++i) {
    std::snprintf(report, sizeof report, "%04X ", i);
    chunk += report;
  }
  bed.parser.ProcessCommData(chunk, 2);
  EXPECT_EQ(bed.app.Tables().DeviceTable.size(), 300u);
  EXPECT_FALSE(std::filesystem::exists(ini) && ReadFile(ini).find("0000") != std::string::npos);
  bed.timers.Advance(std::chrono::milliseconds(App::kFlushDelayMs));
  EXPECT_NE(ReadFile(ini).find("____________012B="), std::string::npos);
  EXPECT_FALSE(bed.app.Ini().HasUnsavedChanges());
  // The next new tag waits for the next second; a known one writes nothing.
  bed.parser.ProcessCommData("0000 0A0A ", 2);
  EXPECT_EQ(ReadFile(ini).find("0A0A"), std::string::npos);
  bed.timers.Advance(std::chrono::milliseconds(App::kFlushDelayMs));
  EXPECT_NE(ReadFile(ini).find("____________0A0A="), std::string::npos);
}

TEST(ProcessCommData, AFaultyFieldCostsOneReportNotTheLoop) {
  ReceiverBed bed;
  bed.parser.ProcessCommData("1A2B9e9 0002 ", 2);
  EXPECT_EQ(Device(bed, "1A2B")->Strength(), 0);
  EXPECT_EQ(Device(bed, "0002")->Strength(), -1);
  EXPECT_TRUE(bed.app.State().ReceiveBuffer.empty());
  ASSERT_FALSE(bed.LogTexts().empty());
  EXPECT_EQ(bed.LogTexts().front().rfind("ProcessCommData 1A2B9e9 0002  Line ", 0), 0u);
}

TEST(ProcessCommData, TextWithoutSpacesCannotGrowTheBufferForEver) {
  ReceiverBed bed;
  for (int i = 0; i < 100; ++i) bed.parser.ProcessCommData(std::string(1000, 'x'), 2);
  EXPECT_LE(bed.app.State().ReceiveBuffer.size(), ReportParser::kPendingLimit);
  // The same reports as if every character had waited for the space.
  bed.parser.ProcessCommData(" 1A2B5 ", 2);
  EXPECT_TRUE(Device(bed, "xxxx"));
  EXPECT_EQ(Device(bed, "1A2B")->Strength(), 5);
  EXPECT_EQ(bed.app.Tables().DeviceTable.size(), 2u);
}

TEST(ProcessCommData, CallsFromInsideTheLoopOnlyAppend) {
  ReceiverBed bed;
  bed.app.GetSettings().UseSQL = 1;
  auto a = bed.Enrol("0001");
  bed.Enrol("0003")->SetInUse(true);
  std::vector<std::string> readings;
  bed.app.GetHooks().RecordReading = [&](const std::string& id, int16_t strength) {
    readings.push_back(id + ":" + std::to_string(strength));
    if (id == "0001") {
      // A pumped wait delivering a status event and then more data.
      bed.parser.ProcessCommData("ring", 1);
      EXPECT_TRUE(bed.app.State().ProcessingData);
      bed.parser.ProcessCommData("0003 ", 2);
    }
  };
  bed.parser.ProcessCommData("000142 ", 2);
  EXPECT_EQ(readings, (std::vector<std::string>{"0001:42", "0003:-1"}));
  EXPECT_TRUE(bed.app.State().ReceiveBuffer.empty());
  EXPECT_FALSE(bed.app.State().ProcessingData);
}

TEST(ProcessCommData, StatusEventsIgnoreStatusAndTheMonitorFilter) {
  ReceiverBed bed;
  bed.app.GetSettings().DebugLog = true;
  bed.parser.ProcessCommData("0001 ", 1);
  bed.parser.ProcessCommData("0001 ", 3);
  EXPECT_FALSE(Device(bed, "0001"));
  EXPECT_EQ(bed.CountLog("RFID Comm Event Code=1"), 1u);
  EXPECT_EQ(bed.CountLog("RFID Comm Event Code=3"), 0u);
  EXPECT_EQ(bed.CountLog("Data Received and Procesed: 0001 "), 2u);

  bed.app.GetSettings().ignorestatus = true;
  bed.parser.ProcessCommData("0001 ", 1);
  EXPECT_TRUE(Device(bed, "0001"));

  bed.monitor.ClearCommData();
  bed.monitor.aTagFilter = "0002";
  bed.parser.ProcessCommData("0001 ", 2);
  EXPECT_TRUE(bed.monitor.CommData().empty());
  bed.parser.ProcessCommData(" 0002 ", 2);
  EXPECT_FALSE(bed.monitor.CommData().empty());
  // A tag identifier typed into the filter finds its reports in a chunk of
  // several, with their strengths, in any case.
  const std::pair<std::string, bool> chunks[] = {
      {"0001 003A87 0001 ", true}, {"0001 0004 ", false}, {"003A12 ", true}};
  bed.monitor.aTagFilter = " 003a ";
  for (const auto& [chunk, shown] : chunks) {
    bed.monitor.ClearCommData();
    bed.parser.ProcessCommData(chunk, 2);
    EXPECT_EQ(!bed.monitor.CommData().empty(), shown) << chunk;
  }
  bed.monitor.ClearCommData();
  bed.monitor.aTagFilter = "0002";
  bed.monitor.Freeze = true;
  bed.parser.ProcessCommData("0002", 2);
  EXPECT_TRUE(bed.monitor.CommData().empty());
  bed.monitor.aTagFilter.clear();
  bed.parser.ProcessCommData("0001 ", 2);
  EXPECT_TRUE(bed.monitor.CommData().empty()) << "Freeze holds the text without a filter too";
}

TEST(ProcessCommData, MonitorKeepsTheNewestTenThousandCharacters) {
  ReceiverBed bed;
  for (int i = 0; i < 500; ++i) bed.parser.ProcessCommData("0001 ", 2);
  const std::string_view data = bed.monitor.CommData();
  EXPECT_EQ(data.size(), DataMonitor::kCommDataLimit);
  EXPECT_EQ(data.substr(data.size() - 3), "OFF");
}

TEST(AddRFIDUnit, RebuildsTheTagTableOnlyWhenATagChanged) {
  ReceiverBed bed;
  auto a = bed.Enrol("0001");
  auto b = bed.Enrol("0002");
  a->SetTag("Keys");
  b->SetTag("keys");
  const std::string duplicate = "BuildTagDictionary Tag keys is used more than once";
  for (int i = 0; i < 50; ++i) bed.parser.ProcessCommData("0001 0002 0003 ", 2);
  EXPECT_EQ(bed.CountLog(duplicate), 1u);
  EXPECT_EQ(*bed.app.Tables().TagTable.Find("KEYS"), a);
  b->SetTag("Wallet");
  bed.parser.ProcessCommData("0002 ", 2);
  EXPECT_EQ(bed.CountLog(duplicate), 1u);
  EXPECT_EQ(*bed.app.Tables().TagTable.Find("wallet"), b);
  a->SetTag("wallet");
  bed.parser.ProcessCommData("0001 ", 2);
  EXPECT_EQ(bed.CountLog("BuildTagDictionary Tag Wallet is used more than once"), 1u);
}

}  // namespace
}  // namespace tagvane::test
