#include "web/page_chrome.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "core/ini_cache.h"
#include "web/request.h"
#include "web/web_fixture.h"

namespace tagvane::test {
namespace {

struct ChromeSetup {
  WebFixture fx;
  PageChrome chrome{fx.app(), fx.html()};
  Request request;
  explicit ChromeSetup(const std::string& settings = "", const std::string& agent = "test",
                       const std::string& ip = "127.0.0.1") {
    if (!settings.empty()) {
      for (const auto& line : Split(settings, ';')) {
        const size_t eq = line.find('=');
        fx.app().Ini().SaveIniSetting("Settings", line.substr(0, eq), line.substr(eq + 1),
                                      kSettingsFile);
      }
    }
    request.set_remoteip(ip);
    request.ParsePage("GET /status HTTP/1.1\r\nHost: 127.0.0.1:8017\r\nUser-Agent: " + agent +
                      "\r\n\r\n");
    chrome.SetCurrent(&request, nullptr);
    chrome.StartMiscFunctionsASP();
  }
};

TEST(PageChrome, FormatCell) {
  ChromeSetup s;
  EXPECT_EQ(s.chrome.FormatCell("x", "TABLEROWODD", "", ""), "<td class=\"TABLEROWODD\" >x</td>");
  EXPECT_EQ(s.chrome.FormatCell("Two Words-x", "TABLEHEADER", "2", "Center"),
            "<td class=\"TABLEHEADER\" colspan=\"2\" align=\"Center\"  "
            "onMouseOver=\"myPopup.startHelp('TwoWordsx')\" onMouseOut=\"myPopup.clearHelp()\" "
            ">Two Words-x</td>");
  EXPECT_EQ(s.chrome.FormatCell("<b>y</b>", "TABLEHEADER", "", ""),
            "<td class=\"TABLEHEADER\" ><b>y</b></td>");
}

TEST(PageChrome, TouchScreensByAddressOrAgent) {
  ChromeSetup listed("touchscreenips=127.0.0.9, 127.0.0.1");
  EXPECT_TRUE(listed.chrome.StartHeaderASP());
  EXPECT_EQ(listed.chrome.FormatCell("r", "TABLEROWODD", "", ""),
            "<td bgcolor=\"#C0C0C0\" ><font face=\"Verdana, Arial, sans-serif\" size=\"2\" "
            "color=\"#000000\">r</font></td>");
  ChromeSetup qnx("", "Mozilla (qnx)", "127.1.1.1");
  EXPECT_TRUE(qnx.chrome.StartHeaderASP());
  ChromeSetup plain("touchscreenips=127.0.0.9", "Mozilla");
  EXPECT_FALSE(plain.chrome.StartHeaderASP());
}

TEST(PageChrome, SecurityModes) {
  for (const auto& [setting, level, user] :
       {std::tuple{"none", 10, "NO SECURITY"}, {"Basic", 0, "GUEST"}, {"whatever", 0, ""}}) {
    ChromeSetup s(std::string("usesecurity=") + setting);
    s.chrome.SecurityCheck();
    EXPECT_EQ(s.chrome.SecurityLevel(), level) << setting;
    EXPECT_EQ(s.chrome.UserName(), user) << setting;
  }
}

TEST(PageChrome, EnhancedSecurityBindsTheClientAddress) {
  for (const std::string ip : {"127.0.0.5", "x' OR '1'='1"}) {
    ChromeSetup s("usesecurity=ENHANCED;dbpath=menu.db", "test", ip);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((s.fx.dir() / "menu.db").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db,
                 "CREATE TABLE MenuUsers (UserID TEXT, SecureLevel INTEGER, SecID TEXT, "
                 "LastSessTime TEXT);"
                 "INSERT INTO MenuUsers VALUES ('alice', 10, '127.0.0.5', NULL);",
                 nullptr, nullptr, nullptr);
    s.chrome.SecurityCheck();
    if (ip == "127.0.0.5") {
      EXPECT_EQ(s.chrome.SecurityLevel(), 10);
      EXPECT_EQ(s.chrome.UserName(), "alice");
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(db, "SELECT LastSessTime FROM MenuUsers", -1, &st, nullptr);
      ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
      EXPECT_NE(sqlite3_column_text(st, 0), nullptr);
      sqlite3_finalize(st);
    } else {
      EXPECT_EQ(s.chrome.SecurityLevel(), 0);  // quoting tricks find no row
      EXPECT_EQ(s.chrome.UserName(), "None");
    }
    sqlite3_close(db);
  }
}

TEST(PageChrome, HeaderWritesMissingKeysBackAndIncludesFiles) {
  ChromeSetup s;
  WriteFile(s.fx.html() / "html/meta.htm", "<meta name=\"m\" content=\"1\">");
  WriteFile(s.fx.html() / "html/head.htm", "   ");  // blanks only: left out
  WriteFile(s.fx.html() / "Tagvane/links.htm", "<a href=\"/a\">A</a>");
  const std::string head = s.chrome.CustomHeader({"My Page", "", "#204060", "x", ""});
  EXPECT_NE(head.find("<title> - My Page</title>"), std::string::npos) << head;
  EXPECT_NE(head.find("href=\"/Tagvane/styleNoBody.css\""), std::string::npos);
  EXPECT_NE(head.find("<meta name=\"m\" content=\"1\"></head><body bgcolor=\"#204060\">"),
            std::string::npos);
  EXPECT_NE(head.find("<a href=\"/a\">A</a>"), std::string::npos);
  EXPECT_NE(head.find("summary=\"Logo Bar\""), std::string::npos);
  EXPECT_TRUE(head.ends_with("<a name=\"pagecontent\"></a>"));
  const std::string includes = ReadFile(s.fx.dir() / "Config/includes.ini");
  EXPECT_NE(includes.find("strPageTitle=n/a"), std::string::npos) << includes;
  EXPECT_NE(includes.find("strShowLinks=OldStyle"), std::string::npos);
  EXPECT_NE(includes.find("UseSecurity=None"), std::string::npos);
}

TEST(PageChrome, CustomLinksPointAtThisServer) {
  ChromeSetup s;
  s.chrome.SetHttpPort("8017");
  WriteFile(s.fx.html() / "Tagvane/Links.htm", "<a href=\"/status\">S</a>");
  s.fx.app().Ini().SaveIniSetting("header.asp", "strHeader", "no", "includes.ini");
  const std::string head = s.chrome.CustomHeader({"T"});
  EXPECT_NE(head.find("<a href=\"http://127.0.0.1:8017/status\">S</a>"), std::string::npos);
  EXPECT_EQ(head.find("Logo Bar"), std::string::npos);
}

}  // namespace
}  // namespace tagvane::test
