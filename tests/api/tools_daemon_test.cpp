// tagvane-ctl and tagvane-run against the real daemon (and hub) on loopback.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/ini_tool.h"
#include "scripting/script_files.h"
#include "support/rig.h"
#include "support/test_support.h"
#include "xap/xap_message.h"

namespace tagvane {
namespace {

constexpr const char* kDevice = "____________1A2B";

// A daemon on a free HTTP port with the tag "Keys" (Off).
class DaemonWithApi {
 public:
  explicit DaemonWithApi(const std::string& extra_xap = "") {
    port_ = test::FreeLoopbackPort();
    const std::string port = std::to_string(port_);
    daemon_ = test::StartDaemon(
        dir_ / "app",
        "[RFID]\r\nHTTPPort=\"" + port + "\"\r\n[RFIDUnits]\r\n" + kDevice + "=" + kDevice +
            "~3~Keys~False~01/12/2026 10:00:00~Hall~01~False~False~False~10~~Switch~True~1~1~"
            "90~50~0~0\r\n",
        extra_xap);
    ready_ = daemon_->WaitForOutput(test::kDaemonReady);
  }
  ~DaemonWithApi() {
    daemon_->Signal(SIGTERM);
    daemon_->Wait();
  }
  bool Ready() const { return ready_; }
  int Port() const { return port_; }
  std::string AppDir() const { return (dir_ / "app").string(); }
  const std::filesystem::path& Dir() const { return dir_.Path(); }
  test::ChildProcess& Process() { return *daemon_; }

 private:
  test::TempDir dir_;
  std::unique_ptr<test::ChildProcess> daemon_;
  bool ready_ = false;
  int port_ = 0;
};

std::pair<int, std::string> RunTool(const std::string& program,
                                    const std::vector<std::string>& args) {
  test::ChildProcess child(test::BuiltProgram(program), args);
  const int status = child.Wait(std::chrono::seconds(30));
  return {status, child.Output()};
}

TEST(ToolsWithDaemon, CtlReadsAndSetsThroughTheApi) {
  DaemonWithApi d;
  ASSERT_TRUE(d.Ready()) << d.Process().Output();
  const std::string app = d.AppDir();
  auto ctl = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--app-dir", app});
    return RunTool("tagvane-ctl", args);
  };
  EXPECT_EQ(ctl({"GetIniSetting", "RFID", "PeriodicScriptInterval", "none"}),
            std::make_pair(0, std::string("none\n")));
  EXPECT_EQ(ctl({"SetDeviceString", kDevice, "Front door \xE9"}).first, 0);
  EXPECT_EQ(ctl({"devicestring", kDevice}), std::make_pair(0, std::string("Front door \xE9\n")));
  EXPECT_EQ(ctl({"IsOff", kDevice}), std::make_pair(0, std::string("true\n")));
  EXPECT_EQ(ctl({"DeviceStatus", kDevice}), std::make_pair(0, std::string("3\n")));
  EXPECT_EQ(ctl({"--json", R"({"sdc": ")" + std::string(kDevice) + R"(", "iValue": 7})",
                 "SetDeviceValue"}).first, 0);
  EXPECT_EQ(ctl({"DeviceValue", kDevice}).second, "7\n");
  auto [rc, out] = ctl({"Request", "Keys"});
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out.rfind(R"({"value":"OFF","lastchange":"01/12/2026 10:00:00"})", 0), 0u) << out;
  EXPECT_EQ(ctl({"Request", "Nobody"}), std::make_pair(0, std::string()));

  std::tie(rc, out) = ctl({"NoSuchMember"});
  EXPECT_EQ(rc, 1);
  EXPECT_NE(out.find("tagvane-ctl: NoSuchMember: "), std::string::npos) << out;
  std::tie(rc, out) = ctl({"SetDeviceValue", kDevice, "many"});
  EXPECT_EQ(rc, 1);
  EXPECT_NE(out.find("iValue"), std::string::npos) << out;
  std::tie(rc, out) = ctl({"--list"});
  EXPECT_EQ(rc, 0);
  EXPECT_NE(out.find("\nSetDeviceString sDC:text s:text -> "), std::string::npos) << out;
  EXPECT_NE(out.find("\nGetINISection Group:text [sFile:text] -> text\n"), std::string::npos);
}

TEST(ToolsWithDaemon, AJobRunByHandCallsTheDaemonAndFailsWithItsLuaError) {
  test::HubWithClient hub;
  ASSERT_TRUE(hub.Ready()) << hub.Hub().Output();
  DaemonWithApi d("HubPort=" + std::to_string(hub.Port()) + "\r\n");
  ASSERT_TRUE(d.Ready()) << d.Process().Output();
  const auto scripts = d.Dir() / "app/Scripts";
  test::WriteFile(scripts / "lib.txt", "function Dc() return '____________1a2b' end\n");
  test::WriteFile(scripts / "Job.txt",
                  "-- #include \"lib.txt\"\n"
                  "local keys = Request('Keys')\n"
                  "function Announce(p)\n"
                  "  xap.WriteLog('Job', p .. ' ' .. keys.value .. ' ' .. tostring(IsOff(Dc())))\n"
                  "end\n"
                  "function Broken(p) error('boom ' .. p) end\n");
  test::WriteFile(scripts / "~Job.wsf", WrapperText("Job", "announce", "hello"));
  auto [rc, out] = RunTool("tagvane-run", {"--app-dir", d.AppDir(), (scripts / "~Job.wsf").string()});
  EXPECT_EQ(rc, 0) << out;
  auto is_job_log = [](const std::string& t) {
    XapMessage m;
    m.FromXap(t);
    return m.CompareClass("Homeseer.Event") && m.GetItem("Event.Log", "Type") == "Job";
  };
  const auto seen = hub.Client().ReceiveMatching(is_job_log);
  ASSERT_TRUE(seen) << d.Process().Output();
  XapMessage m;
  m.FromXap(*seen);
  EXPECT_EQ(m.GetItem("Event.Log", "Data"), "hello OFF true");

  test::WriteFile(scripts / "~Job.wsf", WrapperText("Job", "Broken", "x"));
  std::tie(rc, out) = RunTool("tagvane-run", {"--app-dir", d.AppDir(), (scripts / "~Job.wsf").string()});
  EXPECT_EQ(rc, 1);
  EXPECT_NE(out.find("Job.txt:6: boom x"), std::string::npos) << out;
  test::WriteFile(scripts / "~Job.wsf", WrapperText("Job", "Missing", "x"));
  std::tie(rc, out) = RunTool("tagvane-run", {"--app-dir", d.AppDir(), (scripts / "~Job.wsf").string()});
  EXPECT_EQ(rc, 1);
  EXPECT_NE(out.find("no procedure \"Missing\""), std::string::npos) << out;
}

