// tagvane: the presence daemon. Command line, signals and the event loop.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>

#include "core/app.h"
#include "core/paths.h"
#include "ui/service_signals.h"
#include "ui/web_ui.h"
#include "version.h"
#include "web/api_access.h"
#include "web/basic_auth.h"
#include "web/default_assets.h"
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

// True when standard error is the journal's stream (JOURNAL_STREAM holds
// its "device:inode").
bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat st {};
  if (!stream || fstat(STDERR_FILENO, &st) != 0) return false;
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) == stream;
}

// One line from standard input; on a terminal, asked for twice without echo.
std::optional<std::string> ReadNewPassword() {
  auto read_line = [](bool echo_off) -> std::optional<std::string> {
    termios saved{};
    const bool tty = echo_off && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (tty) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    if (tty) {
      tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
      std::cerr << std::endl;
    }
    if (!got) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  };
  if (!isatty(STDIN_FILENO)) return read_line(false);
  std::cerr << "New password: " << std::flush;
  auto first = read_line(true);
  std::cerr << "Again: " << std::flush;
  auto second = read_line(true);
  if (!first || !second || *first != *second) {
    std::cerr << "The passwords differ." << std::endl;
    return std::nullopt;
  }
  return first;
}

// --set-password / --remove-user: edits Config/users.ini and exits.
int ManageUser(const std::string& app_dir, const std::string& set_name,
               const std::string& remove_name) {
  const std::filesystem::path config = std::filesystem::path(app_dir) / "Config";
  try {
    if (!remove_name.empty()) {
      if (!tagvane::RemoveUser(config, remove_name)) {
        std::cerr << "No user " << remove_name << std::endl;
        return 1;
      }
      std::cerr << "User " << remove_name << " removed" << std::endl;
      return 0;
    }
    if (!tagvane::ValidUserName(set_name)) {
      std::cerr << "Not a usable user name (1-64 characters, no : = [ ] or quotes)" << std::endl;
      return 2;
    }
    const auto password = ReadNewPassword();
    if (!password || password->empty()) {
      std::cerr << "No password given; nothing changed" << std::endl;
      return 1;
    }
    tagvane::SetUserPassword(config, set_name, *password);
    std::cerr << "Password of " << set_name << " set" << std::endl;
    return 0;
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return 1;
  }
}

// --init-api-token: the token is never printed.
int InitApiToken(const std::string& app_dir) {
  try {
    const bool made = tagvane::EnsureApiToken(app_dir);
    std::cerr << (made ? "APIToken set in " : "APIToken already set in ") << app_dir
              << "/Config/Tagvane.ini" << std::endl;
    return 0;
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything else: the stop and reload signals are held back (left
  // pending, never acted on by their default action) until the loop's
  // signal handling is in place, so a SIGTERM in the first milliseconds
  // ends start-up in order like any later one.
  sigset_t held;
  sigemptyset(&held);
  constexpr int kHeld[] = {SIGINT, SIGTERM, SIGHUP};
  for (int number : kHeld) sigaddset(&held, number);
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &held, &previous);
  // The tagvane command holds them already; the programs the daemon starts
  // get the mask it was given, without them.
  for (int number : kHeld) sigdelset(&previous, number);
  std::signal(SIGPIPE, SIG_IGN);

  CLI::App cli{"Tagvane: presence of active RFID tags, published as xAP BSC messages."};
  std::string app_dir;
  bool foreground = false;
  cli.add_option("--app-dir", app_dir,
                 "Application folder holding Config/, Data/, HTML/ and Scripts/ "
                 "(default: the folder of the tagvane command)");
  cli.add_flag("--foreground", foreground,
               "Stay attached to the terminal and copy the event log to standard error");
  std::string set_password;
  std::string remove_user;
  cli.add_option("--set-password", set_password,
                 "Set the page password of user NAME in Config/users.ini (read from standard "
                 "input, or asked for on a terminal) and exit")
      ->option_text("NAME");
  cli.add_option("--remove-user", remove_user, "Remove user NAME from Config/users.ini and exit")
      ->option_text("NAME");
  bool init_api_token = false;
  cli.add_flag("--init-api-token", init_api_token,
               "Give Config/Tagvane.ini a random APIToken when it has none, make the file "
               "readable by its owner only, and exit (the package's install step runs this)");
  cli.set_version_flag("--version", std::string("tagvane ") + tagvane::kVersion);
  CLI11_PARSE(cli, argc, argv);

  const std::string exe = tagvane::ProgramPath(argv[0]);
  if (app_dir.empty()) app_dir = std::filesystem::path(exe).parent_path().string();
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(app_dir, ec);
  if (!ec) app_dir = absolute.lexically_normal().string();
  if (!set_password.empty() || !remove_user.empty()) {
    // An interactive command: Ctrl-C at the password prompt must work.
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return ManageUser(app_dir, set_password, remove_user);
  }
  if (init_api_token) return InitApiToken(app_dir);

  if (!foreground) Daemonize();

  const std::string assets_note =
      tagvane::FillEmptyHtmlFolder(app_dir, tagvane::InstalledHtmlAssets(exe));

  tagvane::AppOptions options;
  options.app_dir = app_dir;
  options.exe_path = exe;
  options.foreground = foreground;
  tagvane::App app(options);
  const bool journal = StderrIsJournal();
  app.Log().SetEchoPriorities(journal);
  tagvane::InstallSubsystems(app);
  tagvane::WebUi* ui = tagvane::InstalledUi(app);

  // Signals only wake the loop; the shut-down and the re-reading of the
  // settings run on it. During start-up a signal ends start-up at its next
  // step instead.
  tagvane::ServiceSignals signals(app, ui);
  // A signal held back so far is delivered now, to the loop's handler; the
  // programs the daemon starts later inherit the usual mask.
  sigprocmask(SIG_SETMASK, &previous, nullptr);

  app.Start();
  if (!app.StartupCancelled()) {
    if (!assets_note.empty()) app.Log().LogEvent(tagvane::kProductSource, assets_note);
    if (foreground) {
      std::cerr << (journal ? "<6>" : "") << "tagvane " << tagvane::kVersion
                << " ready, application folder " << app_dir << std::endl;
    }
    if (ui) ui->Service().Ready();
    app.Loop().Run();
  }
  if (ui) ui->Service().Stopping();
  app.Shutdown();
  if (!app.SavedAtShutdown()) {
    // A service manager and a user must see that changes were lost.
    std::cerr << "tagvane: the shut-down could not save every change to "
              << app.ConfigDir().string() << " (see the event log)" << std::endl;
    return 1;
  }
  return 0;
}
