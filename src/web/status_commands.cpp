// What a posted status page changes: display options, the setup fields,
// the tag records, the message filters, and the sort order. What changes is
// decided from the posted form alone, never from the page last drawn for
// someone else: the setup and filter sections post a marker field, a tag
// row posts its Tag field, and a value the post did not carry is kept.
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
      if (Posted("SetupSection")) SaveSetupFields();
      SaveTagRecords();
      if (Posted("FilterSection")) Guard(app_.Log(), kLabel, [&] { SaveFilterSettigs(); });
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
    Guard(app_.Log(), kLabel, [&, &key = key, &field = field] {
      *field = !FormValue(key).empty();
      Save(key, TrueFalse(*field));
    });
  }
}

void StatusPages::SaveSetupFields() {
  Settings& settings = app_.GetSettings();
  auto step = [&](auto&& fn) { Guard(app_.Log(), kLabel, fn); };
  const std::string old_port = settings.RFIDPort;
  const std::string old_ip = settings.SerialIP;
  // A text field the post did not carry keeps its setting; a check box is
  // absent when cleared, and the section's marker says it was offered.
  auto text = [&](std::string_view name, auto&& fn) {
    if (Posted(name)) step(fn);
  };
  step([&] {
    settings.DebugLog = !FormValue("debuglog").empty();
    Save("DebugLog", TrueFalse(settings.DebugLog));
  });
  text("ServerPort", [&] { Save("ServerPort", FormValue("ServerPort")); });
  text("Background", [&] {
    settings.Background = FormValue("Background");
    Save("Background", settings.Background);
  });
  text("StyleSheet", [&] {
    settings.StyleSheet = FormValue("StyleSheet");
    Save("StyleSheet", settings.StyleSheet);
  });
  text("SerialIP", [&] {
    settings.SerialIP = FormValue("SerialIP");
    Save("SerialIP", settings.SerialIP);
  });
  step([&] {
    settings.ignorestatus = !FormValue("ignorestatus").empty();
    Save("ignorestatus", TrueFalse(settings.ignorestatus));
  });
  text("ReceiverLocation", [&] {
    settings.receiverlocation = FormValue("ReceiverLocation");
    Save("ReceiverLocation", settings.receiverlocation);
    app_.State().ReceiverCode =
        std::string(Right(std::string(kCodeFill) + settings.receiverlocation, kCodeFieldWidth));
  });
  text("RFIDPort", [&] {
    const std::string port = FormValue("RFIDPort");
    // A device path is kept as typed; only a port number is reduced.
    settings.RFIDPort = port.starts_with("/") ? port : DoubleText(LeadingNumber(port));
    Save("RFIDPort", settings.RFIDPort);
  });
  text("usesql", [&] {
    settings.UseSQL = ToInt16(LeadingNumber(FormValue("usesql")));
    Save("usesql", std::to_string(settings.UseSQL));
    ApplyUseSQL(settings);
  });
  text("sqlsource", [&] {
    settings.SQLSource = FormValue("sqlsource");
    Save("sqlsource", "\"" + settings.SQLSource + "\"");
    ApplyUseSQL(settings);
  });
  text("userformat", [&] {
    settings.UserFormat = FormValue("userformat");
    Save("userformat", "\"" + settings.UserFormat + "\"");
  });
  text("PeriodicScriptInterval", [&] {
    settings.PeriodicScriptInterval = FormValue("PeriodicScriptInterval");
    Save("PeriodicScriptInterval", settings.PeriodicScriptInterval);
  });
  text("usestrength", [&] {
    const std::string v = FormValue("usestrength");
    if (!IsNumeric(v)) return;
    settings.usestrength = ToInt16(LeadingNumber(v));
    Save("usestrength", std::to_string(settings.usestrength));
  });
  text("fomDelta", [&] {
    const std::string v = FormValue("fomDelta");
    Save("FOMdelta", v);
    settings.fomdelta = IsNumeric(v) ? ToInt16(LeadingNumber(v)) : 200;
  });
  text("xapUID", [&] {
    const std::string uid = FormValue("xapUID");
    app_.Outbox().SetSetupUID(uid);
    Save("UID", uid);
  });
  step([&] { app_.ArmPeriodicTimer(); });
  // A new port or bridge address takes effect at once, without waiting
  // for the connection; otherwise a configured link that is closed opens.
  step([&] {
    if (settings.RFIDPort != old_port || settings.SerialIP != old_ip) {
      app_.Receiver().ReopenCommPort();
    } else {
      app_.Receiver().InitRFID();
    }
  });
}

