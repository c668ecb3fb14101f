// Spawned jobs as real processes: a small shell runner stands in for the job
// runner and does what the wrapper's procedure line asks.
#include <fcntl.h>
#include <gmock/gmock.h>
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
  Deaf) trap '' TERM; : > "$base.ready"; while :; do sleep 1; done ;;
  Wait)
    exec 2>/dev/null
    env > "$base.env"
    tr '\0' ' ' < /proc/$$/cmdline > "$base.cmdline"
    trap 'wait $child; echo $? > "$base.term"; exit 143' TERM
    sleep 30 &
    child=$!
    # Ready once the child runs sleep: a forked shell does not keep the trap.
    until read -r c < /proc/$child/comm && [ "$c" = sleep ]; do :; done
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
  bool Exists(const std::string& job, const std::string& what) {
    return std::filesystem::exists(dir_ / ("Scripts/~" + job + "." + what));
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
  ASSERT_TRUE(killed && AllReaped());
  EXPECT_EQ(Eval("_G.job.Status .. ' ' .. _G.job.EXITCODE .. ' ' .. tostring(_G.job.nothing)"),
            "1 3 nil");
  EXPECT_EQ(killed->ExitCode(), 128 + SIGKILL);
  EXPECT_TRUE(NotOurChild(std::stoi(Eval("_G.job.processid"))));
  EXPECT_TRUE(NotOurChild(killed->ProcessID()));
  int status = 0;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  EXPECT_EQ(WEXITSTATUS(status), 7);

  Install(dir_ / "bin/missing");
  EXPECT_EQ(Eval("tostring(Spawn('Three', 'Exit', '3'))"), "nil");
  EXPECT_THAT(Events(),
              ::testing::ElementsAre(::testing::StartsWith("WrapWSF refused: no job runner at " +
                                                           (dir_ / "bin/missing").string())));
}

TEST_F(Jobs, SixteenRunInTheirOwnGroupsWithTheApiInTheirEnvironmentUntilShutDown) {
  const int stray = open("/dev/null", O_RDONLY);  // not close-on-exec
  ASSERT_GT(stray, 2);
  setenv("TAGVANE_API_STALE", "daemon-only", 1);
  std::vector<std::shared_ptr<SpawnedJob>> jobs;
  for (size_t i = 0; i < ProcessJobLauncher::kMaxRunning; ++i) {
    jobs.push_back(host_->Spawn("Wait" + std::to_string(i), "Wait", ""));
    ASSERT_TRUE(jobs.back());
    env_.api_token.clear();  // the jobs after the first have no token
  }
  unsetenv("TAGVANE_API_STALE");
  close(stray);
  EXPECT_EQ(Eval("tostring(Spawn('Extra', 'Wait', ''))"), "nil");
  EXPECT_EQ(Events(), (std::vector<std::string>{"WrapWSF refused: 16 jobs are already running"}));
  ASSERT_TRUE(PumpUntil([&] {
    size_t ready = 0;
    for (size_t i = 0; i < jobs.size(); ++i) ready += Exists("Wait" + std::to_string(i), "ready");
    return ready == jobs.size();
  }));
  EXPECT_EQ(jobs[0]->Status(), 0);
  const std::string env = Out("Wait0", "env");
  EXPECT_NE(env.find("TAGVANE_API_URL=http://127.0.0.1:8123\n"), std::string::npos) << env;
  EXPECT_NE(env.find("TAGVANE_API_TOKEN=s3cret-token\n"), std::string::npos);
  EXPECT_NE(env.find("TAGVANE_APP_DIR=/srv/tagvane\n"), std::string::npos);
  EXPECT_EQ(env.find("TAGVANE_API_STALE"), std::string::npos);
  EXPECT_EQ(Out("Wait1", "env").find("TAGVANE_API_TOKEN"), std::string::npos);
  const std::string cmdline = Out("Wait0", "cmdline");
  EXPECT_NE(cmdline.find(runner_.string() + " " + (dir_ / "Scripts/~Wait0.wsf").string() + " "),
            std::string::npos)
      << cmdline;
  EXPECT_EQ(cmdline.find("s3cret"), std::string::npos);
  const int pid = jobs[0]->ProcessID();
  EXPECT_EQ(getpgid(pid), pid);
  EXPECT_NE(getpgid(pid), getpgrp());
  // Standard input is /dev/null; above standard error only the shell's own
  // handle on its script.
  for (const auto& fd :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    const int n = std::stoi(fd.path().filename().string());
    const std::string target = std::filesystem::read_symlink(fd.path()).string();
    if (n == 0) {
      EXPECT_EQ(target, "/dev/null");
    } else if (n > 2) {
      EXPECT_EQ(target, runner_.string()) << "descriptor " << n;
    }
  }

  host_->Release();  // the shut-down step
  ASSERT_TRUE(AllReaped());
  for (size_t i = 0; i < jobs.size(); ++i) {
    EXPECT_EQ(jobs[i]->ExitCode(), 143);
    // The job's own child got SIGTERM too: the whole group was signalled.
    EXPECT_EQ(Out("Wait" + std::to_string(i), "term"), "143\n");
  }
}

TEST_F(Jobs, AJobPastItsTimeLimitIsStoppedAndCanBeLookedUpByItsId) {
  launcher_->SetTimeLimit([] { return std::chrono::seconds(2); });
  const auto polite = host_->Spawn("Polite", "Wait", "");  // ends on SIGTERM
  const auto deaf = host_->Spawn("Deaf", "Deaf", "");      // ignores it
  ASSERT_TRUE(polite && deaf);
  EXPECT_EQ(host_->FindJob(deaf->ProcessID()), deaf);
  ASSERT_TRUE(test::PumpUntil([this] { return launcher_->Running() == 0; },
                              [this] { app_->Loop().PumpFor(std::chrono::milliseconds(10)); },
                              std::chrono::seconds(30)));  // the limit, then 5 s of grace
  EXPECT_EQ(polite->ExitCode(), 143);
  EXPECT_EQ(deaf->ExitCode(), 128 + SIGKILL);
  EXPECT_EQ(host_->FindJob(polite->ProcessID()), polite);  // ended jobs are remembered
  EXPECT_EQ(host_->FindJob(-5), nullptr);
  // A wrapper that cannot be written as asked starts nothing, not even the
  // older wrapper of that name.
  EXPECT_EQ(host_->Spawn("Polite", "Wait \"now\"", ""), nullptr);
  EXPECT_EQ(launcher_->Running(), 0u);
  EXPECT_THAT(Events(), ::testing::Contains("WrapWSF job " + std::to_string(deaf->ProcessID()) +
                                            " ran longer than 2 s: stopped"));
  for (const auto& [text, seconds] : std::vector<std::pair<std::string, int>>{
           {"", 3600}, {"x", 3600}, {"-4", 3600}, {"0", 0}, {" 90 ", 90}, {"1e30", 366 * 86400}}) {
    EXPECT_EQ(JobTimeLimitFrom(text).count(), seconds) << text;
  }
}

}  // namespace
}  // namespace tagvane::test
