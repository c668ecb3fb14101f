// The activity indicator, the setup page's close sequence, the data
// monitor's polling answer, the service manager's notifications and the
// SIGHUP re-reading, on the manual clock where time matters.
#include <gtest/gtest.h>

#include <malloc.h>

#include <csignal>
#include <cstdlib>

#include "core/app.h"
#include "support/app_options.h"
#include "support/test_support.h"
#include "ui/menu_bar.h"
#include "web/page_answer.h"
#include "ui/service_signals.h"
#include "ui/web_ui.h"
#include "web/api_access.h"
#include "web/default_assets.h"
#include "web/request.h"

namespace tagvane {
namespace {

using test::ReadFile;
using test::WriteFile;

using UiFixture = test::AppTest;

TEST(TrayIcon, AddsOnceModifiesAfterAndRemovesOnlyWhenShown) {
  TrayIcon tray;
  tray.SetCaption("RFID Hall");
  tray.Update(false, TrayPicture::kNone);
  EXPECT_EQ(tray.CallCount(), 0u) << "never shown: no delete";
  const std::pair<TrayPicture, int> steps[] = {{TrayPicture::kNormal, TrayIcon::kAdd},
                                               {TrayPicture::kActivity, TrayIcon::kModify}};
  for (const auto& [picture, operation] : steps) {
    tray.Update(true, picture);
    EXPECT_EQ(tray.LastCall().operation, operation);
    EXPECT_EQ(tray.LastCall().picture, picture);
    EXPECT_EQ(tray.LastCall().tip, "RFID Hall");
  }
  tray.Update(false, TrayPicture::kNone);
  tray.Update(false, TrayPicture::kNone);
  EXPECT_EQ(tray.CallCount(), 3u);
  EXPECT_EQ(tray.LastCall().operation, TrayIcon::kDelete);
  EXPECT_FALSE(tray.Shown());

  tray.SetCaption(std::string(100, 'x'));
  EXPECT_EQ(tray.Caption().size(), 63u) << "the tip field holds 64 characters with its end";

  std::vector<int> seen;
  tray.SetCallback([&](int m) {
    seen.push_back(m);
    tray.MouseEvent(514);  // a second event while the first is handled
    if (m == 517) throw std::runtime_error("menu failed");
  });
  for (int m : {512, 513, 514, 517, 518, 519}) tray.MouseEvent(m);
  EXPECT_EQ(seen, (std::vector<int>{513, 514, 517, 518})) << "buttons only, one at a time; "
                                                              "a failing callback clears the guard";
}

TEST_F(UiFixture, BlinkLastsTwoHundredMillisecondsAfterTheLastBlock) {
  ActivityIndicator indicator(timers_);
  indicator.SetUp("RFID Hall");
  ASSERT_EQ(indicator.Tray().CallCount(), 1u);
  EXPECT_EQ(indicator.Tray().LastCall().picture, TrayPicture::kNormal);
  indicator.SwapIcons();
  EXPECT_TRUE(indicator.Active());
  for (int i = 0; i < 5; ++i) {  // blocks every 150 ms keep it showing activity
    timers_.Advance(std::chrono::milliseconds(150));
    EXPECT_TRUE(indicator.Active());
    indicator.SwapIcons();
  }
  timers_.Advance(std::chrono::milliseconds(199));
  EXPECT_TRUE(indicator.Active());
  timers_.Advance(std::chrono::milliseconds(1));
  EXPECT_FALSE(indicator.Active());
  EXPECT_EQ(indicator.Blinks(), 6u);
  EXPECT_EQ(indicator.Tray().LastCall().picture, TrayPicture::kNormal);
  timers_.Advance(std::chrono::seconds(5));
  EXPECT_EQ(indicator.Tray().CallCount(), 8u) << "Timer1 stops after ending a blink";

  indicator.TrayIconCallback(514);
  indicator.TrayIconCallback(512);
  EXPECT_EQ(indicator.MenuPopups(), 1u);
  const std::string json = IndicatorJson(indicator);
  EXPECT_NE(json.find("\"active\":false"), std::string::npos);
  EXPECT_NE(json.find("\"blinks\":6"), std::string::npos);
  const std::string bar = MenuBarHtml(indicator);
  size_t at = 0;
  for (const MenuItem& item : kMenuItems) {
    if (item.caption == "-") continue;
    const size_t next = bar.find(item.caption, at);
    ASSERT_NE(next, std::string::npos) << item.caption;
    at = next;
  }
  EXPECT_EQ(bar.find("href=\"/exit\""), std::string::npos) << "Exit is never a plain link";
  EXPECT_NE(bar.find("method=\"post\" action=\"/exit\""), std::string::npos);

  // However long it runs, the indicator holds its state only: the heap in
  // use stays put over many blinks (glibc's count; 0 under the sanitizers).
  const size_t heap_before = mallinfo2().uordblks;
  for (int i = 0; i < 100000; ++i) {
    indicator.SwapIcons();
    indicator.Timer1_Timer();
  }
  EXPECT_LT(mallinfo2().uordblks, heap_before + 4096) << "a record kept per blink";
}

// A receiver that notes each reopen and whether the new port was on disk.
struct ReopenRecorder final : ReceiverPort {
  explicit ReopenRecorder(App& a, std::filesystem::path file) : app(a), ini(std::move(file)) {}
  bool InitCommPort(const std::string&) override { return false; }
  void InitRFID() override {}
  void LoadDevices() override {}
  void SendToReceiver(std::string_view) override {}
  void Close() override {}
  void ReopenCommPort() override {
    const std::string& port = app.GetSettings().RFIDPort;
    const bool saved = ReadFile(ini).find("RFIDPort=" + port) != std::string::npos;
    calls.push_back("reopen " + port + (saved ? " (saved)" : " (unsaved)"));
  }
  App& app;
  std::filesystem::path ini;
  std::vector<std::string> calls;
};

TEST_F(UiFixture, SetupShowsValuesInForceAndCloseReopensTheSavedPort) {
  WriteFile(Ini(),
            "[RFID]\r\nRFIDPort=4\r\nShowSetup=True\r\nfomdelta=abc\r\nUseStrength=1\r\n"
            "APIToken=s3cret\r\n[Other]\r\nx=y\r\n");
  App app(Options());
  auto owned = std::make_unique<ReopenRecorder>(app, Ini());
  ReopenRecorder& link = *owned;
  app.SetReceiver(std::move(owned));
  app.Start();
  SetupPage setup(app, [&] { app.InitIniKeys(); });
  const SetupBoxes shown = setup.LoadBoxes();
  // The value in force, in the file's spelling when the file holds it; the
  // offered default only where nothing is in force.
  const std::pair<size_t, std::string> expected[] = {
      {0, "4"}, {2, "8017"}, {3, "false"}, {7, "True"}, {11, ""}, {15, "200"}};
  for (const auto& [i, text] : expected) EXPECT_EQ(shown[i], text) << SettingsKeyList[i];

  // Nothing changed: every box is written, nothing in force moves.
  setup.Close(PostedBoxes{});
  EXPECT_TRUE(link.calls.empty());
  std::string ini = ReadFile(Ini());
  for (const char* kept : {"fomdelta=200", "ShowSetup=True", "showonlyused=false",
                           "UseStrength=1", "APIToken=s3cret", "x=y"}) {
    EXPECT_NE(ini.find(kept), std::string::npos) << kept << "\n" << ini;
  }
  EXPECT_TRUE(app.GetSettings().ShowSetup);
  EXPECT_EQ(app.GetSettings().fomdelta, 200);

  // A new port and delta: saved, read again, then the link goes to the new port.
  PostedBoxes posted;
  posted[0] = "9";
  posted[15] = "25";
  setup.Close(posted);
  EXPECT_EQ(link.calls, std::vector<std::string>{"reopen 9 (saved)"});
  EXPECT_EQ(app.GetSettings().fomdelta, 25) << "takes effect without a restart";
  app.Shutdown();
}

TEST_F(UiFixture, MonitorSendsOnlyNewTextAndFollowsFilterAndFreeze) {
  WriteFile(Ini(), "[RFID]\r\nReceiverLocation=Hall\r\n");
  App app(Options());
  app.Start();
  ActivityIndicator indicator(timers_);
  MonitorPage page(app, indicator);
  EXPECT_EQ(page.Caption(), "RFID Data Monitor Window for Receiver Hall");
  DataMonitor& monitor = page.Monitor();
  monitor.AppendCommData("06:42:27", "0001 \"<b>\"");
  EXPECT_FALSE(page.MonitorOpen());
  std::string json = page.DataJson("");
  EXPECT_TRUE(page.MonitorOpen());
  EXPECT_NE(json.find("\"reset\":true"), std::string::npos);
  EXPECT_NE(json.find("\\u000d\\u000a06:42:27 |  0001 \\u0022<b>\\u0022"), std::string::npos)
      << json;
  const std::string seq = std::to_string(monitor.Appended());
  monitor.AppendCommData("06:42:28", "0002 \xe9");
  json = page.DataJson(seq);
  EXPECT_NE(json.find("\"reset\":false,\"text\":\"\\u000d\\u000a06:42:28 |  0002 \\u00e9\""),
            std::string::npos)
      << json;
  EXPECT_NE(page.DataJson(std::to_string(monitor.Appended())).find("\"text\":\"\""),
            std::string::npos);
  for (const std::string since : {"999999", "junk", "-1"}) {
    EXPECT_NE(page.DataJson(since).find("\"reset\":true"), std::string::npos) << since;
  }
  monitor.ClearCommData();
  EXPECT_NE(page.DataJson(std::to_string(monitor.Appended() - 1)).find("\"reset\":true"),
            std::string::npos)
      << "a cleared monitor starts the page over";

  const std::string body = "monitorform=1&aTagFilter=0A1B087&Freeze=on";
  Request post;
  post.ParsePage("POST /monitor HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                 "\r\n\r\n" + body);
  post.FlushRequest();
  page.Apply(post);
  EXPECT_EQ(monitor.aTagFilter, "0A1B087");
  EXPECT_TRUE(monitor.Freeze);
  Request other;
  other.ParsePage("POST /monitor HTTP/1.1\r\n\r\naTagFilter=x");
  other.FlushRequest();
  page.Apply(other);
  EXPECT_EQ(monitor.aTagFilter, "0A1B087") << "only the monitor's own form changes it";
  EXPECT_NE(page.Body().find("value=\"0A1B087\""), std::string::npos);

  timers_.Advance(std::chrono::seconds(MonitorPage::kOpenSeconds));
  EXPECT_FALSE(page.MonitorOpen()) << "no poll for a while: the monitor counts as closed";
  app.Shutdown();
}

TEST_F(UiFixture, ServiceManagerReportsReadyStatusWatchdogAndStopping) {
  WriteFile(Ini(), "[RFID]\r\nRFIDPort=7\r\n");
  App app(Options());
  app.Start();
  std::vector<std::string> sent;
  ::setenv("NOTIFY_SOCKET", "/nonexistent/notify", 1);
  ::setenv("WATCHDOG_USEC", "4000000", 1);
  ::unsetenv("WATCHDOG_PID");
  ServiceManager service(app, [&](const std::string& t) { sent.push_back(t); });
  service.Start();
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  EXPECT_EQ(service.WatchdogIntervalMs(), 2000) << "half the manager's interval";
  service.Ready();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], "READY=1\nSTATUS=Port Not Connected");
  timers_.Advance(std::chrono::milliseconds(4100));
  EXPECT_EQ(service.WatchdogPings(), 2u);
  service.Stopping();
  service.Stopping();
  EXPECT_EQ(sent.back(), "STOPPING=1");
  const size_t count = sent.size();
  timers_.Advance(std::chrono::seconds(10));
  EXPECT_EQ(sent.size(), count) << "no pings after STOPPING=1";
  app.Shutdown();
}

TEST(ServiceSignals, SighupReadsAChangedSettingWithoutRestart) {
  test::TempDir dir;
  WriteFile(dir / "Config/Tagvane.ini", "[RFID]\r\nfomdelta=50\r\n");
  App app(test::TestAppOptions(dir.Path()));
  auto owned = std::make_unique<WebUi>(app, nullptr);
  WebUi& ui = *owned;
  app.SetUi(std::move(owned));
  ServiceSignals signals(app, &ui);
  app.Start();
  ASSERT_EQ(app.GetSettings().fomdelta, 50);
  WriteFile(dir / "Config/Tagvane.ini", "[RFID]\r\nfomdelta=25\r\nReceiverLocation=Loft\r\n");
  std::raise(SIGHUP);
  EXPECT_TRUE(test::PumpUntil([&] { return app.GetSettings().fomdelta == 25; },
                              [&] { app.Loop().Pump(); }));
  EXPECT_EQ(ui.Indicator().Tray().Caption(), "RFID Loft");
  std::raise(SIGTERM);
  EXPECT_TRUE(test::PumpUntil([&] { return app.ShutDownStarted(); }, [&] { app.Loop().Pump(); }));
}

TEST(AccessToken, BearerTokenAndLoopbackClients) {
  EXPECT_TRUE(BearerTokenMatches("Bearer s3cret", "s3cret"));
  EXPECT_TRUE(BearerTokenMatches("bearer   s3cret ", "s3cret"));
  for (const char* bad : {"Bearer s3cre", "Bearer s3cretX", "Basic s3cret", "s3cret", "Bearer ",
                          ""}) {
    EXPECT_FALSE(BearerTokenMatches(bad, "s3cret")) << bad;
  }
  EXPECT_FALSE(BearerTokenMatches("Bearer ", "")) << "no token set: nobody matches";
  for (const char* a : {"127.0.0.1", "::1", "::ffff:127.0.0.1"}) {
    EXPECT_TRUE(IsLoopbackAddress(a)) << a;
  }
  for (const char* a : {"", "localhost", "0.0.0.0", "::", "127.0.0.1.5", "127.0.0.2"}) {
    EXPECT_FALSE(IsLoopbackAddress(a)) << a;
  }
  EXPECT_EQ(JsonString(std::string("a\"\\\x01\x7f\xff", 6)), "\"a\\u0022\\u005c\\u0001\\u007f\\u00ff\"");
}

}  // namespace
}  // namespace tagvane

