#include "scripting/api_bindings.h"

#include "core/dates.h"
#include "core/text.h"
#include "scripting/lua_args.h"
#include "scripting/script_host.h"
#include "xap/xap_message.h"

namespace tagvane {
namespace {

constexpr const char* kAppMeta = "Tagvane.Application";

// The host behind a member; drops a leading API object (the xap:Member form).
ScriptApi& Api(lua_State* L) {
  auto* host = static_cast<ScriptHost*>(lua_touserdata(L, lua_upvalueindex(1)));
  if (lua_type(L, 1) == LUA_TTABLE && lua_getmetatable(L, 1)) {
    luaL_getmetatable(L, kAppMeta);
    const bool self = lua_rawequal(L, -1, -2);
    lua_pop(L, 2);
    if (self) lua_remove(L, 1);
  }
  return host->Api();
}

ScriptHost& Host(lua_State* L) {
  return *static_cast<ScriptHost*>(lua_touserdata(L, lua_upvalueindex(1)));
}

void PushDate(lua_State* L, DateTime t) { PushText(L, FormatGeneralDate(t)); }

void PushOptionalCollection(lua_State* L, std::optional<ScriptCollection> c) {
  if (c) {
    PushCollection(L, std::move(*c));
  } else {
    lua_pushnil(L);
  }
}

#define T(i) ArgText(L, i)

int SendUDPMessage(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.SendUDPMessage(T(1)), 0; });
}
int SendXapMessage(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.SendXapMessage(T(1), T(2), T(3), T(4), T(5), T(6), T(7)), 0; });
}
int SelectXapMessage(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.SelectXapMessage(T(1), T(2), T(3), T(4), T(5)), 0; });
}
int GetXapMessage(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] {
    auto m = a.GetXapMessage(T(1));
    if (!m) return lua_pushnil(L), 1;
    // Each script gets its own copy: what it changes stays its own.
    PushXapMessage(L, std::make_shared<XapMessage>(*m));
    return 1;
  });
}
int DeSelectXapMessage(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.DeSelectXapMessage(T(1), T(2), T(3), T(4), T(5)), 0; });
}
int InitScriptControl(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.InitScriptControl(), 0; });
}
int ReadScript(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.ReadScript(), 0; });
}
int WriteLog(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.WriteLog(T(1), T(2)), 0; });
}
int FlushIniCache(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.FlushIniCache(), 0; });
}
int ClearINISection(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.ClearINISection(T(1), T(2)), 0; });
}
int GetINISection(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return PushText(L, a.GetINISection(T(1), T(2))), 1; });
}
int GetIniSetting(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return PushText(L, a.GetIniSetting(T(1), T(2), T(3), T(4))), 1; });
}
int SaveIniSetting(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.SaveIniSetting(T(1), T(2), T(3), T(4)), 0; });
}
int GetAppPath(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return PushText(L, a.GetAppPath()), 1; });
}
int Spawn(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] {
    auto job = a.Spawn(T(1), T(2), T(3));
    if (!job) return lua_pushnil(L), 1;
    PushProcess(L, std::move(job));
    return 1;
  });
}
int Run(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.Run(T(1)), 0; });
}
int RunEx(lua_State* L) {
  Api(L);
  ScriptHost& host = Host(L);
  return Protect(L, [&] { return host.RunExToStack(T(1), T(2), T(3)), 1; });
}
int TagList(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return PushOptionalCollection(L, a.TagList(T(1))), 1; });
}
int Request(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return PushOptionalCollection(L, a.Request(T(1))), 1; });
}
int LastChange(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return PushDate(L, a.LastChange(T(1))), 1; });
}
int Sequence(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return lua_pushinteger(L, a.Sequence(T(1))), 1; });
}
int Sunrise(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return PushText(L, a.Sunrise()), 1; });
}
int Sunset(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return PushText(L, a.Sunset()), 1; });
}
int X10(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.X10(T(1), T(2), T(3)), 0; });
}
int Response(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.Response(T(1), T(2)), 0; });
}
int NightTime(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return lua_pushboolean(L, a.NightTime(T(1))), 1; });
}
int DeviceValue(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return lua_pushinteger(L, a.DeviceValue(T(1))), 1; });
}
int SetDeviceValue(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.SetDeviceValue(T(1), ArgLong(L, 2, "iValue")), 0; });
}
int DeviceString(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return PushText(L, a.DeviceString(T(1))), 1; });
}
int SetDeviceString(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.SetDeviceString(T(1), T(2)), 0; });
}
int SetDeviceStatus(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.SetDeviceStatus(T(1), ArgInteger(L, 2, "iStatus")), 0; });
}
int IsOn(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return lua_pushboolean(L, a.IsOn(T(1))), 1; });
}
int IsOff(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return lua_pushboolean(L, a.IsOff(T(1))), 1; });
}
int DeviceStatus(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return lua_pushinteger(L, a.DeviceStatus(T(1))), 1; });
}
int DeviceLastChange(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return PushDate(L, a.DeviceLastChange(T(1))), 1; });
}
int SetDeviceLastChange(lua_State* L) {
  ScriptApi& a = Api(L);
  return Protect(L, [&] { return a.SetDeviceLastChange(T(1), ArgDate(L, 2, "dDate")), 0; });
}

