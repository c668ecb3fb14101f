// Spawned jobs as real processes: a small shell runner stands in for the job
// runner and does what the wrapper's procedure line asks.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "script_fixture.h"
#include "scripting/job_processes.h"

namespace tagvane::test {
namespace {

// $1 is the wrapper; its sixth line is: PROCEDURE "PARAMETER".
constexpr const char* kRunner = R"(#!/bin/sh
base="${1%.wsf}"
set -- $(sed -n 6p "$1" | tr -d '\r"')
case "$1" in
  Exit) exit "$2" ;;
  Kill) kill -KILL $$ ;;
  Report)
    env > "$base.env"
    tr '\0' ' ' < /proc/$$/cmdline > "$base.cmdline" ;;
  Wait)
    exec 2>/dev/null
    trap 'wait $child; echo $? > "$base.term"; exit 143' TERM
    sleep 30 &
    child=$!
    : > "$base.ready"
    wait ;;
esac
)";

class Jobs : public ScriptFixture {
 protected:
  void SetUp() override {
    StartApp();
    runner_ = dir_ / "bin/runner.sh";
    WriteFile(runner_, kRunner);
    chmod(runner_.c_str(), 0755);
    Install(runner_);
  }
  void Install(const std::filesystem::path& runner) {
    auto launcher = std::make_unique<ProcessJobLauncher>(app_->Loop().Io(), app_->Log(), runner,
                                                         [this] { return env_; });
    launcher_ = launcher.get();
    host_->SetJobLauncher(std::move(launcher));
  }
  bool PumpUntil(const std::function<bool()>& done) {
    return test::PumpUntil(done, [this] { app_->Loop().PumpFor(std::chrono::milliseconds(10)); });
  }
  bool AllReaped() {
    return PumpUntil([this] { return launcher_->Running() == 0; });
  }
  std::string Out(const std::string& job, const std::string& what) {
    return ReadFile(dir_ / ("Scripts/~" + job + "." + what));
  }

  std::filesystem::path runner_;
  JobEnvironment env_ = MakeJobEnvironment(8123, "s3cret-token", "/srv/tagvane");
  ProcessJobLauncher* launcher_ = nullptr;
};

bool NotOurChild(int pid) { return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD; }

TEST_F(Jobs, ExitCodesReachTheProcessObjectAndNoZombieStays) {
  // A child the jobs do not own: its status stays for its owner.
  const pid_t other = fork();
  if (other == 0) _exit(7);
  EXPECT_EQ(Eval("(function() _G.job = Spawn('Three', 'Exit', '3') return 1 end)()"), "1");
  const auto killed = host_->Spawn("Killed", "Kill", "");
  ASSERT_TRUE(killed);
  ASSERT_TRUE(AllReaped());
  EXPECT_EQ(Eval("_G.job.Status .. ' ' .. _G.job.EXITCODE .. ' ' .. tostring(_G.job.nothing)"),
            "1 3 nil");
  const int pid = std::stoi(Eval("_G.job.processid"));
  EXPECT_GT(pid, 0);
  EXPECT_EQ(killed->Status(), 1);
  EXPECT_EQ(killed->ExitCode(), 128 + SIGKILL);
  EXPECT_TRUE(NotOurChild(pid));
  EXPECT_TRUE(NotOurChild(killed->ProcessID()));
  int status = 0;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  EXPECT_EQ(WEXITSTATUS(status), 7);

  Install(dir_ / "bin/missing-runner");
  EXPECT_EQ(Eval("tostring(Spawn('Three', 'Exit', '3'))"), "nil");
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("WrapWSF refused: no job runner at " + (dir_ / "bin/missing-runner").string(), 0),
            0u)
      << events[0];
}

TEST_F(Jobs, EnvironmentCarriesTheApiAndTheCommandLineNoSecret) {
  setenv("TAGVANE_API_STALE", "daemon-only", 1);
  const auto job = host_->Spawn("Report", "Report", "");
  env_.api_token.clear();
  const auto tokenless = host_->Spawn("Tokenless", "Report", "");
  unsetenv("TAGVANE_API_STALE");
  ASSERT_TRUE(job && tokenless);
  ASSERT_TRUE(AllReaped());
  EXPECT_EQ(job->ExitCode(), 0);

  const std::string env = Out("Report", "env");
  EXPECT_NE(env.find("TAGVANE_API_URL=http://127.0.0.1:8123\n"), std::string::npos) << env;
  EXPECT_NE(env.find("TAGVANE_API_TOKEN=s3cret-token\n"), std::string::npos);
  EXPECT_NE(env.find("TAGVANE_APP_DIR=/srv/tagvane\n"), std::string::npos);
  EXPECT_EQ(env.find("TAGVANE_API_STALE"), std::string::npos);
  EXPECT_EQ(Out("Tokenless", "env").find("TAGVANE_API_TOKEN"), std::string::npos);
  const std::string cmdline = Out("Report", "cmdline");
  EXPECT_NE(cmdline.find(runner_.string() + " " + (dir_ / "Scripts/~Report.wsf").string() + " "),
            std::string::npos) << cmdline;
  EXPECT_EQ(cmdline.find("s3cret"), std::string::npos);
}

TEST_F(Jobs, OwnGroupsNoInheritedDescriptorsAtMostSixteenAndShutDownStopsThem) {
  const int stray = open("/dev/null", O_RDONLY);  // not close-on-exec
  ASSERT_GT(stray, 2);
  std::vector<std::shared_ptr<SpawnedJob>> jobs;
  for (size_t i = 0; i < ProcessJobLauncher::kMaxRunning; ++i) {
    jobs.push_back(host_->Spawn("Wait" + std::to_string(i), "Wait", ""));
    ASSERT_TRUE(jobs.back());
  }
  close(stray);
  EXPECT_EQ(Eval("tostring(Spawn('Extra', 'Wait', ''))"), "nil");
  EXPECT_EQ(Events(), (std::vector<std::string>{"WrapWSF refused: 16 jobs are already running"}));
  ASSERT_TRUE(PumpUntil([&] {
    for (size_t i = 0; i < jobs.size(); ++i) {
      if (!std::filesystem::exists(dir_ / ("Scripts/~Wait" + std::to_string(i) + ".ready"))) {
        return false;
      }
    }
    return true;
  }));
  EXPECT_EQ(jobs[0]->Status(), 0);
  EXPECT_EQ(jobs[0]->ExitCode(), 0);
  const int pid = jobs[0]->ProcessID();
  EXPECT_EQ(getpgid(pid), pid);
  EXPECT_NE(getpgid(pid), getpgrp());
  // Standard input is /dev/null; above standard error only the shell's own
  // handle on its script.
  int seen = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    const int n = std::stoi(fd.path().filename().string());
    const std::string target = std::filesystem::read_symlink(fd.path()).string();
    if (n == 0) {
      EXPECT_EQ(target, "/dev/null");
    } else if (n > 2) {
      EXPECT_EQ(target, runner_.string()) << "descriptor " << n;
    }
    ++seen;
  }
  EXPECT_GE(seen, 3);

  host_->Release();  // the shut-down step
  ASSERT_TRUE(AllReaped());
  for (size_t i = 0; i < jobs.size(); ++i) {
    EXPECT_EQ(jobs[i]->ExitCode(), 143);
    // The job's own child got SIGTERM too: the whole group was signalled.
    EXPECT_EQ(Out("Wait" + std::to_string(i), "term"), "143\n");
  }
}

}  // namespace
}  // namespace tagvane::test
