#include <gtest/gtest.h>

#include "core/ini_cache.h"
#include "core/logger.h"
#include "core/numbers.h"
#include "core/settings.h"
#include "support/test_support.h"

namespace tagvane {
namespace {

class SettingsFixture : public ::testing::Test {
 protected:
  SettingsFixture() : log_(clock_, debug_), ini_(dir_.Path() / "Config", log_) {}
  // Writes section "RFID" of Tagvane.ini with one key and reads it back.
  Settings Read(const std::string& key, const std::string& value, const std::string& name) {
    test::WriteFile(dir_.Path() / "Config" / "Tagvane.ini", "[RFID]\r\n" + key + "=" + value + "\r\n");
    Settings s;
    SetIniValue(s, ini_, name);
    return s;
  }

  test::TempDir dir_;
  ManualClock clock_;
  bool debug_ = false;
  Logger log_;
  IniCache ini_;
};

TEST_F(SettingsFixture, FomdeltaRoundsHalvesToEvenAndFallsBackTo200) {
  EXPECT_EQ(Read("fomdelta", "13.5", "FomDelta").fomdelta, 14);
  EXPECT_EQ(Read("FOMDELTA", "abc", "fomdelta").fomdelta, 200);
  EXPECT_EQ(Read("other", "1", "fomdelta").fomdelta, 200);
  // A number outside 16 bits, or outside what a double holds, is no usable
  // number either.
  EXPECT_EQ(Read("fomdelta", "99999", "fomdelta").fomdelta, 200);
  EXPECT_EQ(Read("fomdelta", "1e400", "fomdelta").fomdelta, 200);
}

TEST_F(SettingsFixture, BooleansAcceptTrueAndNonZeroNumbers) {
  EXPECT_TRUE(Read("DebugLog", "TRUE", "debuglog").DebugLog);
  EXPECT_TRUE(Read("DebugLog", "\"true\"", "debuglog").DebugLog);
  EXPECT_FALSE(Read("DebugLog", "yes", "debuglog").DebugLog);
  EXPECT_FALSE(Read("DebugLog", "0", "debuglog").DebugLog);
  EXPECT_TRUE(Read("ignorestatus", "5", "IgnoreStatus").ignorestatus);
}

TEST_F(SettingsFixture, TextsRawTextsAndUid) {
  EXPECT_EQ(Read("SerialIP", "\"127.0.0.1\"", "serialip").SerialIP, "127.0.0.1");
  EXPECT_EQ(Read("Background", "\"red\"", "background").Background, "\"red\"");
  EXPECT_EQ(Read("UID", "AB1234", "uid").UID, "AB.1234:00");
  EXPECT_EQ(Read("UID", "AB.1234:00", "uid").UID, "AB.1234:00");
  EXPECT_EQ(Read("ReceiverLocation", "Hall", "receiverlocation").receiverlocation, "Hall");
  EXPECT_EQ(Read("usestrength", "3x", "usestrength").usestrength, 3);
  EXPECT_EQ(NormalizeUID("A"), "A.:00");
  Settings other;
  EXPECT_FALSE(SetIniValue(other, ini_, "httpport")) << "not a name of the table";
}

TEST_F(SettingsFixture, UseSqlSetsTheConnectionText) {
  Settings s = Read("UseSQL", "1", "usesql");
  EXPECT_EQ(s.UseSQL, 1);
  EXPECT_EQ(s.SqlDateDelimiter, "#");
  EXPECT_EQ(s.DatabaseConnection, "SQLite; Data Source=");
  test::WriteFile(dir_.Path() / "Config" / "Tagvane.ini",
                  "[RFID]\r\nUseSQL=2\r\nSQLSource=dbhost\r\n");
  SetIniValue(s, ini_, "usesql");
  EXPECT_EQ(s.SqlDateDelimiter, "'");
  EXPECT_EQ(s.DatabaseConnection,
            "Provider = sqloledb; Integrated Security=SSPI; Data Source =; Initial Catalog=");
  SetIniValue(s, ini_, "sqlsource");
  EXPECT_EQ(s.DatabaseConnection,
            "Provider = sqloledb; Integrated Security=SSPI; Data Source =dbhost; Initial Catalog=");
}

TEST(Settings, PeriodicScheduleArithmetic) {
  for (const auto& [text, interval_ms, minute_counter] :
       {std::tuple{"90", 30000, 1}, {"120", 60000, 1}, {"2", 2000, 0}}) {
    const auto s = ComputePeriodicSchedule(text);
    EXPECT_TRUE(s.enabled) << text;
    EXPECT_EQ(s.interval_ms, interval_ms) << text;
    EXPECT_EQ(s.minute_counter, minute_counter) << text;
  }
  EXPECT_FALSE(ComputePeriodicSchedule("").enabled);
  EXPECT_FALSE(ComputePeriodicSchedule("soon").enabled);
  // Negative or out-of-range intervals are refused rather than armed.
  EXPECT_FALSE(ComputePeriodicSchedule("-30").enabled);
  EXPECT_FALSE(ComputePeriodicSchedule("1e30").enabled);
  EXPECT_TRUE(ComputePeriodicSchedule("2147483647").enabled);
}

}  // namespace
}  // namespace tagvane
