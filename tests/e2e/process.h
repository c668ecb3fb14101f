// A child process for end-to-end tests: started with posix_spawn, output to
// files, stopped by its own pid (SIGTERM, then waited for).
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tagvane::test {
// Its own inline namespace: tests/support has another ChildProcess, and the
// two must not meet at link time in one test program.
inline namespace spawned {

class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& out,
               const std::filesystem::path& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ChildProcess() {
    if (Running()) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }
  bool Started() const { return pid_ > 0; }
  bool Running() const { return pid_ > 0 && !exited_; }
  // Sends SIGTERM and waits for the exit; returns the exit status.
  int Terminate() {
    if (!Running()) return status_;
    kill(pid_, SIGTERM);
    return Wait();
  }
  int Wait() {
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
};

// Polls pred every 50 ms; false when it does not hold within max_seconds
// (a bound against hangs, not a measurement).
template <typename Pred>
bool WaitFor(Pred pred, int max_seconds = 60) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(max_seconds);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

}  // namespace spawned
}  // namespace tagvane::test
