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

PeriodicSchedule ComputePeriodicSchedule(std::string_view text) {
  PeriodicSchedule s;
  const double v = LeadingNumber(text);
  if (!IsNumeric(text) || v < 0) return s;  // empty or negative: periodic scripts off
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

bool SetIniValue(Settings& s, IniCache& ini, std::string_view name) {
  const std::string key = ToLower(name);
  auto raw = [&](std::string_view file_key, std::string_view def) {
    return ini.GetIniSetting("RFID", file_key, def, kSettingsFile);
  };
  auto text = [&](std::string_view file_key, std::string_view def) {
    return RemoveQuotes(raw(file_key, def));
  };
  auto boolean = [&](std::string_view file_key, std::string_view def) {
    return IsTrueText(raw(file_key, def));
  };

  if (key == "rfidport") {
    s.RFIDPort = text("RFIDPort", "");
  } else if (key == "serialip") {
    s.SerialIP = text("SerialIP", "");
  } else if (key == "debuglog") {
    s.DebugLog = boolean("DebugLog", "False");
  } else if (key == "background") {
    s.Background = raw("Background", "Black");
  } else if (key == "stylesheet") {
    s.StyleSheet = text("StyleSheet", "StyleNoBody.css");
  } else if (key == "uid") {
    s.UID = NormalizeUID(text("UID", "FF.0063:00"));
  } else if (key == "showsetup") {
    s.ShowSetup = boolean("ShowSetup", "false");
  } else if (key == "showonlyused") {
    s.ShowOnlyUsed = boolean("ShowOnlyUsed", "false");
  } else if (key == "hideremoved") {
    s.HideRemoved = boolean("HideRemoved", "false");
  } else if (key == "hideparameters") {
    s.HideParameters = boolean("HideParameters", "false");
  } else if (key == "showreceivemessages") {
    s.ShowReceiveMessages = boolean("ShowReceiveMessages", "false");
  } else if (key == "showreceivedetail") {
    s.ShowReceiveDetail = boolean("ShowReceiveDetail", "false");
  } else if (key == "fomdelta") {
    const std::string v = raw("fomdelta", "");
    s.fomdelta = IsNumeric(v) ? ToInt16(LeadingNumber(v)) : 200;
  } else if (key == "periodicscriptinterval") {
    s.PeriodicScriptInterval = raw("PeriodicScriptInterval", "");
  } else if (key == "usestrength") {
    s.usestrength = ToInt16(LeadingNumber(raw("usestrength", "0")));
  } else if (key == "usesql") {
    s.UseSQL = ToInt16(LeadingNumber(raw("UseSQL", "0")));
    ApplyUseSQL(s);
  } else if (key == "sqlsource") {
    s.SQLSource = text("SQLSource", "");
    if (s.UseSQL == 2) ApplyUseSQL(s);
  } else if (key == "userformat") {
    s.UserFormat = text("UserFormat", "");
  } else if (key == "ignorestatus") {
    s.ignorestatus = boolean("ignorestatus", "false");
  } else if (key == "receiverlocation") {
    s.receiverlocation = text("ReceiverLocation", "");
  } else {
    return false;
  }
  return true;
}

}  // namespace tagvane
