#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace tagvane::test {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  out_fd_ = fds[0];
}

ChildProcess::~ChildProcess() {
  if (!exited_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
}

void ChildProcess::Drain(int timeout_ms) {
  pollfd p{out_fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return;
  char buf[4096];
  const ssize_t n = read(out_fd_, buf, sizeof buf);
  if (n > 0) output_.append(buf, static_cast<size_t>(n));
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds deadline) {
  return WaitUntil([&] { return output_.find(text) != std::string::npos; }, deadline);
}

bool ChildProcess::WaitUntil(const std::function<bool()>& done,
                             std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    Drain(20);
  }
  return true;
}

void ChildProcess::Signal(int signal) { kill(pid_, signal); }

int ChildProcess::Wait(std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < end) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      Drain(0);
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    Drain(10);
  }
  return -1;
}

std::string BuiltProgram(const std::string& name) {
  return std::string(TAGVANE_BINARY_DIR) + "/" + name;
}

}  // namespace tagvane::test
