// tagvane: the presence daemon. Command line, signals and the event loop.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <filesystem>
#include <iostream>

#include "core/app.h"
#include "core/paths.h"
#include "version.h"
#include "wiring.h"

namespace {

// Detaches from the terminal: fork, new session, standard streams to
// /dev/null. The parent exits 0 once the child exists.
void Daemonize() {
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    std::exit(1);
  }
  if (pid > 0) std::_Exit(0);
  setsid();
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    if (null_fd > 2) close(null_fd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli{"Tagvane: presence of active RFID tags, published as xAP BSC messages."};
  std::string app_dir;
  bool foreground = false;
  cli.add_option("--app-dir", app_dir,
                 "Application folder holding Config/, Data/, HTML/ and Scripts/ "
                 "(default: the folder of the executable)");
  cli.add_flag("--foreground", foreground,
               "Stay attached to the terminal and copy the event log to standard error");
  cli.set_version_flag("--version", std::string("tagvane ") + tagvane::kVersion);
  CLI11_PARSE(cli, argc, argv);

  const std::string exe = tagvane::ExecutablePath(argv[0]);
  if (app_dir.empty()) app_dir = std::filesystem::path(exe).parent_path().string();
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(app_dir, ec);
  if (!ec) app_dir = absolute.lexically_normal().string();

  if (!foreground) Daemonize();

  tagvane::AppOptions options;
  options.app_dir = app_dir;
  options.exe_path = exe;
  options.foreground = foreground;
  tagvane::App app(options);
  tagvane::InstallSubsystems(app);

  // Signals only set the loop going; the shut-down runs on the loop, once.
  // During start-up a signal ends start-up at its next step instead.
  asio::signal_set signals(app.Loop().Io(), SIGINT, SIGTERM);
  std::function<void(const std::error_code&, int)> on_signal =
      [&](const std::error_code& error, int) {
        if (error) return;
        if (app.Starting()) {
          app.RequestShutdown();
        } else if (!app.ShutDownStarted()) {
          app.Shutdown();
          app.Loop().Stop();
        }
        signals.async_wait(on_signal);
      };
  signals.async_wait(on_signal);
  std::signal(SIGPIPE, SIG_IGN);

  app.Start();
  if (!app.StartupCancelled()) {
    if (foreground) {
      std::cerr << "tagvane " << tagvane::kVersion << " ready, application folder " << app_dir
                << std::endl;
    }
    app.Loop().Run();
  }
  app.Shutdown();
  if (!app.SavedAtShutdown()) {
    // A service manager and a user must see that changes were lost.
    std::cerr << "tagvane: the shut-down could not save every change to "
              << app.ConfigDir().string() << " (see the event log)" << std::endl;
    return 1;
  }
  return 0;
}