namespace tagvane {
namespace {

TEST(DefaultAssets, FirstStartFillsOnlyAnEmptyHtmlFolder) {
  test::TempDir dir;
  WriteFile(dir / "usr/share/tagvane/html/Tagvane/StyleNoBody.css", "body {}");
  std::filesystem::create_directories(dir / "usr/bin");
  const auto assets = InstalledHtmlAssets(dir / "usr/bin/tagvane");
  ASSERT_FALSE(assets.empty());
  EXPECT_TRUE(InstalledHtmlAssets(dir / "build/tagvane").empty()) << "a build tree has none";
  EXPECT_NE(FillEmptyHtmlFolder(dir / "app", assets), "");
  EXPECT_EQ(ReadFile(dir / "app/HTML/Tagvane/StyleNoBody.css"), "body {}");
  WriteFile(dir / "app/HTML/Tagvane/StyleNoBody.css", "mine");
  EXPECT_EQ(FillEmptyHtmlFolder(dir / "app", assets), "");
  EXPECT_EQ(ReadFile(dir / "app/HTML/Tagvane/StyleNoBody.css"), "mine") << "a site's files stay";
}

TEST(JournalStream, EchoedLinesCarryTheirSyslogPriority) {
  ManualClock clock;
  const bool debug = true;
  Logger log(clock, debug);
  log.SetEcho(true);
  log.SetEchoPriorities(true);
  ::testing::internal::CaptureStderr();
  log.LogEvent(kProductSource, "Using xAP port 32768");
  log.LogEvent(kDebugSource, "detail");
  log.LogEvent("Unauthorized", "someone");
  log.Echo(kProductSource, "Keys ON (Hall)");
  log.SetEchoPriorities(false);
  log.LogEvent(kProductSource, "plain");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "<6>Tagvane: Using xAP port 32768\n<7>Tagvane Debug: detail\n"
            "<4>Unauthorized: someone\n<6>Tagvane: Keys ON (Hall)\nTagvane: plain\n");
}

}  // namespace
}  // namespace tagvane
