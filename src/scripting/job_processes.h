// Spawned jobs as real processes. ProcessJobLauncher starts
// "<runner> <wrapper path>" and promises:
// - the job leads a process group of its own, with default signal
//   dispositions, an empty signal mask, standard input from /dev/null,
//   standard output and error shared with the daemon and no other descriptor;
// - its environment is the daemon's without any TAGVANE_API_* or
//   TAGVANE_APP_DIR entry, plus TAGVANE_API_URL, TAGVANE_API_TOKEN (only when
//   there is a token) and TAGVANE_APP_DIR; nothing secret is on the command
//   line;
// - at most kMaxRunning jobs run at once; a refused start writes one event-log
//   entry "WrapWSF " + the reason and gives nullptr;
// - ended jobs are reaped from the event loop (SIGCHLD), each by its own
//   process id only, so no zombie stays behind and no other child of the
//   program is touched;
// - StopAll (and the launcher's end) sends SIGTERM to the process group of
//   every running job and returns at once;
// - a job still running after its time limit (read at its start; 0 means
//   none) gets SIGTERM to its group, one event-log entry "WrapWSF job <pid>
//   ran longer than <n> s: stopped", and SIGKILL to the group 5 s later if
//   it has not ended by then;
// - Find knows the running jobs and the last kRememberEnded ended ones.
#pragma once

#include <sys/types.h>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "scripting/script_host.h"

namespace tagvane {

class Logger;

// What a job is told about the daemon, read at each start.
struct JobEnvironment {
  std::string api_url;    // TAGVANE_API_URL
  std::string api_token;  // TAGVANE_API_TOKEN, left out when empty
  std::string app_dir;    // TAGVANE_APP_DIR
};

class ProcessJobLauncher final : public JobLauncher {
 public:
  static constexpr size_t kMaxRunning = 16;
  static constexpr size_t kRememberEnded = 64;
  static constexpr std::chrono::seconds kDefaultTimeLimit{3600};
  static constexpr std::chrono::seconds kStopGrace{5};

  ProcessJobLauncher(asio::io_context& io, Logger& log, std::filesystem::path runner,
                     std::function<JobEnvironment()> environment);
  ~ProcessJobLauncher() override;

  std::shared_ptr<SpawnedJob> Launch(const std::filesystem::path& wrapper) override;
  void StopAll() override;
  std::shared_ptr<SpawnedJob> Find(int process_id) const override;
  size_t Running() const { return running_.size(); }
  // Read at each start; kDefaultTimeLimit until set.
  void SetTimeLimit(std::function<std::chrono::seconds()> limit) { time_limit_ = std::move(limit); }

 private:
  class Job;

  std::shared_ptr<SpawnedJob> Refuse(const std::string& reason);
  void ArmSignal();
  void WaitForSignal();
  // Collects the exit status of every running job that has ended.
  void Reap();
  void ArmLimit(const std::shared_ptr<Job>& job, std::chrono::seconds limit, bool final_kill);
  std::vector<std::string> ChildEnvironment() const;

  asio::io_context& io_;
  Logger& log_;
  std::filesystem::path runner_;
  std::function<JobEnvironment()> environment_;
  std::unique_ptr<asio::signal_set> child_signal_;
  std::vector<std::shared_ptr<Job>> running_;
  std::deque<std::shared_ptr<Job>> ended_;  // newest first
  std::function<std::chrono::seconds()> time_limit_ = [] { return kDefaultTimeLimit; };
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

// Setting JobTimeLimit (seconds, section RFID): 0 no limit; empty, not a
// number or negative: the default of one hour.
std::chrono::seconds JobTimeLimitFrom(std::string_view setting);

// The environment for the jobs of a daemon listening on port, with token and
// application folder.
JobEnvironment MakeJobEnvironment(int port, std::string token, std::string app_dir);

// The job runner next to program (the tagvane command).
std::filesystem::path RunnerBeside(const std::string& program);

}  // namespace tagvane
