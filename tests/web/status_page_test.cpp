#include "web/status_page.h"

#include <gtest/gtest.h>

#include "core/ini_cache.h"
#include "receiver/rfid_device.h"
#include "scripting/device_class.h"
#include "web/request.h"
#include "web/response.h"
#include "web/web_fixture.h"

namespace tagvane::test {
namespace {

// Draws the page for a GET, or applies a posted form and draws.
std::string Page(WebFixture& fx, const std::string& form = "") {
  Request request;
  request.set_remoteip("127.0.0.1");
  if (form.empty()) {
    request.ParsePage("GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  } else {
    // A form of the page the daemon serves carries its token.
    const std::string token = form.find("pagetoken=") == std::string::npos
                                  ? "&pagetoken=" + fx.web().Forms().Token(PageForm::kStatus)
                                  : "";
    request.ParsePage("POST /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" + form + token);
  }
  request.FlushRequest();
  Response response(fx.server());
  return fx.pages().StatusPage(request, response);
}

std::string IniOnDisk(WebFixture& fx) { return ReadFile(fx.dir() / "Config/Tagvane.ini"); }

TEST(StatusPage, TitleOptionsAndTagRows) {
  WebFixture fx("ReceiverLocation=Hall\r\n");
  fx.app().State().ReceiverCode = "__Hall";
  auto own = fx.AddDevice("1A2B");
  own->SetDeviceString("<table><td>ON</td></table>");
  own->SetLocation("Kitchen");
  fx.AddDevice("0007", "", "_Attic");  // another receiver's tag
  WriteFile(fx.html() / "Tagvane/popup.js", "var myPopup = {};");
  const std::string page = Page(fx);
  // The header cells' help pop-ups find the script that defines them.
  EXPECT_NE(page.find("</script><script>var myPopup = {};</script>"), std::string::npos);
  EXPECT_NE(page.find("RFID Hall Status&nbsp;&nbsp;<small><font size='1'></b> V"),
            std::string::npos);
  EXPECT_NE(page.find("<input type='checkbox' name ='ShowSetup' value='1' >&nbsp;Show Setup"),
            std::string::npos);
  EXPECT_NE(page.find("<table><td>ON</td></table>"), std::string::npos);  // snippet as built
  EXPECT_NE(page.find("name='Accept0'"), std::string::npos);
  EXPECT_NE(page.find("name='Location0' value='Kitchen'"), std::string::npos);
  EXPECT_EQ(page.find("name='Accept1'"), std::string::npos);
  EXPECT_EQ(page.find("name='Location1'"), std::string::npos);
  EXPECT_NE(page.find(">HALL1A2B</td>"), std::string::npos);
  EXPECT_NE(page.find(">ATTIC0007</td>"), std::string::npos);
  ASSERT_EQ(fx.pages().StatusRows().size(), 2u);
  // Sorted by tag field, receiver field, prefix field.
  EXPECT_EQ(fx.pages().StatusRows()[0].DCSort, "0007_ATTIC______");
  EXPECT_EQ(fx.pages().StatusRows()[1].DCSort, "1A2B__HALL______");
  EXPECT_FALSE(fx.pages().SetupShown());
}

TEST(StatusPage, ValuesFromTheNetworkAreEscaped) {
  WebFixture fx;
  auto device = fx.AddDevice("0001");
  device->SetTag("'><script>x</script>");
  device->SetLocation("a&b\"c");
  auto remote = fx.AddDevice("0002", "", "_Other");
  remote->SetLocation("<img src=x onerror=alert(1)>");
  fx.app().Tables().FilterTable.Add("src<b>~cls'", "t\"ag;");
  fx.app().GetSettings().ShowReceiveMessages = true;
  const std::string page = Page(fx);
  EXPECT_EQ(page.find("<script>x"), std::string::npos);
  EXPECT_EQ(page.find("<img src=x"), std::string::npos);
  EXPECT_NE(page.find("value='&#39;&gt;&lt;script&gt;x&lt;/script&gt;'"), std::string::npos);
  EXPECT_NE(page.find("a&amp;b&quot;c"), std::string::npos);
  EXPECT_NE(page.find("value='src&lt;b&gt;' name='Source1'"), std::string::npos);
  EXPECT_NE(page.find("value='t&quot;ag' name='FilterTag1'"), std::string::npos);
}

TEST(StatusPage, HiddenParametersTravelInTheChangedCell) {
  WebFixture fx;
  fx.app().GetSettings().HideParameters = true;
  auto device = fx.AddDevice("0001");
  device->SetTag("Keys");
  device->SetEventNotification(true);
  const std::string page = Page(fx);
  EXPECT_EQ(Occurrences(page, "<input type='submit' name='"),
            7u + 2u);  // 7 columns + the two refresh buttons
  EXPECT_NE(page.find("<input type='hidden' name='Tag0' value='Keys'>"), std::string::npos);
  EXPECT_NE(page.find("<input type='hidden' value='1' name='Ev0'>"), std::string::npos);
}

TEST(StatusPage, RemovedAndUnusedRows) {
  WebFixture fx;
  fx.AddDevice("0001")->SetRemove(true);
  fx.AddDevice("0002")->SetInUse(true);
  fx.AddDevice("0003");
  fx.app().GetSettings().HideRemoved = true;
  fx.app().GetSettings().ShowOnlyUsed = true;
  const std::string page = Page(fx);
  EXPECT_EQ(fx.pages().StatusRows().size(), 2u);  // the removed one is not listed
  EXPECT_NE(page.find("name='Remove1'"), std::string::npos);
  EXPECT_EQ(page.find("name='Remove2'"), std::string::npos);  // listed, not drawn
}

TEST(StatusPage, FormatChangeTimeAndStripHtml) {
  WebFixture fx;  // clock: 5 Dec 2026 15:04:05
  Page(fx);
  StatusPages& pages = fx.pages();
  EXPECT_EQ(pages.FormatChangeTime(MakeDateTime(2026, 12, 5, 0, 0, 1)), "Today 12:00:01 AM");
  EXPECT_EQ(pages.FormatChangeTime(MakeDateTime(2026, 12, 4, 16, 15, 0)), "Yesterday 4:15:00 PM");
  EXPECT_EQ(pages.FormatChangeTime(MakeDateTime(2000, 1, 1)), "");
  EXPECT_EQ(pages.FormatChangeTime(MakeDateTime(2026, 11, 3, 8, 0, 0)), "03/11/2026 08:00:00");
  EXPECT_EQ(StatusPages::StripHTML("<b>A</b>&NBSP;B"), "AB");
  EXPECT_EQ(StatusPages::StripHTML("a < b"), "a < b");
}

TEST(StatusCommands, SaveEditsOnlyWhatThePageOffered) {
  WebFixture fx;
  auto own = fx.AddDevice("0001");
  auto remote = fx.AddDevice("0002", "", "_Other");
  remote->SetInUse(true);
  remote->SetLocation("Garage");
  remote->SetOnWeight(3.0f);
  auto hidden = fx.AddDevice("0003");
  hidden->SetInUse(false);
  hidden->SetTag("Spare");
  hidden->SetEventNotification(true);
  fx.app().GetSettings().ShowOnlyUsed = false;
  Page(fx);
  Page(fx,
       "clientinput=yes&UpdateButton=Save&Accept0=on&Tag0=front+door+key&Location0=Hall"
       "&OnWeight0=2.5&OffWeight0=abc&Ev0=on&Tag1=Car&X10DC1=A1&Tag2=Spare&X10DC2="
       "&ShowOnlyUsed=1");
  EXPECT_TRUE(own->InUse());
  EXPECT_EQ(own->Tag(), "front_door_key");
  EXPECT_EQ(own->Location(), "Hall");
  EXPECT_FLOAT_EQ(own->OnWeight(), 2.5f);
  EXPECT_FLOAT_EQ(own->OffWeight(), 1.0f);
  EXPECT_EQ(own->uID(), "01");
  EXPECT_TRUE(own->EventNotification());
  // Not offered for another receiver's tag: accept, location and weights.
  EXPECT_TRUE(remote->InUse());
  EXPECT_EQ(remote->Location(), "Garage");
  EXPECT_FLOAT_EQ(remote->OnWeight(), 3.0f);
  EXPECT_EQ(remote->Tag(), "Car");
  EXPECT_EQ(remote->X10DC(), "A1");
  // Offered and left clear: the check box counts as cleared.
  EXPECT_FALSE(hidden->EventNotification());
  ASSERT_NE(fx.app().Tables().TagTable.Find("front_door_key"), nullptr);
  EXPECT_TRUE(fx.app().Tables().ScriptDeviceTable.Contains("Car"));
  // Each changed device is on disk at once.
  const std::string ini = IniOnDisk(fx);
  EXPECT_NE(ini.find(own->DC() + "=" + own->Properties()), std::string::npos) << ini;
  EXPECT_NE(ini.find("ShowOnlyUsed=True"), std::string::npos);

  // Now the unused tag is no longer drawn: a save must not touch it.
  hidden->SetEventNotification(true);
  Page(fx, "clientinput=yes&UpdateButton=Save&ShowOnlyUsed=1&Tag0=front_door_key&Accept0=on");
  EXPECT_TRUE(hidden->EventNotification());
  EXPECT_EQ(hidden->Tag(), "Spare");
}

TEST(StatusCommands, SetupAndFiltersFollowThePostedFormNotTheLastPage) {
  WebFixture fx;
  Settings& s = fx.app().GetSettings();
  s.Background = "#123456";
  s.UserFormat = "fmt";
  fx.app().Tables().FilterTable.Add("a.b.c~x.y", "Lamp;");
  // Tab A shows the setup and the filters; tab B, drawn before, did not.
  s.ShowSetup = s.ShowReceiveMessages = true;
  const std::string a = Page(fx);
  EXPECT_NE(a.find("name='SetupSection'"), std::string::npos);
  EXPECT_NE(a.find("name='FilterSection'"), std::string::npos);
  Page(fx, "clientinput=yes&UpdateButton=Save&Tag0=renamed");
  EXPECT_EQ(s.Background, "#123456");
  EXPECT_EQ(s.UserFormat, "fmt");
  EXPECT_TRUE(fx.app().Tables().FilterTable.Contains("a.b.c~x.y"));
  std::string ini = IniOnDisk(fx);
  for (const char* key : {"Background=", "ServerPort=", "UID=", "FOMdelta=", "userformat="}) {
    EXPECT_EQ(ini.find(key), std::string::npos) << key;
  }
  // A post that carries the setup applies it, Show Setup unticked or not,
  // and keeps what it did not carry.
  const std::string setup =
      "clientinput=yes&UpdateButton=Save&SetupSection=1&ReceiverLocation=R%26D+lab"
      "&RFIDPort=%2Fdev%2FttyUSB0&fomDelta=abc&usestrength=x&xapUID=FF.1234:00"
      "&sqlsource=db+one&debuglog=0";
  Page(fx, setup);
  EXPECT_FALSE(s.ShowSetup);
  EXPECT_EQ(s.receiverlocation, "R&D lab");
  EXPECT_EQ(s.RFIDPort, "/dev/ttyUSB0");
  EXPECT_EQ(s.fomdelta, 200);
  EXPECT_EQ(s.usestrength, 0);
  EXPECT_TRUE(s.DebugLog);
  EXPECT_EQ(s.Background, "#123456");
  EXPECT_EQ(fx.app().Outbox().SetupUID(), "FF.1234:00");
  ini = IniOnDisk(fx);
  EXPECT_NE(ini.find("ShowSetup=False"), std::string::npos);
  EXPECT_NE(ini.find("ReceiverLocation=R&D lab"), std::string::npos);
  EXPECT_NE(ini.find("sqlsource=\"db one\""), std::string::npos);
  EXPECT_NE(ini.find("FOMdelta=abc"), std::string::npos);
}

TEST(StatusCommands, ColumnSortFlipsAndIdSortsByCode) {
  WebFixture fx;
  fx.AddDevice("0001")->SetTag("b");
  fx.AddDevice("0002")->SetTag("a");
  fx.AddDevice("0003")->SetTag("c");
  Page(fx);
  auto tags = [&] {
    std::string out;
    for (const auto& row : fx.pages().StatusRows()) out += row.Tag;
    return out;
  };
  Page(fx, "clientinput=yes&Tag=Tag");
  EXPECT_EQ(tags(), "abc");
  Page(fx, "clientinput=yes&Tag=Tag");
  EXPECT_EQ(tags(), "cba");
  EXPECT_NE(IniOnDisk(fx).find("StatusSortDirection=\"DESC\""), std::string::npos);
  Page(fx, "clientinput=yes&ID=ID");
  EXPECT_EQ(tags(), "bac");
  // The presence column's "P" sorts by the status text.
  std::vector<StatusRow> rows(2);
  rows[0].Status = "Off";
  rows[1].Status = "On";
  EXPECT_TRUE(SortStatusRows(rows, "P DESC"));
  EXPECT_EQ(rows[0].Status, "On");
  EXPECT_NE(IniOnDisk(fx).find("StatusSortKey=\"DCSort\""), std::string::npos);
}

TEST(StatusCommands, ScriptAndQueryButtons) {
  WebFixture fx;
  int resets = 0;
  std::string queried;
  fx.app().GetHooks().InitScriptControl = [&] { ++resets; };
  fx.app().GetHooks().BSCQuery = [&](const std::string& target) { queried = target; };
  EXPECT_EQ(Page(fx, "clientinput=yes&script=Read"), "");
  EXPECT_EQ(resets, 1);
  EXPECT_FALSE(Page(fx, "clientinput=yes&query=BSC").empty());
  EXPECT_EQ(queried, ">:>");
}

TEST(StatusCommands, MessageFilters) {
  WebFixture fx;
  fx.app().GetSettings().ShowReceiveMessages = true;
  fx.app().Tables().FilterTable.Add("a.b.c~x.y", "Old;");
  fx.app().Tables().FilterTable.Add("d.e.f~z", "Gone;1");
  const std::string page = Page(fx);
  EXPECT_NE(page.find("name='Source1'"), std::string::npos);
  EXPECT_NE(page.find("name='Source2'"), std::string::npos);
  EXPECT_NE(page.find("name='Source0'"), std::string::npos);
  EXPECT_NE(page.find("name='FilterKey2' value='d.e.f~z'"), std::string::npos);
  // Added from elsewhere after this page was drawn: no row names it.
  fx.app().Tables().FilterTable.Add("m.e.a~nwhile", "Later;");
  Page(fx,
       "clientinput=yes&UpdateButton=Save&ShowReceiveMessages=1&FilterSection=1&Source0=n.e.w"
       "&Class0=k&FilterKey1=a.b.c~x.y&Source1=a.b.c&Class1=x.y&FilterTag1=Old+one"
       "&FilterEvent1=1&FilterKey2=d.e.f~z&Source2=&Class2=");
  const auto& filters = fx.app().Tables().FilterTable;
  ASSERT_EQ(filters.size(), 3u);
  EXPECT_EQ(*filters.Find("m.e.a~nwhile"), "Later;");
  EXPECT_EQ(*filters.Find("n.e.w~k"), ";");
  EXPECT_EQ(*filters.Find("a.b.c~x.y"), "Old_one;1");
  EXPECT_TRUE(fx.app().Tables().ScriptDeviceTable.Contains("Old_one"));
  const std::string ini = IniOnDisk(fx);
  EXPECT_NE(ini.find("a.b.c~x.y=Old_one;1"), std::string::npos);
  EXPECT_EQ(ini.find("d.e.f"), std::string::npos);
}

}  // namespace
}  // namespace tagvane::test
