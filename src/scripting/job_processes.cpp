#include "scripting/job_processes.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/steady_timer.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "core/logger.h"
#include "core/numbers.h"
#include "core/paths.h"
#include "core/text.h"

extern char** environ;

namespace tagvane {
namespace {

// Exit status for a job reaped by someone else: its real status is lost.
constexpr int kStatusLost = -1;

// The daemon's own values for these are not the job's to see.
bool DropFromChildEnvironment(std::string_view entry) {
  return entry.starts_with("TAGVANE_API_") || entry.starts_with("TAGVANE_APP_DIR=");
}

// The attributes and file actions of one start, released on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // A process group of its own, default signal dispositions (the daemon
  // ignores some), no blocked signal, standard input from /dev/null and no
  // descriptor above standard error. Returns 0 or an errno value.
  int Prepare() {
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    int rc = posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
    if (rc == 0) {
      rc = posix_spawnattr_setflags(
          &attr_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    if (rc == 0) rc = posix_spawnattr_setpgroup(&attr_, 0);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr_, &all);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&attr_, &none);
    return rc;
  }

  int Spawn(pid_t* pid, const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& env) {
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    return posix_spawn(pid, program.c_str(), &actions_, &attr_, argv.data(), envp.data());
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

}  // namespace

class ProcessJobLauncher::Job final : public SpawnedJob {
 public:
  Job(asio::io_context& io, pid_t pid) : pid_(pid), limit_(io) {}
  int ProcessID() const override { return static_cast<int>(pid_); }
  int Status() const override { return ended_ ? 1 : 0; }
  int ExitCode() const override { return exit_code_; }

  pid_t Pid() const { return pid_; }
  bool HasEnded() const { return ended_; }
  void Ended(int exit_code) {
    ended_ = true;
    exit_code_ = exit_code;
    limit_.cancel();
  }
  asio::steady_timer& Limit() { return limit_; }

