#include "xap/xap_message.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace tagvane {
namespace {

TEST(XapMessageCompose, EventLogMessageByteForByte) {
  XapMessage m;
  m.SetMsgUID("FF.0063:00");
  m.SetMsgClass("Homeseer.Event");
  m.SetMsgSource("qbx.RFID.HOMEPC.Hall");
  m.SetMsgTarget("");
  m.AddHeader();
  m.AddSection("Event.Log");
  m.AddItem("Event.Log", "Time", "05/12/2026 06:42:27");
  m.AddItem("ignored", "Type", "Tagvane");
  m.AddItem("", "Data", "Using xAP port 32768");
  EXPECT_EQ(m.ToXap(),
            "xap-header\n{\nv=13\nhop=1\nuid=FF.0063:00\nclass=Homeseer.Event\n"
            "source=qbx.RFID.HOMEPC.Hall\n}\nEvent.Log\n{\nTime=05/12/2026 06:42:27\n"
            "Type=Tagvane\nData=Using xAP port 32768\n}\n");
  // Init empties the text.
  m.Init("anything");
  EXPECT_EQ(m.ToXap(), "}\n");
}

TEST(XapMessageCompose, FreshMessageTargetAndSections) {
  XapMessage fresh;
  fresh.AddHeader();
  EXPECT_EQ(fresh.ToXap(),
            "xap-header\n{\nv=13\nhop=1\nuid=Unknown\nclass=Unknown\nsource=Unknown\n"
            "target=Unknown\n}\n}\n");

  XapMessage two;
  two.SetMsgTarget("a.b.c:x");
  two.AddHeader();
  two.AddSection("output.state.1");
  two.AddItem("", "state", "on");
  two.AddSection("output.state.2");
  EXPECT_EQ(two.ToXap(),
            "xap-header\n{\nv=13\nhop=1\nuid=Unknown\nclass=Unknown\nsource=Unknown\n"
            "target=a.b.c:x\n}\noutput.state.1\n{\nstate=on\n}\noutput.state.2\n{\n}\n");
}

TEST(XapMessageCompare, AddressTable) {
  struct Row {
    const char* a;
    const char* b;
    bool match;
  };
  const std::vector<Row> rows = {
      {"qbx.RFID.>", "qbx.rfid.homepc.hall", true},
      {"qbx.*.homepc", "qbx.RFID.HOMEPC", true},
      {"qbx.RFID", "qbx.RFID.HOMEPC", false},
      {"qbx.RFID.HOMEPC:Door", "qbx.RFID.HOMEPC:Window", true},
      {"qbx.RFID.>:>", "other.RFID.x:y", false},
      {"", "qbx", false},
      {"a.b.c", "a.>", true},
      {"a.*.c", "a.b.d", false},
      {"*", "anything", true},
      {"a.b", "a.b.c.d", false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(XapMessage::CompareAddress(r.a, r.b), r.match) << r.a << " vs " << r.b;
    EXPECT_EQ(XapMessage::CompareAddress(r.b, r.a), r.match) << "symmetric: " << r.a;
  }
  XapMessage m;
  m.FromXap(
      "xap-header\n{\nclass=xAPBSC.Query\nsource=x.y.z:a\ntarget=qbx.RFID.HOMEPC.Hall:>\n}\n");
  EXPECT_TRUE(m.CompareClass("xapbsc.query"));
  EXPECT_FALSE(m.CompareClass("xapbsc.*"));
  EXPECT_TRUE(m.CompareSource("x.y.z"));
  EXPECT_TRUE(m.CompareTarget("qbx.rfid.homepc.hall"));
  EXPECT_FALSE(m.CompareTarget("Unknown"));
}

const char* const kQuery =
    "xap-header\n{\nv=13\nhop=1\nuid = FF.1234:00 \nclass = xAPBSC.query\n"
    "source=acme.ctl.one\nextra=ignored\n}\nxAPBSC.Cmd\n{\nSTATE= on\nid=*\n}\n"
    "Output.State.2\n{\nlevel=5=6\nno equals sign\n}\n";

TEST(XapMessageParse, HeaderTrimmedBodyNotSectionsLowered) {
  XapMessage m;
  m.FromXap(kQuery);
  EXPECT_EQ(m.MsgUID(), "FF.1234:00");
  EXPECT_EQ(m.MsgClass(), "xAPBSC.query");
  EXPECT_EQ(m.MsgSource(), "acme.ctl.one");
  EXPECT_EQ(m.MsgTarget(), "Unknown");  // no target line
  EXPECT_EQ(m.GetItem("xAPBSC.Cmd", "state"), " on");
  EXPECT_EQ(m.GetItem("XAPBSC.CMD", "STATE"), " on");
  EXPECT_EQ(m.GetItem("output.state.2", "level"), "5=6");
  EXPECT_EQ(m.GetItem("output.state.2", "missing"), "Unknown");
  EXPECT_EQ(m.GetItem("nosuch", "state"), "Unknown");
  EXPECT_EQ(m.MsgSection(), (std::vector<std::string>{"xapbsc.cmd", "output.state.2"}));
  ASSERT_NE(m.msgCollection(0), nullptr);
  EXPECT_EQ(*m.msgCollection(0)->Find("state"), "STATE= on");
  EXPECT_EQ(m.msgCollection(1)->size(), 1u);
  EXPECT_EQ(m.msgCollection(-1), nullptr);
  EXPECT_EQ(m.msgCollection(3), nullptr);
  // A parsed message has no output text.
  EXPECT_EQ(m.ToXap(), "}\n");
}

TEST(XapMessageParse, TextThatIsNotAMessageChangesNothing) {
  for (const std::string& text :
       {std::string(), std::string("xap-hbeat\n{\nv=13\nclass=xap-hbeat.alive\n}\n"),
        std::string("hello\nxap-header\n"), std::string("\0\x01\xff\n}\n", 6)}) {
    XapMessage m;
    m.FromXap(text);
    EXPECT_EQ(m.MsgClass(), "Unknown");
    EXPECT_EQ(m.MsgSource(), "Unknown");
    EXPECT_EQ(m.MsgTarget(), "Unknown");
    EXPECT_EQ(m.MsgUID(), "Unknown");
    EXPECT_EQ(m.MsgSection(), std::vector<std::string>{""});
  }
}

TEST(XapMessageParse, CrLfTextDoesNotParseIntoSections) {
  XapMessage m;
  m.FromXap("xap-header\r\n{\r\nclass=a.b\r\nsource=s.t.u\r\n}\r\nsec\r\n{\r\nk=v\r\n}\r\n");
  // Header lines still give their (trimmed of blanks only) values, CR kept.
  EXPECT_EQ(m.MsgClass(), "a.b\r");
  EXPECT_EQ(m.MsgSection(), std::vector<std::string>{""});
  EXPECT_EQ(m.GetItem("sec", "k"), "Unknown");
}

TEST(XapMessageParse, RepeatsKeepTheFirstAndAreTraced) {
  std::vector<std::string> traces;
  XapMessage m([&](const std::function<std::string()>& source, std::string_view text) {
    traces.push_back(source() + "|" + std::string(text));
  });
  m.FromXap("xap-header\n{\nclass=c\n}\nsec\n{\nk=1\nK=2\n}\nsec\n{\nk=3\n}\n");
  EXPECT_EQ(m.GetItem("sec", "k"), "1");
  ASSERT_EQ(traces.size(), 2u);
  EXPECT_EQ(
      traces[0],
      "From XAP Key=k, Value=K=2,Message=xap-header~{~class=c~}~sec~{~k=1~K=2~}~sec~{~k=3~}~|");
  EXPECT_EQ(traces[1].substr(0, 25), "From XAP Key=sec, Value=1");
  // The repeated section is still reachable by number.
  ASSERT_NE(m.msgCollection(1), nullptr);
  EXPECT_EQ(*m.msgCollection(1)->Find("k"), "k=3");
}

// More sections or items than any device sends: nothing is kept, and the
// message says so. Up to the limit everything is kept.
TEST(XapMessageParse, MoreThanTheLimitOfSectionsOrItems) {
  auto build = [](size_t sections, size_t items_each) {
    std::string text = "xap-header\n{\nclass=c\n}\n";
    for (size_t s = 0; s < sections; ++s) {
      text += "s" + std::to_string(s) + "\n{\n";
      for (size_t i = 0; i < items_each; ++i) text += "k" + std::to_string(i) + "=v\n";
      text += "}\n";
    }
    return text;
  };
  XapMessage full;
  // The header's class line is an item too: 999 + 1.
  full.FromXap(build(XapMessage::kMaxSections - 1, 1));
  EXPECT_FALSE(full.TooLarge());
  EXPECT_EQ(full.GetItem("s998", "k0"), "v");
  // Items count over the whole message, not per section; every item line
  // counts, repeated keys and header lines included (a CR LF text keeps
  // all its lines in the header).
  std::string repeated;
  for (int i = 0; i < 15000; ++i) repeated += "a=b\n";
  for (const std::string& text :
       {build(XapMessage::kMaxSections + 1, 0), build(2, XapMessage::kMaxItems / 2 + 1),
        "xap-header\n{\nclass=c\n}\nblk\n{\n" + repeated + "}\n",
        "xap-header\n{\nclass=c\n" + repeated + "}\n",
        "xap-header\r\n{\r\nclass=c\r\n}\r\nblk\r\n{\r\n" + ReplaceAll(repeated, "\n", "\r\n")}) {
    XapMessage m;
    m.FromXap(text);
    EXPECT_TRUE(m.TooLarge());
    EXPECT_EQ(m.MsgClass(), "Unknown");
    EXPECT_EQ(m.MsgSection(), std::vector<std::string>{""});
  }
}

TEST(XapMessageParse, MissingFinalLineBreakKeepsTheLastSectionName) {
  XapMessage m;
  m.FromXap("xap-header\n{\nclass=c\n}\none\n{\na=1\n}\ntwo\n{\nb=2\n}");
  EXPECT_EQ(m.MsgSection(), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(m.GetItem("two", "b"), "2");
}

}  // namespace
}  // namespace tagvane
