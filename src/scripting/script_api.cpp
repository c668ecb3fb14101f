#include "scripting/script_api.h"

#include <cctype>

#include "core/app.h"
#include "core/dates.h"
#include "core/failure.h"
#include "core/numbers.h"
#include "core/text.h"
#include "receiver/rfid_device.h"
#include "scripting/device_class.h"
#include "scripting/lua_args.h"
#include "scripting/script_host.h"

namespace tagvane {
namespace {

// A script value inside a body item must not split the item.
std::string BodyText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\0' && c != '\x01') out += c;
  }
  return out;
}

std::string Item(std::string_view key, std::string_view value) {
  return std::string(key) + '\x01' + BodyText(value);
}

}  // namespace

std::optional<int> TimeOfDaySeconds(std::string_view text) {
  std::string t(TrimSpaces(text));
  if (auto d = ParseDate(t); d && t.find_first_of("/-") != std::string::npos) {
    return static_cast<int>(SecondsSinceMidnight(*d));
  }
  int part[3] = {0, 0, 0};
  int parts = 0;
  size_t i = 0;
  while (parts < 3) {
    const size_t start = i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
    if (i == start || i - start > 2) return std::nullopt;
    part[parts++] = std::stoi(t.substr(start, i - start));
    if (i < t.size() && t[i] == ':') {
      ++i;
      continue;
    }
    break;
  }
  if (parts < 2) return std::nullopt;
  const std::string rest = ToLower(TrimSpaces(std::string_view(t).substr(i)));
  int hour = part[0];
  if (rest == "pm" || rest == "am") {
    if (hour < 1 || hour > 12) return std::nullopt;
    hour = hour % 12 + (rest == "pm" ? 12 : 0);
  } else if (!rest.empty()) {
    return std::nullopt;
  }
  if (hour > 23 || part[1] > 59 || part[2] > 59) return std::nullopt;
  return hour * 3600 + part[1] * 60 + part[2];
}

namespace {

// A datagram over the limit would vanish on the way out; the script hears
// of it instead.
void CheckSize(const char* member, size_t bytes, size_t limit, const char* what) {
  if (bytes <= limit) return;
  throw ScriptArgError(std::string(member) + ": " + std::to_string(bytes) +
                       " bytes is over the limit of " + std::to_string(limit) + " bytes for " +
                       what);
}

constexpr const char* kXapLimitText = "one xAP message";

}  // namespace

void ScriptApi::SendUDPMessage(std::string_view sData) {
  CheckSize("SendUDPMessage", sData.size(), kMaxDatagram, "one UDP datagram");
  host_.Network().send_raw(sData);
}

void ScriptApi::SendXapMessage(std::string_view sTarget, std::string_view sClass,
                               std::string_view sSection, std::string_view sData,
                               std::string_view sSubaddress, std::string_view sUIDIn,
                               std::string_view sTargetSubaddress) {
  CheckSize("SendXapMessage",
            sTarget.size() + sClass.size() + sSection.size() + sData.size() + sSubaddress.size() +
                sUIDIn.size() + sTargetSubaddress.size(),
            kMaxXapTexts, kXapLimitText);
  Guard(app_.Log(), "SendXapMessage", [&] {
    app_.Outbox().SendXap(sTarget, sClass, sSection, sData, sSubaddress, sUIDIn,
                          sTargetSubaddress);
  });
}

void ScriptApi::SelectXapMessage(std::string_view sTarget, std::string_view sClass,
                                 std::string_view sSection, std::string_view sSource,
                                 std::string_view sScriptIn) {
  Guard(app_.Log(), "ReceiveXapMessage", [&] {
    host_.Subscriptions().Select(std::string(sTarget), std::string(sClass),
                                 std::string(sSection), std::string(sSource),
                                 host_.SubscriptionPath(sScriptIn), std::string(sScriptIn));
  });
}

std::shared_ptr<XapMessage> ScriptApi::GetXapMessage(std::string_view sScriptHandle) {
  return host_.Subscriptions().Get(std::string(sScriptHandle));
}

