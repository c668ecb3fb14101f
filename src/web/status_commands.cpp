// What a posted status page changes: display options, the setup fields,
// the tag records, the message filters, and the sort order. Only what the
// posted page offered is changed; a check box that its row did not offer
// keeps its value.
#include "core/app.h"
#include "core/failure.h"
#include "core/numbers.h"
#include "core/settings.h"
#include "core/text.h"
#include "receiver/device_table.h"
#include "receiver/rfid_device.h"
#include "scripting/device_class.h"
#include "web/request.h"
#include "web/status_page.h"

namespace tagvane {
namespace {

constexpr std::string_view kLabel = "Status ClientRequest ";

std::string TrueFalse(bool v) { return v ? "True" : "False"; }

}  // namespace

std::string StatusPages::FormValue(std::string_view name) const {
  return request_ ? request_->Form(name) : std::string();
}

bool StatusPages::Posted(std::string_view name) const {
  return request_ && request_->FormCol().Contains(name);
}

void StatusPages::Save(std::string_view key, std::string_view value) {
  app_.Ini().SaveIniSetting("RFID", key, value, kSettingsFile);
}

bool StatusPages::ClientRequest() {
  bool draw = true;
  Guard(app_.Log(), kLabel, [&] {
    if (!FormValue("UpdateButton").empty()) {
      SaveDisplayOptions();
      if (setup_shown_) SaveSetupFields();
      SaveTagRecords();
      if (messages_shown_) Guard(app_.Log(), kLabel, [&] { SaveFilterSettigs(); });
      Guard(app_.Log(), kLabel, [&] { BuildTagDictionary(app_); });
      app_.Ini().FlushIniCache();
    } else if (!FormValue("script").empty()) {
      app_.GetHooks().InitScriptControl();
      draw = false;
    } else if (!FormValue("query").empty()) {
      app_.GetHooks().BSCQuery(">:>");
    } else {
      SaveSort();
    }
  });
  return draw;
}

void StatusPages::SaveDisplayOptions() {
  Settings& settings = app_.GetSettings();
  const std::pair<std::string_view, bool*> options[] = {
      {"ShowSetup", &settings.ShowSetup},
      {"ShowOnlyUsed", &settings.ShowOnlyUsed},
      {"HideRemoved", &settings.HideRemoved},
      {"HideParameters", &settings.HideParameters},
      {"ShowReceiveDetail", &settings.ShowReceiveDetail},
      {"ShowReceiveMessages", &settings.ShowReceiveMessages}};
  for (const auto& [key, field] : options) {
    Guard(app_.Log(), kLabel, [&] {
      *field = !FormValue(key).empty();
      Save(key, TrueFalse(*field));
    });
  }
}

void StatusPages::SaveSetupFields() {
  Settings& settings = app_.GetSettings();
  auto step = [&](auto&& fn) { Guard(app_.Log(), kLabel, fn); };
  step([&] {
    settings.DebugLog = !FormValue("debuglog").empty();
    Save("DebugLog", TrueFalse(settings.DebugLog));
  });
  step([&] { Save("ServerPort", FormValue("ServerPort")); });
  step([&] {
    settings.Background = FormValue("Background");
    Save("Background", settings.Background);
  });
  step([&] {
    settings.StyleSheet = FormValue("StyleSheet");
    Save("StyleSheet", settings.StyleSheet);
  });
  step([&] {
    settings.SerialIP = FormValue("SerialIP");
    Save("SerialIP", settings.SerialIP);
  });
  step([&] {
    settings.ignorestatus = !FormValue("ignorestatus").empty();
    Save("ignorestatus", TrueFalse(settings.ignorestatus));
  });
  step([&] {
    settings.receiverlocation = FormValue("ReceiverLocation");
    Save("ReceiverLocation", settings.receiverlocation);
    app_.State().ReceiverCode =
        std::string(Right(std::string(kCodeFill) + settings.receiverlocation, kCodeFieldWidth));
  });
  step([&] {
    const std::string port = FormValue("RFIDPort");
    // A device path is kept as typed; only a port number is reduced.
    settings.RFIDPort = port.starts_with("/") ? port : DoubleText(LeadingNumber(port));
    Save("RFIDPort", settings.RFIDPort);
  });
  step([&] {
    settings.UseSQL = ToInt16(LeadingNumber(FormValue("usesql")));
    Save("usesql", std::to_string(settings.UseSQL));
    ApplyUseSQL(settings);
  });
  step([&] {
    settings.SQLSource = FormValue("sqlsource");
    Save("sqlsource", "\"" + settings.SQLSource + "\"");
    ApplyUseSQL(settings);
  });
  step([&] {
    settings.UserFormat = FormValue("userformat");
    Save("userformat", "\"" + settings.UserFormat + "\"");
  });
  step([&] {
    settings.PeriodicScriptInterval = FormValue("PeriodicScriptInterval");
    Save("PeriodicScriptInterval", settings.PeriodicScriptInterval);
  });
  step([&] {
    const std::string v = FormValue("usestrength");
    if (!IsNumeric(v)) return;
    settings.usestrength = ToInt16(LeadingNumber(v));
    Save("usestrength", std::to_string(settings.usestrength));
  });
  step([&] {
    const std::string v = FormValue("fomDelta");
    Save("FOMdelta", v);
    settings.fomdelta = IsNumeric(v) ? ToInt16(LeadingNumber(v)) : 200;
  });
  step([&] {
    const std::string uid = FormValue("xapUID");
    app_.Outbox().SetSetupUID(uid);
    Save("UID", uid);
  });
  step([&] { app_.ArmPeriodicTimer(); });
  step([&] { app_.Receiver().InitRFID(); });
}

void StatusPages::SaveTagRecords() {
  auto weight = [](const std::string& text) -> float {
    return IsNumeric(text) ? static_cast<float>(LeadingNumber(text)) : 1.0f;
  };
  for (const StatusRow& row : rows_) {
    Guard(app_.Log(), kLabel, [&] {
      if (!row.drawn) return;
      const DevicePtr* found = app_.Tables().DeviceTable.Find(row.DC);
      if (!found || !*found) return;
      RFIDDevice& device = **found;
      const std::string before = device.Properties();
      const std::string& u = row.UIDIndex;
      if (row.offered_params && Posted("Tag" + u)) {
        device.SetTag(ReplaceAll(FormValue("Tag" + u), " ", "_"));
      }
      device.SetRemove(!FormValue("Remove" + u).empty());
      if (row.offered_params) device.SetEventNotification(!FormValue("Ev" + u).empty());
      if (row.offered_accept) {
        const bool was_in_use = device.InUse();
        device.SetInUse(!FormValue("Accept" + u).empty());
        // An accepted tag's readings are stored from now on: its table first.
        if (device.InUse() && !was_in_use) app_.GetHooks().UpdateReadingTables();
        if (Posted("Location" + u)) device.SetLocation(FormValue("Location" + u));
      }
      if (row.offered_weights) {
        if (Posted("OffWeight" + u)) device.SetOffWeight(weight(FormValue("OffWeight" + u)));
        if (Posted("OnWeight" + u)) device.SetOnWeight(weight(FormValue("OnWeight" + u)));
      }
      if (row.offered_params && Posted("X10DC" + u)) device.SetX10DC(FormValue("X10DC" + u));
      SetupDelayTimer(app_, *found);
      if (device.InUse() && device.uID().empty()) device.SetuID(GetNextUID(app_.Tables()));
      if (!device.Tag().empty() && !app_.Tables().ScriptDeviceTable.Contains(device.Tag())) {
        auto record = std::make_shared<DeviceClass>();
        record->Tag = device.Tag();
        record->Link = *found;
        app_.Tables().ScriptDeviceTable.Add(device.Tag(), record);
      }
      // Written at once, so an edit survives a crash before shut-down.
      const std::string after = device.Properties();
      if (after != before) {
        app_.Ini().SaveIniSetting("RFIDUnits", device.DC(), after, kSettingsFile);
      }
    });
  }
}

void StatusPages::SaveFilterSettigs() {
  Guard(app_.Log(), "SaveFilterSettigs", [&] {
    SharedTables& tables = app_.Tables();
    const size_t n = tables.FilterTable.size();
    app_.Ini().ClearINISection("Received", kSettingsFile);
    tables.FilterTable.Clear();
    for (size_t i = 0; i <= n; ++i) {
      const std::string num = std::to_string(i);
      const std::string source = FormValue("Source" + num);
      const std::string cls = FormValue("Class" + num);
      const std::string tag = ReplaceAll(FormValue("FilterTag" + num), " ", "_");
      const std::string event = FormValue("FilterEvent" + num);
      const std::string key = source + "~" + cls;
      if (key == "~") continue;
      if (!tables.FilterTable.Contains(key)) {
        tables.FilterTable.Add(key, tag + ";" + event);
        app_.Ini().SaveIniSetting("Received", key, tag + ";" + event, kSettingsFile);
      }
      if (!tables.ScriptDeviceTable.Contains(tag)) {
        auto record = std::make_shared<DeviceClass>();
        record->LastChange = MakeDateTime(2000, 1, 1);
        record->Tag = tag;
        tables.ScriptDeviceTable.Add(tag, record);
      }
    }
  });
}

void StatusPages::SaveSort() {
  std::string key;
  if (!FormValue("ID").empty()) {
    key = "DCSort";
  } else {
    for (std::string_view name :
         {"P", "ID", "A", "R", "UID", "Tag", "X10DC", "Ev", "Location", "Used", "Changed"}) {
      key += FormValue(name);
    }
  }
  if (!key.empty()) {
    std::string direction =
        RemoveQuotes(app_.Ini().GetIniSetting("RFID", "StatusSortDirection", "", kSettingsFile));
    if (key != last_sort_key_) {
      last_sort_key_ = key;
      direction.clear();
    } else {
      direction = direction.empty() ? "DESC" : "";
    }
    Save("StatusSortKey", "\"" + key + "\"");
    Save("StatusSortDirection", "\"" + direction + "\"");
  }
  app_.Ini().FlushIniCache();
}

}  // namespace tagvane
