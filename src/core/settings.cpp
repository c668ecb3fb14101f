#include "core/settings.h"

#include <cmath>

#include "core/ini_cache.h"
#include "core/numbers.h"
#include "core/text.h"

namespace tagvane {

const std::array<std::string_view, kSettingsCount> SettingsKeyList = {
    "RFIDPort",    "serialip",     "httpport",          "debuglog",
    "background",  "styleSheet",   "uid",               "showsetup",
    "showonlyused", "showreceivemessages", "showreceivedetail", "periodicscriptinterval",
    "hideremoved", "receiverlocation", "hideparameters", "fomdelta",
    "usestrength", "usesql",       "sqlsource",         "userformat",
    "ignorestatus"};

const std::array<std::string_view, kSettingsCount> SettingsDefaults = {
    "",      "",      "8017",  "false", "black", "StyleNoBody.css", "FF.0063:00",
    "true",  "false", "false", "false", "2",     "false",           "",
    "false", "50",    "0",     "false", "",      "",                "false"};

bool ReceiverPortConfigured(std::string_view port) {
  if (TrimSpaces(port).empty()) return false;
  return !(IsNumeric(port) && LeadingNumber(port) == 0.0);
}

bool IsTrueText(std::string_view text) {
  const std::string t = ToLower(RemoveQuotes(text));
  if (t == "true") return true;
  return LeadingNumber(t) != 0.0;
}

std::string NormalizeUID(std::string_view text) {
  if (text.find(':') != std::string_view::npos) return std::string(text);
  const std::string_view head = text.substr(0, std::min<size_t>(2, text.size()));
  const std::string_view tail = text.size() > 2 ? text.substr(2, 4) : std::string_view();
  return std::string(head) + "." + std::string(tail) + ":00";
}

bool PeriodicIntervalUsable(std::string_view text) {
  if (!IsNumeric(text)) return false;
  const double v = LeadingNumber(text);
  return v >= 0 && RoundHalfEven(v) <= 2147483647.0;
}

PeriodicSchedule ComputePeriodicSchedule(std::string_view text) {
  PeriodicSchedule s;
  const double v = LeadingNumber(text);
  // Empty, negative or beyond 32-bit seconds: periodic scripts off.
  if (!PeriodicIntervalUsable(text)) return s;
  const double rounded = RoundHalfEven(v);
  const long long r = static_cast<long long>(rounded) % 60;
  s.minute_counter = static_cast<int>(std::trunc(v / 60.0));
  if (r != 0) {
    s.interval_ms = static_cast<int>(r * 1000);
  } else {
    s.minute_counter -= 1;
    s.interval_ms = 60000;
  }
  s.enabled = true;
  return s;
}

void ApplyUseSQL(Settings& settings) {
  if (settings.UseSQL != 2) {
    settings.SqlDateDelimiter = "#";
    settings.DatabaseConnection = "SQLite; Data Source=";
  } else {
    settings.SqlDateDelimiter = "'";
    settings.DatabaseConnection = "Provider = sqloledb; Integrated Security=SSPI; Data Source =" +
                                  settings.SQLSource + "; Initial Catalog=";
  }
}

namespace {

// One row of the settings table: the lookup name, the key in the file, the
// default when the key is absent, and how the value is stored.
struct SettingRule {
  std::string_view lookup;
  std::string_view key;
  std::string_view def;
  void (*apply)(Settings&, const std::string& raw);
  // The value in force as text, the way the setup page shows it.
  std::string (*text)(const Settings&);
};

std::string FlagText(bool b) { return b ? "true" : "false"; }

void SetText(std::string& field, const std::string& raw) { field = RemoveQuotes(raw); }

const SettingRule kRules[] = {
    {"rfidport", "RFIDPort", "", [](Settings& s, const std::string& v) { SetText(s.RFIDPort, v); },
     [](const Settings& s) { return s.RFIDPort; }},
    {"serialip", "SerialIP", "", [](Settings& s, const std::string& v) { SetText(s.SerialIP, v); },
     [](const Settings& s) { return s.SerialIP; }},
    {"debuglog", "DebugLog", "False",
     [](Settings& s, const std::string& v) { s.DebugLog = IsTrueText(v); },
     [](const Settings& s) { return FlagText(s.DebugLog); }},
    {"background", "Background", "Black",
     [](Settings& s, const std::string& v) { s.Background = v; },
     [](const Settings& s) { return s.Background; }},
    {"stylesheet", "StyleSheet", "StyleNoBody.css",
     [](Settings& s, const std::string& v) { SetText(s.StyleSheet, v); },
     [](const Settings& s) { return s.StyleSheet; }},
    {"uid", "UID", "FF.0063:00",
     [](Settings& s, const std::string& v) { s.UID = NormalizeUID(RemoveQuotes(v)); },
     [](const Settings& s) { return s.UID; }},
    {"showsetup", "ShowSetup", "false",
     [](Settings& s, const std::string& v) { s.ShowSetup = IsTrueText(v); },
     [](const Settings& s) { return FlagText(s.ShowSetup); }},
    {"showonlyused", "ShowOnlyUsed", "false",
     [](Settings& s, const std::string& v) { s.ShowOnlyUsed = IsTrueText(v); },
     [](const Settings& s) { return FlagText(s.ShowOnlyUsed); }},
    {"hideremoved", "HideRemoved", "false",
     [](Settings& s, const std::string& v) { s.HideRemoved = IsTrueText(v); },
     [](const Settings& s) { return FlagText(s.HideRemoved); }},
    {"hideparameters", "HideParameters", "false",
     [](Settings& s, const std::string& v) { s.HideParameters = IsTrueText(v); },
     [](const Settings& s) { return FlagText(s.HideParameters); }},
    {"showreceivemessages", "ShowReceiveMessages", "false",
     [](Settings& s, const std::string& v) { s.ShowReceiveMessages = IsTrueText(v); },
     [](const Settings& s) { return FlagText(s.ShowReceiveMessages); }},
    {"showreceivedetail", "ShowReceiveDetail", "false",
     [](Settings& s, const std::string& v) { s.ShowReceiveDetail = IsTrueText(v); },
     [](const Settings& s) { return FlagText(s.ShowReceiveDetail); }},
    {"fomdelta", "fomdelta", "",
     [](Settings& s, const std::string& v) {
       // A number outside 16 bits is no usable number either.
       s.fomdelta = Int16OrDefault(v, 200);
     },
     [](const Settings& s) { return std::to_string(s.fomdelta); }},
    {"periodicscriptinterval", "PeriodicScriptInterval", "",
     [](Settings& s, const std::string& v) { s.PeriodicScriptInterval = v; },
     [](const Settings& s) { return s.PeriodicScriptInterval; }},
    {"usestrength", "usestrength", "0",
     [](Settings& s, const std::string& v) { s.usestrength = ToInt16(LeadingNumber(v)); },
     [](const Settings& s) { return std::to_string(s.usestrength); }},
    {"usesql", "UseSQL", "0",
     [](Settings& s, const std::string& v) {
       s.UseSQL = ToInt16(LeadingNumber(v));
       ApplyUseSQL(s);
     },
     [](const Settings& s) { return std::to_string(s.UseSQL); }},
    {"sqlsource", "SQLSource", "",
     [](Settings& s, const std::string& v) {
       SetText(s.SQLSource, v);
       if (s.UseSQL == 2) ApplyUseSQL(s);
     },
     [](const Settings& s) { return s.SQLSource; }},
    {"userformat", "UserFormat", "",
     [](Settings& s, const std::string& v) { SetText(s.UserFormat, v); },
     [](const Settings& s) { return s.UserFormat; }},
    {"ignorestatus", "ignorestatus", "false",
     [](Settings& s, const std::string& v) { s.ignorestatus = IsTrueText(v); },
     [](const Settings& s) { return FlagText(s.ignorestatus); }},
    {"receiverlocation", "ReceiverLocation", "",
     [](Settings& s, const std::string& v) { SetText(s.receiverlocation, v); },
     [](const Settings& s) { return s.receiverlocation; }},
};

}  // namespace

std::optional<std::string> SettingText(const Settings& s, std::string_view name) {
  for (const SettingRule& rule : kRules) {
    if (EqualsNoCase(rule.lookup, name)) return rule.text(s);
  }
  return std::nullopt;
}

bool SetIniValue(Settings& s, IniCache& ini, std::string_view name) {
  for (const SettingRule& rule : kRules) {
    if (!EqualsNoCase(rule.lookup, name)) continue;
    rule.apply(s, ini.GetIniSetting("RFID", rule.key, rule.def, kSettingsFile));
    return true;
  }
  return false;
}

}  // namespace tagvane