 private:
  pid_t pid_;
  asio::steady_timer limit_;
  bool ended_ = false;
  int exit_code_ = 0;
};

ProcessJobLauncher::ProcessJobLauncher(asio::io_context& io, Logger& log,
                                       std::filesystem::path runner,
                                       std::function<JobEnvironment()> environment)
    : io_(io), log_(log), runner_(std::move(runner)), environment_(std::move(environment)) {}

ProcessJobLauncher::~ProcessJobLauncher() {
  Reap();
  StopAll();  // jobs do not outlive their launcher
  if (child_signal_) {
    std::error_code ignored;
    child_signal_->cancel(ignored);
  }
}

std::shared_ptr<SpawnedJob> ProcessJobLauncher::Refuse(const std::string& reason) {
  log_.LogEvent(kProductSource, "WrapWSF " + reason);
  return nullptr;
}

std::shared_ptr<SpawnedJob> ProcessJobLauncher::Launch(const std::filesystem::path& wrapper) {
  Reap();  // a job whose signal is still on its way frees its place now
  if (running_.size() >= kMaxRunning) {
    return Refuse("refused: " + std::to_string(kMaxRunning) + " jobs are already running");
  }
  if (access(runner_.c_str(), X_OK) != 0) {
    const int error = errno;
    return Refuse("refused: no job runner at " + runner_.string() + " (" + std::strerror(error) +
                  ")");
  }
  // Watching for ended children starts before the first one exists.
  ArmSignal();
  if (!child_signal_) return Refuse("refused: cannot watch for ended jobs");

  SpawnSetup setup;
  pid_t pid = -1;
  int rc = setup.Prepare();
  if (rc == 0) {
    rc = setup.Spawn(&pid, runner_.string(), {runner_.string(), wrapper.string()},
                     ChildEnvironment());
  }
  if (rc != 0) return Refuse("cannot start " + runner_.string() + ": " + std::strerror(rc));
  auto job = std::make_shared<Job>(io_, pid);
  running_.push_back(job);
  if (const auto limit = time_limit_(); limit.count() > 0) ArmLimit(job, limit, false);
  Reap();  // a job that ended at once
  return job;
}

void ProcessJobLauncher::ArmLimit(const std::shared_ptr<Job>& job, std::chrono::seconds limit,
                                  bool final_kill) {
  job->Limit().expires_after(limit);
  job->Limit().async_wait([this, alive = std::weak_ptr<char>(alive_),
                           weak = std::weak_ptr<Job>(job), limit,
                           final_kill](const std::error_code& ec) {
    auto job = weak.lock();
    if (ec || alive.expired() || !job) return;
    Reap();
    // Only while it is not reaped does the id still name this job's group.
    if (job->HasEnded() || job->Pid() <= 1) return;
    if (final_kill) {
      kill(-job->Pid(), SIGKILL);
      return;
    }
    log_.LogEvent(kProductSource, "WrapWSF job " + std::to_string(job->Pid()) +
                                      " ran longer than " + std::to_string(limit.count()) +
                                      " s: stopped");
    kill(-job->Pid(), SIGTERM);
    ArmLimit(job, kStopGrace, true);
  });
}

std::shared_ptr<SpawnedJob> ProcessJobLauncher::Find(int process_id) const {
  for (const auto& job : running_) {
    if (job->ProcessID() == process_id) return job;
  }
  for (const auto& job : ended_) {  // newest first: an id the system reused
    if (job->ProcessID() == process_id) return job;
  }
  return nullptr;
}

void ProcessJobLauncher::StopAll() {
  for (const auto& job : running_) {
    // Not reaped yet, so the id still names this job's group.
    if (job->Pid() > 1) kill(-job->Pid(), SIGTERM);
  }
}

void ProcessJobLauncher::ArmSignal() {
  if (child_signal_) return;
  auto set = std::make_unique<asio::signal_set>(io_);
  std::error_code ec;
  set->add(SIGCHLD, ec);
  if (ec) return;
  // Keep the loop's handler, but let system calls it interrupts elsewhere
  // in the program restart, and leave stopped children out.
  struct sigaction action {};
  if (sigaction(SIGCHLD, nullptr, &action) == 0) {
    action.sa_flags |= SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, nullptr);
  }
  child_signal_ = std::move(set);
  WaitForSignal();
}

void ProcessJobLauncher::WaitForSignal() {
  // A completion already queued when the launcher goes must not reach it.
  child_signal_->async_wait(
      [this, alive = std::weak_ptr<char>(alive_)](const std::error_code& ec, int) {
        if (ec || alive.expired()) return;
        Reap();
        WaitForSignal();
      });
}

void ProcessJobLauncher::Reap() {
  for (auto it = running_.begin(); it != running_.end();) {
    Job& job = **it;
    int status = 0;
    pid_t r;
    do {
      r = waitpid(job.Pid(), &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == job.Pid()) {
      job.Ended(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
    } else if (r < 0) {
      job.Ended(kStatusLost);  // no longer our child to wait for
    } else {
      ++it;
      continue;
    }
    ended_.push_front(*it);
    if (ended_.size() > kRememberEnded) ended_.pop_back();
    it = running_.erase(it);
  }
}

std::vector<std::string> ProcessJobLauncher::ChildEnvironment() const {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    if (!DropFromChildEnvironment(*e)) env.emplace_back(*e);
  }
  const JobEnvironment values = environment_ ? environment_() : JobEnvironment{};
  env.push_back("TAGVANE_API_URL=" + values.api_url);
  if (!values.api_token.empty()) env.push_back("TAGVANE_API_TOKEN=" + values.api_token);
  env.push_back("TAGVANE_APP_DIR=" + values.app_dir);
  return env;
}

std::chrono::seconds JobTimeLimitFrom(std::string_view setting) {
  const std::string_view text = TrimSpaces(setting);
  if (!IsNumeric(text)) return ProcessJobLauncher::kDefaultTimeLimit;
  const double seconds = LeadingNumber(text);
  if (!(seconds >= 0)) return ProcessJobLauncher::kDefaultTimeLimit;
  // Beyond a year is as good as none, and keeps the timer arithmetic sane.
  return std::chrono::seconds(static_cast<int64_t>(std::min(seconds, 366.0 * 86400)));
}

JobEnvironment MakeJobEnvironment(int port, std::string token, std::string app_dir) {
  return {"http://127.0.0.1:" + std::to_string(port), std::move(token), std::move(app_dir)};
}

std::filesystem::path RunnerBeside(const std::string& program) {
  return std::filesystem::path(program).parent_path() / "tagvane-run";
}

}  // namespace tagvane
