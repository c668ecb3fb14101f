// The global settings of section "RFID" of Tagvane.ini, the lookup names and
// defaults of the settings window, and the conversions SetIniValue applies.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tagvane {

class IniCache;

struct Settings {
  std::string RFIDPort;
  std::string SerialIP;
  bool DebugLog = false;
  std::string Background = "Black";
  std::string StyleSheet = "StyleNoBody.css";
  std::string UID = "FF.0063:00";
  bool ShowSetup = false;
  bool ShowOnlyUsed = false;
  bool HideRemoved = false;
  bool HideParameters = false;
  bool ShowReceiveMessages = false;
  bool ShowReceiveDetail = false;
  int16_t fomdelta = 200;
  std::string PeriodicScriptInterval;
  int16_t usestrength = 0;
  int16_t UseSQL = 0;
  std::string SQLSource;
  std::string UserFormat;
  bool ignorestatus = false;
  std::string receiverlocation;

  // Derived by the UseSQL/SQLSource conversions.
  std::string DatabaseConnection = "SQLite; Data Source=";
  std::string SqlDateDelimiter = "#";
};

inline constexpr size_t kSettingsCount = 21;
// SettingsKeyList and SettingsDefaults: what the settings page offers.
extern const std::array<std::string_view, kSettingsCount> SettingsKeyList;
extern const std::array<std::string_view, kSettingsCount> SettingsDefaults;

// False for an RFIDPort that names no receiver: empty (blanks only) or the
// number 0 (what the setup page writes for an empty port).
bool ReceiverPortConfigured(std::string_view port);

// "true" (after removing quotes, any case) or a non-zero leading number.
bool IsTrueText(std::string_view text);
// "AB1234" -> "AB.1234:00"; a text containing ":" is returned unchanged.
std::string NormalizeUID(std::string_view text);

// The periodic script timer as armed from PeriodicScriptInterval.
struct PeriodicSchedule {
  bool enabled = false;
  int interval_ms = 0;
  int minute_counter = 0;
};
// Arithmetic of arming: v = leading number; r = round(v) mod 60; m = whole
// minutes. A negative interval, or one beyond 32-bit seconds, is refused
// (timer disabled).
PeriodicSchedule ComputePeriodicSchedule(std::string_view text);
// False for a text that is not numeric, negative or beyond 32-bit seconds.
bool PeriodicIntervalUsable(std::string_view text);

// Sets the database connection text and date delimiter for UseSQL/SQLSource.
void ApplyUseSQL(Settings& settings);

// Reads the setting of lookup name (any case) from section "RFID" of
// Tagvane.ini and converts it into settings. Returns true when the name is
// one of the table's (the caller re-arms the periodic timer after
// "periodicscriptinterval"). Conversion failures (a 16-bit overflow) throw;
// the field keeps its previous value.
bool SetIniValue(Settings& settings, IniCache& ini, std::string_view name);
// The value in force of lookup name as text ("true"/"false" for flags, a
// number as decimal text); nullopt for a name without a setting (httpport).
std::optional<std::string> SettingText(const Settings& settings, std::string_view name);

}  // namespace tagvane
