// Runs a real program for end-to-end tests: standard error captured through
// a pipe, waits for a line with a deadline, signals and exit status.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tagvane::test {

class ChildProcess {
 public:
  // Starts program with args; standard output and error are both captured.
  ChildProcess(const std::string& program, const std::vector<std::string>& args);
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads output until a line containing text appears or the deadline
  // passes; returns whether it appeared.
  bool WaitForOutput(const std::string& text,
                     std::chrono::milliseconds deadline = std::chrono::seconds(10));
  // Keeps reading output (so the child never blocks on a full pipe) until
  // done() holds or the deadline passes; returns done(). The deadline is a
  // bound against hangs, not a measurement.
  bool WaitUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds deadline = std::chrono::seconds(60));
  void Signal(int signal);
  // Waits for the exit; returns the exit status, or -1 on a deadline or a
  // death by signal.
  int Wait(std::chrono::milliseconds deadline = std::chrono::seconds(10));
  const std::string& Output() const { return output_; }
  pid_t Pid() const { return pid_; }

 private:
  void Drain(int timeout_ms);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  bool exited_ = false;
  std::string output_;
};

// What the daemon prints in the foreground once start-up is done.
inline constexpr const char* kDaemonReady = " ready, application folder ";

// Path of a built program (build/<name>).
std::string BuiltProgram(const std::string& name);

}  // namespace tagvane::test