void StatusPages::SaveTagRecords() {
  auto weight = [](const std::string& text) -> float {
    return IsNumeric(text) ? static_cast<float>(LeadingNumber(text)) : 1.0f;
  };
  for (const StatusRow& row : rows_) {
    Guard(app_.Log(), kLabel, [&] {
      // A row the posted page drew always posts its Tag field.
      if (!Posted("Tag" + row.UIDIndex)) return;
      const DevicePtr* found = app_.Tables().DeviceTable.Find(row.DC);
      if (!found || !*found) return;
      RFIDDevice& device = **found;
      const std::string before = device.Properties();
      const std::string& u = row.UIDIndex;
      const std::string receiver = row.DC.size() >= 12 ? row.DC.substr(6, 6) : "";
      device.SetTag(ReplaceAll(FormValue("Tag" + u), " ", "_"));
      device.SetRemove(!FormValue("Remove" + u).empty());
      device.SetEventNotification(!FormValue("Ev" + u).empty());
      // Only this receiver's tags offer the Accept box.
      if (EqualsNoCase(receiver, app_.State().ReceiverCode)) {
        const bool was_in_use = device.InUse();
        device.SetInUse(!FormValue("Accept" + u).empty());
        // An accepted tag's readings are stored from now on: its table first.
        if (device.InUse() && !was_in_use) app_.GetHooks().UpdateReadingTables();
      }
      if (Posted("Location" + u)) device.SetLocation(FormValue("Location" + u));
      if (Posted("OffWeight" + u)) device.SetOffWeight(weight(FormValue("OffWeight" + u)));
      if (Posted("OnWeight" + u)) device.SetOnWeight(weight(FormValue("OnWeight" + u)));
      if (Posted("X10DC" + u)) device.SetX10DC(FormValue("X10DC" + u));
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
    // Row 0 is the new-filter row; rows 1 to n each name the filter they
    // were drawn from. A filter no posted row names (added meanwhile, or
    // posted from an older page) is kept as it is.
    std::vector<std::pair<std::string, std::string>> rows;
    CaseInsensitiveMap<bool> replaced;
    for (size_t i = 0; i == 0 || Posted("Source" + std::to_string(i)); ++i) {
      const std::string num = std::to_string(i);
      if (i > 0) replaced.Add(FormValue("FilterKey" + num), true);
      const std::string key = FormValue("Source" + num) + "~" + FormValue("Class" + num);
      const std::string tag = ReplaceAll(FormValue("FilterTag" + num), " ", "_");
      // A row whose source and class are both blanked deletes its filter.
      if (key != "~") rows.emplace_back(key, tag + ";" + FormValue("FilterEvent" + num));
    }
    for (const auto& [key, value] : tables.FilterTable) {
      if (!replaced.Contains(key)) rows.emplace_back(key, value);
    }
    app_.Ini().ClearINISection("Received", kSettingsFile);
    tables.FilterTable.Clear();
    for (const auto& [key, value] : rows) {
      // Of two filters with the same key the first one wins.
      if (tables.FilterTable.Contains(key)) continue;
      tables.FilterTable.Add(key, value);
      app_.Ini().SaveIniSetting("Received", key, value, kSettingsFile);
      const std::string tag = value.substr(0, value.find(';'));
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
