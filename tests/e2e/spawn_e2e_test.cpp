// End to end: the real daemon, hub and job runner. The main script spawns a
// job; the job's procedure reaches the daemon through the JSON API (its
// WriteLog shows on the hub) and then fails; the main script sees the job
// end with exit code 1, the Lua error is on standard error, and the ended
// job leaves no zombie behind.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <optional>

#include "support/rig.h"
#include "support/test_support.h"
#include "xap/xap_message.h"

namespace tagvane {
namespace {

std::optional<XapMessage> AwaitLog(test::HubWithClient& hub, const std::string& type) {
  auto matches = [&](const std::string& t) {
    XapMessage m;
    m.FromXap(t);
    return m.CompareClass("Homeseer.Event") && m.GetItem("Event.Log", "Type") == type;
  };
  for (int i = 0; i < 4; ++i) {  // 10 s each
    if (auto seen = hub.Client().ReceiveMatching(matches)) {
      XapMessage m;
      m.FromXap(*seen);
      return m;
    }
  }
  return std::nullopt;
}

TEST(SpawnEndToEnd, AJobCallsTheApiAndItsExitCodeReachesTheMainScript) {
  test::TempDir dir;
  test::HubWithClient hub;
  ASSERT_TRUE(hub.Ready()) << hub.Hub().Output();
  test::WriteFile(dir / "app/Scripts/Tagvane.txt",
                  "function Main(name)\n"
                  "  if not job then\n"
                  "    job = Spawn('job.txt', 'Report', 'hello from a job')\n"
                  "    if not job then WriteLog('Spawn', 'refused') end\n"
                  "  elseif job.Status == 1 and not reported then\n"
                  "    reported = true\n"
                  "    WriteLog('JobEnded', job.ExitCode .. ' ' .. job.ProcessID)\n"
                  "  end\n"
                  "end\n");
  test::WriteFile(dir / "app/Scripts/job.txt",
                  "function Report(text)\n"
                  "  xap.WriteLog('Job', text)\n"
                  "  error('job failed on purpose')\n"
                  "end\n");
  auto daemon = test::StartDaemon(
      dir / "app",
      "[RFID]\r\nHTTPPort=" + std::to_string(test::FreeLoopbackPort()) +
          "\r\nPeriodicScriptInterval=1\r\n",
      "HubPort=" + std::to_string(hub.Port()) + "\r\n");
  ASSERT_TRUE(daemon->WaitForOutput(test::kDaemonReady)) << daemon->Output();

  const auto job_log = AwaitLog(hub, "Job");
  ASSERT_TRUE(job_log) << daemon->Output();
  EXPECT_EQ(job_log->GetItem("Event.Log", "Data"), "hello from a job");

  const auto ended = AwaitLog(hub, "JobEnded");
  ASSERT_TRUE(ended) << daemon->Output();
  const std::string data = ended->GetItem("Event.Log", "Data");
  EXPECT_EQ(data.substr(0, 2), "1 ") << data;
  const std::string pid = data.substr(2);
  EXPECT_FALSE(std::filesystem::exists("/proc/" + pid)) << "job " << pid << " left a zombie";
  EXPECT_TRUE(daemon->WaitForOutput("job failed on purpose")) << daemon->Output();

  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->Wait(), 0);
}

}  // namespace
}  // namespace tagvane
