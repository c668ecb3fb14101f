// End to end: the daemon fed by the receiver simulator stores the readings of
// the accepted tag in Data/Tagvane/qbxRFID.db, and the sqlite3 tool reads
// them while the daemon runs and after it stops.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>

#include "support/rig.h"
#include "support/test_support.h"

namespace tagvane::test {
namespace {

std::string Sqlite3(const std::filesystem::path& file, const std::string& sql) {
  const std::string command = "sqlite3 '" + file.string() + "' \"" + sql + "\" 2>&1";
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

TEST(ReadingDatabaseEndToEnd, Sqlite3ShowsTheReadingsOfTheAcceptedTag) {
  TempDir dir;
  ReceiverSim sim(dir.Path(), {"--tag", "1A2B:87", "--tag", "3C4D:60", "--interval", "50"});
  ASSERT_FALSE(sim.Port().empty());
  auto owned = StartDaemon(dir / "app",
                           "[RFID]\r\nSerialIP=127.0.0.1\r\nRFIDPort=" + sim.Port() +
                               "\r\nUseSQL=1\r\nHTTPPort=0\r\n[RFIDUnits]\r\n"
                               "____________1A2B=____________1A2B~3~Keys~False~~Hall~01~False~"
                               "False~False~10~~Switch~True~1~1~50~50~0~0\r\n");
  ChildProcess& daemon = *owned;
  const auto file = dir / "app/Data/Tagvane/qbxRFID.db";
  // Readable beside the running daemon (WAL).
  ASSERT_TRUE(daemon.WaitUntil([&] {
    return std::filesystem::exists(file) &&
           std::atoi(Sqlite3(file, "SELECT count(*) FROM tbl1A2B").c_str()) >= 10;
  })) << daemon.Output();
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.Wait(), 0);
  const std::string tables = Sqlite3(file, "SELECT name FROM sqlite_master ORDER BY name");
  EXPECT_NE(tables.find("tbl1A2B"), std::string::npos) << tables;
  EXPECT_EQ(tables.find("tbl3C4D"), std::string::npos) << tables;
  const std::string first = Sqlite3(file, "SELECT ID, length(SampleDate), Strength BETWEEN 84 "
                                          "AND 90 FROM tbl1A2B ORDER BY ID LIMIT 1");
  EXPECT_EQ(first, "1|19|1\n");
  EXPECT_NE(daemon.Output().find("Creating database table for Sensor tbl1A2B in "),
            std::string::npos);
}

}  // namespace
}  // namespace tagvane::test