// The install step's token, then a daemon that uses it: code-running members
// need it even from loopback, the tools find it in the application folder,
// reads stay open.
TEST(ToolsWithDaemon, TheInstalledTokenGuardsCodeAndTheToolsPickItUp) {
  test::TempDir dir;
  const std::string app = (dir / "app").string();
  const auto ini = dir / "app/Config/Tagvane.ini";
  const std::string port = std::to_string(test::FreeLoopbackPort());
  test::WriteFile(ini, "[RFID]\r\nHTTPPort=" + port + "\r\n");
  std::string token;
  for (const char* said : {"APIToken set in ", "APIToken already set in "}) {
    auto [rc, out] = RunTool("tagvane", {"--app-dir", app, "--init-api-token"});
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out.rfind(said, 0), 0u) << out;
    IniTool read;
    read.Load(ini);
    if (token.empty()) token = read.Read("RFID", "APIToken", "");
    EXPECT_EQ(read.Read("RFID", "APIToken", ""), token);  // the second run keeps it
    EXPECT_EQ(std::filesystem::status(ini).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  ASSERT_EQ(token.size(), 64u);
  test::WriteFile(dir / "app/Scripts/job.txt",
                  "function Keep(p) SaveIniSetting('Test', 'k', p, 'Tagvane.ini') end\n"
                  "function Answer() return 42 end\n");
  test::WriteFile(dir / "app/Scripts/~job.wsf", WrapperText("job", "Keep", "kept \"quoted\""));
  auto daemon = test::StartDaemon(dir / "app", test::ReadFile(ini));
  ASSERT_TRUE(daemon->WaitForOutput(test::kDaemonReady)) << daemon->Output();

  const std::string url = "http://127.0.0.1:" + port;
  auto [rc, out] = RunTool("tagvane-ctl", {"--url", url, "RunEx", "job.txt", "Answer", ""});
  EXPECT_EQ(rc, 1);
  EXPECT_NE(out.find("RunEx needs a valid \"Authorization: Bearer"), std::string::npos) << out;
  EXPECT_EQ(RunTool("tagvane-ctl", {"--url", url, "DeviceStatus", "nosuch"}),
            std::make_pair(0, std::string("17\n")));
  EXPECT_EQ(RunTool("tagvane-ctl", {"--app-dir", app, "RunEx", "job.txt", "Answer", ""}),
            std::make_pair(0, std::string("42\n")));
  std::tie(rc, out) = RunTool("tagvane-run", {"--app-dir", app, app + "/Scripts/~job.wsf"});
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(RunTool("tagvane-ctl", {"--app-dir", app, "GetIniSetting", "Test", "k", "", "Tagvane.ini"}),
            std::make_pair(0, std::string("kept \"quoted\"\n")));

  const std::string missing = (dir / "nonexistent").string();
  EXPECT_EQ(RunTool("tagvane-ctl", {"--app-dir", missing, "IsOn", "x"}),
            std::make_pair(2, "tagvane-ctl: no application folder " + missing + "\n"));
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0);
}

TEST(ToolsWithDaemon, SigtermUnderFiftyStreamsEndsThemAndSavesTheTable) {
  DaemonWithApi d;
  ASSERT_TRUE(d.Ready()) << d.Process().Output();
  EXPECT_EQ(RunTool("tagvane-ctl", {"--app-dir", d.AppDir(), "SetDeviceLastChange", kDevice,
                                    "02/03/2026 04:05:06"}).first, 0);
  std::vector<int> streams;
  for (int i = 0; i < 50; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = test::LoopbackAddress(d.Port());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string ask = "GET /api/events HTTP/1.1\r\n\r\n";
    ASSERT_EQ(send(fd, ask.data(), ask.size(), 0), static_cast<ssize_t>(ask.size()));
    streams.push_back(fd);
  }
  char buffer[4096];
  for (int fd : streams) EXPECT_GT(recv(fd, buffer, sizeof buffer, 0), 0);  // the stream's head
  d.Process().Signal(SIGTERM);
  EXPECT_EQ(d.Process().Wait(), 0) << d.Process().Output();
  for (int fd : streams) {
    ssize_t n = 0;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
    }
    EXPECT_EQ(n, 0);  // ended, not cut off
    close(fd);
  }
  EXPECT_NE(test::ReadFile(d.Dir() / "app/Config/Tagvane.ini").find("02/03/2026 04:05:06"),
            std::string::npos);
}

}  // namespace
}  // namespace tagvane
