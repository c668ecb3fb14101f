#include <gtest/gtest.h>

#include "core/logger.h"
#include "support/test_support.h"
#include "xap/send_xap.h"

namespace tagvane {
namespace {

class RecordingTransport : public XapMemberSender {
 public:
  void SendXapMember(const xapQueuedMessage& m) override { sent.push_back(m); }
  std::vector<xapQueuedMessage> sent;
};

class LoggerFixture : public ::testing::Test {
 protected:
  LoggerFixture() : clock_(MakeDateTime(2026, 12, 5, 6, 42, 27, 550)), log_(clock_, debug_),
                    outbox_(active_) {
    log_.SetTracePath(dir_ / "Tagvane.txt");
    log_.SetSender(&outbox_);
    outbox_.SetTransport(&transport_);
  }
  std::string Trace() { return test::ReadFile(dir_ / "Tagvane.txt"); }

  test::TempDir dir_;
  ManualClock clock_;
  bool debug_ = false;
  bool active_ = false;
  Logger log_;
  XapOutbox outbox_;
  RecordingTransport transport_;
};

TEST_F(LoggerFixture, TraceLineFormatAndDebugEntries) {
  Failure failure{1, 0, "Path not found"};
  log_.WriteTrace("Tagvane", "InitXap", &failure);
  log_.WriteTrace("Tagvane", "xAP Init Error -1 occurred");
  EXPECT_EQ(Trace(),
            "05/12/2026 06:42:27 24147.55 | Tagvane InitXap  Line 0 Path not found\r\n"
            "05/12/2026 06:42:27 24147.55 | Tagvane xAP Init Error -1 occurred \r\n");
  // Debug entries go to the trace only.
  log_.LogEvent("Tagvane Debug", "raw data");
  EXPECT_TRUE(Trace().ends_with("| Tagvane Debug raw data \r\n"));
  EXPECT_TRUE(outbox_.StartupQueue().empty());
}

TEST_F(LoggerFixture, EventsGoToTheNetworkAndToTheTraceOnlyWhenDebugging) {
  log_.LogEvent("Tagvane", "Using xAP port 32768");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "Tagvane.txt"));
  ASSERT_EQ(outbox_.StartupQueue().size(), 1u);
  const xapQueuedMessage& m = outbox_.StartupQueue()[0];
  EXPECT_EQ(m.MsgTarget, "");
  EXPECT_EQ(m.MsgClass, "Homeseer.Event");
  EXPECT_EQ(m.MsgSection, "Event.Log");
  EXPECT_EQ(m.MsgData,
            std::string("Time\x01" "05/12/2026 06:42:27\0Type\x01Tagvane\0Data\x01Using xAP port 32768",
                        63));
  EXPECT_EQ(m.MsgSubAddress, "");

  debug_ = true;
  Failure failure{1, 12, "Overflow"};
  log_.LogEvent("Tagvane", "SetIniValue", &failure);
  // The trace copy has no error part; the network message carries it.
  EXPECT_EQ(Trace(), "05/12/2026 06:42:27 24147.55 | Tagvane SetIniValue \r\n");
  const std::string& data = outbox_.StartupQueue()[1].MsgData;
  EXPECT_EQ(data.substr(data.rfind('\x01') + 1), "SetIniValue Line 12 Overflow");
}

TEST_F(LoggerFixture, UidRuleOfSendXap) {
  active_ = true;
  outbox_.SendXap("", "c", "s", "", "", "", "");
  outbox_.SendXap("", "c", "s", "", "", "1A", "");
  outbox_.SendXap("", "c", "s", "", "", "FF.1234:07", "");
  outbox_.SetSetupUID("AB.9999:00");
  outbox_.SendXap("", "c", "s", "", "", "", "");
  outbox_.SendXap("", "c", "s", "", "", "2B", "");
  ASSERT_EQ(transport_.sent.size(), 5u);
  EXPECT_EQ(transport_.sent[0].MsgUID, "");  // the transport's own UID applies
  EXPECT_EQ(transport_.sent[1].MsgUID, "FF.0061A");
  EXPECT_EQ(transport_.sent[2].MsgUID, "FF.1234:07");
  EXPECT_EQ(transport_.sent[3].MsgUID, "AB.9999:00");
  EXPECT_EQ(transport_.sent[4].MsgUID, "AB.9992B");
}

TEST_F(LoggerFixture, LimitedEntriesAreHeldBackAndCounted) {
  log_.LogEventLimited("peer", "Tagvane", "bad source");
  log_.LogEventLimited("peer", "Tagvane", "bad source");
  log_.LogEventLimited("peer", "Tagvane", "bad source");
  EXPECT_EQ(outbox_.StartupQueue().size(), 1u);
  clock_.Advance(std::chrono::seconds(61));
  log_.LogEventLimited("peer", "Tagvane", "bad source");
  ASSERT_EQ(outbox_.StartupQueue().size(), 2u);
  EXPECT_NE(outbox_.StartupQueue()[1].MsgData.find("(2 more since the last report)"),
            std::string::npos);
}

}  // namespace
}  // namespace tagvane
