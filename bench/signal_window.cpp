// How soon after exec the stop signals are held back, and what a SIGTERM
// does at a given delay after exec: for the tagvane command and, for
// comparison, for the daemon started directly (lib/tagvane/tagvane, whose
// own main holds them only once the loader has mapped its libraries).
// A plain program, not a Google Benchmark: it starts processes and watches
// them closely.
//   build/bench/signal_window [build-dir] [runs]
// Run it in a private network namespace, like the tests:
//   unshare --net bash -c 'ip link set lo up && build/bench/signal_window'
#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

pid_t Start(const std::string& program, const std::string& app) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, STDOUT_FILENO);
    dup2(quiet, STDERR_FILENO);
    execl(program.c_str(), program.c_str(), "--foreground", "--app-dir", app.c_str(), nullptr);
    _exit(99);
  }
  // exec is done once the child runs another program than this one.
  const fs::path self = fs::read_symlink("/proc/self/exe");
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  for (std::error_code ec; fs::read_symlink(exe, ec) == self || ec;) {
  }
  return pid;
}

bool Held(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if ((line.starts_with("SigBlk:") || line.starts_with("SigCgt:")) &&
        (std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGTERM - 1)))) {
      return true;
    }
  }
  return false;
}

bool KilledBySignal(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string build = argc > 1 ? argv[1] : "build";
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;
  const fs::path app = fs::temp_directory_path() / ("tagvane-signal-window-" + std::to_string(getpid()));
  fs::create_directories(app / "Config");
  std::ofstream(app / "Config/qbxXap.ini")
      << "[Interface]\r\nBroadcastAddress=127.255.255.255\r\nInterfaceAddress=127.0.0.1\r\n";
  for (const std::string& program : {build + "/tagvane", build + "/lib/tagvane/tagvane"}) {
    std::vector<double> waits;
    for (int i = 0; i < runs; ++i) {
      const pid_t pid = Start(program, app);
      const auto t0 = Clock::now();
      while (!Held(pid)) {
      }
      waits.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      KilledBySignal(pid);
    }
    std::sort(waits.begin(), waits.end());
    std::printf("%s: exec to held %.0f us median, %.0f us p90, %.0f us max (%d runs)\n",
                program.c_str(), waits[waits.size() / 2], waits[waits.size() * 9 / 10],
                waits.back(), runs);
    for (const double delay_ms : {0.0, 0.1, 0.3, 1.0, 3.0, 10.0}) {
      int killed = 0;
      for (int i = 0; i < runs; ++i) {
        const pid_t pid = Start(program, app);
        const auto until = Clock::now() + std::chrono::duration<double, std::milli>(delay_ms);
        while (Clock::now() < until) {
        }
        killed += KilledBySignal(pid);
      }
      std::printf("  SIGTERM %.1f ms after exec: %d of %d ended by the default action\n", delay_ms,
                  killed, runs);
    }
  }
  fs::remove_all(app);
}
