// Application, the object scripts see as "xap": its 36 members in the
// published order, as plain C++ calls over the App's shared state (the INI
// cache, the tag tables, the received-message records, the subscriptions,
// the engine). The object keeps no data of its own; the Lua bindings and
// other callers share one instance.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "scripting/script_engine.h"
#include "scripting/script_objects.h"

namespace tagvane {

class App;
class ScriptHost;
class SpawnedJob;
class RFIDDevice;

class ScriptApi {
 public:
  // The largest datagram SendUDPMessage sends (the UDP payload limit), and
  // the most text one composed xAP message (WriteLog, SendXapMessage, X10)
  // may carry, leaving room for its header in one datagram. Beyond either
  // the member raises a run-time error naming the limit.
  static constexpr size_t kMaxDatagram = 65507;
  static constexpr size_t kMaxXapTexts = 64000;

  ScriptApi(App& app, ScriptHost& host) : app_(app), host_(host) {}

  void SendUDPMessage(std::string_view sData);
  void SendXapMessage(std::string_view sTarget, std::string_view sClass, std::string_view sSection,
                      std::string_view sData, std::string_view sSubaddress,
                      std::string_view sUIDIn, std::string_view sTargetSubaddress);
  void SelectXapMessage(std::string_view sTarget, std::string_view sClass,
                        std::string_view sSection, std::string_view sSource,
                        std::string_view sScriptIn);
  std::shared_ptr<XapMessage> GetXapMessage(std::string_view sScriptHandle);
  void DeSelectXapMessage(std::string_view sTarget, std::string_view sClass,
                          std::string_view sSection, std::string_view sSource,
                          std::string_view sScript);
  void InitScriptControl();
  void ReadScript();
  void WriteLog(std::string_view c, std::string_view message);
  void FlushIniCache();
  void ClearINISection(std::string_view Group, std::string_view sFile);
  std::string GetINISection(std::string_view Group, std::string_view sFile = "");
  std::string GetIniSetting(std::string_view Group, std::string_view KEY, std::string_view Default,
                            std::string_view sFile = "");
  void SaveIniSetting(std::string_view Group, std::string_view KEY, std::string_view Value,
                      std::string_view sFile = "");
  std::string GetAppPath() const;
  std::shared_ptr<SpawnedJob> Spawn(std::string_view sScriptName, std::string_view sProcedure,
                                    std::string_view sScriptParm);
  void Run(std::string_view sFilename);
  ScriptValue RunEx(std::string_view sFilename, std::string_view sProcedure,
                    std::string_view sParameter);
  std::optional<ScriptCollection> TagList(std::string_view sTag);
  std::optional<ScriptCollection> Request(std::string_view sTag);
  DateTime LastChange(std::string_view sTag);
  int32_t Sequence(std::string_view sTag);
  std::string Sunrise() const;
  std::string Sunset() const;
  // count carries sBrightness, the empty text when it is omitted.
  void X10(std::string_view sDevice, std::string_view sCommand, std::string_view sBrightness = "");
  void Response(std::string_view sTag, std::string_view sValue);
  bool NightTime(std::string_view iMinutesOffset);
  int32_t DeviceValue(std::string_view sDC);
  void SetDeviceValue(std::string_view sDC, int32_t iValue);
  std::string DeviceString(std::string_view sDC);
  void SetDeviceString(std::string_view sDC, std::string_view s);
  void SetDeviceStatus(std::string_view sDC, int16_t iStatus);
  bool IsOn(std::string_view sDC);
  bool IsOff(std::string_view sDC);
  int16_t DeviceStatus(std::string_view sDC);
  DateTime DeviceLastChange(std::string_view sDC);
  void SetDeviceLastChange(std::string_view sDC, DateTime dDate);

 private:
  RFIDDevice* Device(std::string_view sDC);

  App& app_;
  ScriptHost& host_;
};

// Seconds since midnight of a time-of-day text ("6:30", "06:30:15",
// "7:45 PM", or a general date with a time); nullopt when it is not one.
std::optional<int> TimeOfDaySeconds(std::string_view text);

}  // namespace tagvane
