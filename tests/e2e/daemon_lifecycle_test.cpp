// The real daemon, started on a temporary application folder.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "support/rig.h"
#include "support/test_support.h"

namespace tagvane {
namespace {

using test::ChildProcess;
using test::ReadFile;
using test::WriteFile;

std::vector<std::string> Args(const test::TempDir& dir) {
  // Loopback only: the daemon's xAP broadcasts never leave the machine.
  if (!std::filesystem::exists(dir / "Config/qbxXap.ini")) {
    WriteFile(dir / "Config/qbxXap.ini", test::kLoopbackXapIni);
  }
  return {"--foreground", "--app-dir", dir.Path().string()};
}

TEST(DaemonLifecycle, CreatesItsFoldersAndSavesOnSigterm) {
  test::TempDir dir;
  ChildProcess daemon(test::BuiltProgram("tagvane"), Args(dir));
  ASSERT_TRUE(daemon.WaitForOutput(test::kDaemonReady)) << daemon.Output();
  EXPECT_TRUE(std::filesystem::is_directory(dir / "Config"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "Data"));
  EXPECT_TRUE(std::filesystem::exists(dir / "Config/Tagvane.ini"));
  EXPECT_TRUE(std::filesystem::exists(dir / "Config/qbxXap.ini"));
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.Wait(), 0) << daemon.Output();
}

TEST(DaemonLifecycle, ShutdownRewritesTheSettingsFileWhole) {
  test::TempDir dir;
  const std::string original =
      "; my settings\r\n[RFID]\r\nDebugLog=true\r\n[Devices]\r\nLamp=01/02/2026 10:00:00;on\r\n"
      "[Device Messages]\r\nlamp.on=hello\r\n[RFIDUnits]\r\n______RFID01=x\r\n";
  WriteFile(dir / "Config/Tagvane.ini", original);
  ChildProcess daemon(test::BuiltProgram("tagvane"), Args(dir));
  ASSERT_TRUE(daemon.WaitForOutput(test::kDaemonReady)) << daemon.Output();
  daemon.Signal(SIGINT);
  daemon.Signal(SIGTERM);  // a second signal during shut-down changes nothing
  EXPECT_EQ(daemon.Wait(), 0) << daemon.Output();
  const std::string saved = ReadFile(dir / "Config/Tagvane.ini");
  EXPECT_NE(saved.find("[DEVICES]\r\nLamp=01/02/2026 10:00:00;on\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("[DEVICE MESSAGES]\r\nLamp.on=hello\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("[RFID]\r\nDebugLog=true\r\n"), std::string::npos) << saved;
  EXPECT_EQ(saved.find("; my settings"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "Config/Tagvane.ini.tmp"));
  EXPECT_EQ(ReadFile(dir / "Config/Tagvane.ini_bck"), original);
}

// Whether the process holds back or catches SIGTERM.
bool HoldsSigterm(int pid) {
  const std::string text = ReadFile("/proc/" + std::to_string(pid) + "/status");
  for (const char* field : {"SigBlk:", "SigCgt:"}) {
    const size_t at = text.find(field);
    if (at != std::string::npos &&
        (std::stoull(text.substr(at + 7, 17), nullptr, 16) & (1ull << (SIGTERM - 1)))) {
      return true;
    }
  }
  return false;
}

// The tagvane command holds the stop signals back from its first
// instruction: a SIGTERM in the first milliseconds after exec ends start-up
// in order and exits 0, never by the default action. On a busy machine the
// new program may not have run at all by then; such a try says nothing and
// is made again (the daemon started directly holds them only after about
// 5 ms, so it never passes at 1 ms).
TEST(DaemonLifecycle, SigtermInTheFirstMillisecondsAfterExecExitsZero) {
  const auto self = std::filesystem::read_symlink("/proc/self/exe");
  for (int delay_ms : {1, 5, 30}) {
    int tries = 0;
    for (bool told = false; !told; ++tries) {
      ASSERT_LT(tries, 20) << delay_ms << " ms: SIGTERM never held in time";
      test::TempDir dir;
      ChildProcess daemon(test::BuiltProgram("tagvane"), Args(dir));
      const std::string exe = "/proc/" + std::to_string(daemon.Pid()) + "/exe";
      // Watched closely (WaitUntil looks every 20 ms): exec is done once
      // the process runs another program than this one.
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      for (std::error_code ec; std::filesystem::read_symlink(exe, ec) == self || ec;) {
        ASSERT_LT(std::chrono::steady_clock::now(), end);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      told = HoldsSigterm(daemon.Pid());
      daemon.Signal(SIGTERM);
      const int status = daemon.Wait();
      if (told) {
        EXPECT_EQ(status, 0) << delay_ms << " ms: " << daemon.Output();
      }
    }
  }
}

TEST(DaemonLifecycle, TheCommandWithoutItsDaemonSaysWhereItLooked) {
  test::TempDir dir;
  std::filesystem::copy_file(test::BuiltProgram("tagvane"), dir / "tagvane");
  ChildProcess lone((dir / "tagvane").string(), {"--version"});
  EXPECT_EQ(lone.Wait(), 127);
  EXPECT_NE(lone.Output().find("no lib/tagvane/tagvane beside or below " + dir.Path().string()),
            std::string::npos)
      << lone.Output();
}

TEST(DaemonLifecycle, HelpAndVersion) {
  ChildProcess help(test::BuiltProgram("tagvane"), {"--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.Output().find("--app-dir"), std::string::npos);
  EXPECT_NE(help.Output().find("--foreground"), std::string::npos);
  ChildProcess version(test::BuiltProgram("tagvane"), {"--version"});
  EXPECT_EQ(version.Wait(), 0);
  EXPECT_NE(version.Output().find("tagvane 0."), std::string::npos);
  ChildProcess bad(test::BuiltProgram("tagvane"), {"--no-such-option"});
  EXPECT_NE(bad.Wait(), 0);
}

}  // namespace
}  // namespace tagvane