#undef T

void PushApiObject(lua_State* L) {
  lua_newtable(L);
  luaL_setmetatable(L, kAppMeta);
}

int CreateObject(lua_State* L) {
  ScriptHost& host = Host(L);
  return Protect(L, [&] {
    const std::string progid = ArgText(L, 1);
    if (EqualsNoCase(progid, "Tagwell.Application")) {
      PushApiObject(L);
      host.InitScriptControl();  // as for every new API object
      return 1;
    }
    if (PushLocalObject(L, progid)) return 1;
    throw ScriptArgError("CreateObject: no object named \"" + progid + "\"");
  });
}

// The members in their published order.
constexpr luaL_Reg kMembers[] = {
    {"SendUDPMessage", SendUDPMessage},
    {"SendXapMessage", SendXapMessage},
    {"SelectXapMessage", SelectXapMessage},
    {"GetXapMessage", GetXapMessage},
    {"DeSelectXapMessage", DeSelectXapMessage},
    {"InitScriptControl", InitScriptControl},
    {"ReadScript", ReadScript},
    {"WriteLog", WriteLog},
    {"FlushIniCache", FlushIniCache},
    {"ClearINISection", ClearINISection},
    {"GetINISection", GetINISection},
    {"GetIniSetting", GetIniSetting},
    {"SaveIniSetting", SaveIniSetting},
    {"GetAppPath", GetAppPath},
    {"Spawn", Spawn},
    {"Run", Run},
    {"RunEx", RunEx},
    {"TagList", TagList},
    {"Request", Request},
    {"LastChange", LastChange},
    {"Sequence", Sequence},
    {"Sunrise", Sunrise},
    {"Sunset", Sunset},
    {"X10", X10},
    {"Response", Response},
    {"NightTime", NightTime},
    {"DeviceValue", DeviceValue},
    {"SetDeviceValue", SetDeviceValue},
    {"DeviceString", DeviceString},
    {"SetDeviceString", SetDeviceString},
    {"SetDeviceStatus", SetDeviceStatus},
    {"IsOn", IsOn},
    {"IsOff", IsOff},
    {"DeviceStatus", DeviceStatus},
    {"DeviceLastChange", DeviceLastChange},
    {"SetDeviceLastChange", SetDeviceLastChange},
};

// xap.member with any letter case: the members table is keyed in lower case.
int AppIndex(lua_State* L) {
  size_t len = 0;
  const char* key = lua_tolstring(L, 2, &len);
  if (!key) return 0;
  std::string lower(key, len);
  for (char& c : lower) c = LowerChar(c);
  lua_pushlstring(L, lower.data(), lower.size());
  lua_rawget(L, lua_upvalueindex(1));
  return 1;
}

}  // namespace

void PublishApi(lua_State* L, ScriptHost& host) {
  luaL_newmetatable(L, kAppMeta);
  lua_newtable(L);  // lower-case name -> member
  for (const luaL_Reg& m : kMembers) {
    std::string lower = m.name;
    for (char& c : lower) c = LowerChar(c);
    lua_pushlightuserdata(L, &host);
    lua_pushcclosure(L, m.func, 1);
    lua_pushvalue(L, -1);
    lua_setglobal(L, m.name);  // every member is a global too
    lua_setfield(L, -2, lower.c_str());
  }
  lua_pushcclosure(L, AppIndex, 1);
  lua_setfield(L, -2, "__index");
  lua_pushliteral(L, "Tagwell.Application");
  lua_setfield(L, -2, "__name");
  lua_pushliteral(L, "protected");  // getmetatable(xap) gives no table
  lua_setfield(L, -2, "__metatable");
  lua_pop(L, 1);

  PushApiObject(L);
  lua_setglobal(L, "xap");
  lua_pushlightuserdata(L, &host);
  lua_pushcclosure(L, CreateObject, 1);
  lua_setglobal(L, "CreateObject");
}

}  // namespace tagvane