void ScriptApi::DeSelectXapMessage(std::string_view sTarget, std::string_view sClass,
                                   std::string_view sSection, std::string_view sSource,
                                   std::string_view sScript) {
  Guard(app_.Log(), "RemoveXapMessage", [&] {
    host_.Subscriptions().DeSelect(std::string(sTarget), std::string(sClass),
                                   std::string(sSection), std::string(sSource),
                                   host_.SubscriptionPath(sScript));
  });
}

void ScriptApi::InitScriptControl() { host_.InitScriptControl(); }
void ScriptApi::ReadScript() { host_.ReadScript(); }

void ScriptApi::WriteLog(std::string_view c, std::string_view message) {
  std::string body = Item("Time", FormatGeneralDate(app_.GetClock().Now()));
  body += '\0';
  body += Item("Type", c);
  body += '\0';
  body += Item("Data", message);
  CheckSize("WriteLog", body.size(), kMaxXapTexts, kXapLimitText);
  app_.Outbox().SendXap("", "Homeseer.Event", "Event.Log", body, "", "", "");
  // An event-log entry like LogEvent's for those who follow the log.
  app_.Log().EntryListeners()(
      LogEntry{app_.GetClock().Now(), std::string(c), std::string(message)});
}

void ScriptApi::FlushIniCache() { app_.Ini().FlushIniCache(); }
void ScriptApi::ClearINISection(std::string_view Group, std::string_view sFile) {
  app_.Ini().ClearINISection(Group, sFile);
}
std::string ScriptApi::GetINISection(std::string_view Group, std::string_view sFile) {
  return app_.Ini().GetINISection(Group, sFile);
}
std::string ScriptApi::GetIniSetting(std::string_view Group, std::string_view KEY,
                                     std::string_view Default, std::string_view sFile) {
  return app_.Ini().GetIniSetting(Group, KEY, Default, sFile);
}
void ScriptApi::SaveIniSetting(std::string_view Group, std::string_view KEY,
                               std::string_view Value, std::string_view sFile) {
  app_.Ini().SaveIniSetting(Group, KEY, Value, sFile);
}

std::string ScriptApi::GetAppPath() const {
  const std::string& exe = app_.ExePath();
  if (exe.empty()) return app_.AppPath();
  return std::filesystem::path(exe).parent_path().string();
}

std::shared_ptr<SpawnedJob> ScriptApi::Spawn(std::string_view sScriptName,
                                             std::string_view sProcedure,
                                             std::string_view sScriptParm) {
  return host_.Spawn(sScriptName, sProcedure, sScriptParm);
}

void ScriptApi::Run(std::string_view sFilename) { host_.Run(sFilename); }
ScriptValue ScriptApi::RunEx(std::string_view sFilename, std::string_view sProcedure,
                             std::string_view sParameter) {
  return host_.RunEx(sFilename, sProcedure, sParameter);
}

std::optional<ScriptCollection> ScriptApi::TagList(std::string_view sTag) {
  const auto* record = app_.Tables().ScriptDeviceTable.Find(sTag);
  if (!record) return std::nullopt;
  ScriptCollection c;
  for (const auto& [key, text] : (*record)->MessageKeyList) c.Add(key, text);
  return c;
}

std::optional<ScriptCollection> ScriptApi::Request(std::string_view sTag) {
  if (const DevicePtr* tag = app_.Tables().TagTable.Find(sTag); tag && *tag) {
    ScriptCollection c;
    c.Add("value", (*tag)->DeviceStatus() == 2 ? "ON" : "OFF");
    c.Add("lastchange", FormatGeneralDate((*tag)->DeviceLastChange()));
    return c;
  }
  const auto* record = app_.Tables().ScriptDeviceTable.Find(sTag);
  if (!record) return std::nullopt;
  ScriptCollection c;
  for (const auto& [key, value] : (*record)->MessageList) c.Add(key, value);
  return c;
}

DateTime ScriptApi::LastChange(std::string_view sTag) {
  const auto* record = app_.Tables().ScriptDeviceTable.Find(sTag);
  if (!record) return app_.GetClock().Now();
  if ((*record)->Link) return (*record)->Link->DeviceLastChange();
  return (*record)->LastChange;
}

int32_t ScriptApi::Sequence(std::string_view sTag) {
  const auto* record = app_.Tables().ScriptDeviceTable.Find(sTag);
  return record ? (*record)->Sequence : -1;
}

std::string ScriptApi::Sunrise() const { return host_.Network().sunrise(); }
std::string ScriptApi::Sunset() const { return host_.Network().sunset(); }

void ScriptApi::X10(std::string_view sDevice, std::string_view sCommand,
                    std::string_view sBrightness) {
  std::string body = Item("device", sDevice);
  body += '\0';
  body += Item("command", sCommand);
  body += '\0';
  body += Item("count", sBrightness);
  CheckSize("X10", body.size(), kMaxXapTexts, kXapLimitText);
  app_.Outbox().SendXap("", "xap-x10.request", "xap-x10.request", body, "", "", "");
}

void ScriptApi::Response(std::string_view sTag, std::string_view) {
  app_.Log().LogEvent(kProductSource, "Tag " + std::string(sTag) + " no response function supported");
}

bool ScriptApi::NightTime(std::string_view iMinutesOffset) {
  const auto sunset = TimeOfDaySeconds(Sunset());
  const auto sunrise = TimeOfDaySeconds(Sunrise());
  if (!sunset || !sunrise) return false;
  const double offset = LeadingNumber(iMinutesOffset) * 60.0;
  const double now = SecondsSinceMidnight(app_.GetClock().Now());
  const double dusk = *sunset + offset;
  const double dawn = *sunrise - offset;
  return !(dawn < now && now < dusk);
}

RFIDDevice* ScriptApi::Device(std::string_view sDC) {
  DevicePtr* d = app_.Tables().DeviceTable.Find(sDC);
  return d ? d->get() : nullptr;
}

int32_t ScriptApi::DeviceValue(std::string_view sDC) {
  RFIDDevice* d = Device(sDC);
  return d ? d->Status() : 0;
}
void ScriptApi::SetDeviceValue(std::string_view sDC, int32_t iValue) {
  if (RFIDDevice* d = Device(sDC)) d->SetStatus(ToInt16(iValue));
}
std::string ScriptApi::DeviceString(std::string_view sDC) {
  RFIDDevice* d = Device(sDC);
  return d ? d->DeviceString() : std::string();
}
void ScriptApi::SetDeviceString(std::string_view sDC, std::string_view s) {
  if (RFIDDevice* d = Device(sDC)) d->SetDeviceString(std::string(s));
}
void ScriptApi::SetDeviceStatus(std::string_view sDC, int16_t iStatus) {
  if (RFIDDevice* d = Device(sDC)) d->SetDeviceStatus(iStatus);
}
bool ScriptApi::IsOn(std::string_view sDC) {
  RFIDDevice* d = Device(sDC);
  return d && d->DeviceStatus() == 2;
}
bool ScriptApi::IsOff(std::string_view sDC) {
  RFIDDevice* d = Device(sDC);
  return d && d->DeviceStatus() == 3;
}
int16_t ScriptApi::DeviceStatus(std::string_view sDC) {
  RFIDDevice* d = Device(sDC);
  return d ? d->DeviceStatus() : 17;
}
DateTime ScriptApi::DeviceLastChange(std::string_view sDC) {
  RFIDDevice* d = Device(sDC);
  return d ? d->DeviceLastChange() : app_.GetClock().Now();
}
void ScriptApi::SetDeviceLastChange(std::string_view sDC, DateTime dDate) {
  if (RFIDDevice* d = Device(sDC)) d->SetDeviceLastChange(dDate);
}

}  // namespace tagvane
