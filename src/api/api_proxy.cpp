#include "api/api_proxy.h"

#include <cmath>
#include <memory>

#include "api/api_members.h"
#include "core/text.h"
#include "scripting/lua_args.h"
#include "scripting/script_objects.h"
#include "xap/xap_message.h"

namespace tagvane {
namespace {

constexpr const char* kProxyMeta = "Tagvane.ApiProxy";

const ApiClient& ClientOf(lua_State* L) {
  return *static_cast<const ApiClient*>(lua_touserdata(L, lua_upvalueindex(1)));
}

// Drops a leading proxy object (the xap:Member form).
void DropSelf(lua_State* L) {
  if (lua_type(L, 1) == LUA_TTABLE && lua_getmetatable(L, 1)) {
    luaL_getmetatable(L, kProxyMeta);
    const bool self = lua_rawequal(L, -1, -2);
    lua_pop(L, 2);
    if (self) lua_remove(L, 1);
  }
}

ApiJson ArgJson(lua_State* L, int i, const std::string& member) {
  switch (lua_type(L, i)) {
    case LUA_TNIL:
    case LUA_TNONE:
      return nullptr;
    case LUA_TBOOLEAN:
      return lua_toboolean(L, i) != 0;
    case LUA_TNUMBER:
      if (lua_isinteger(L, i)) return lua_tointeger(L, i);
      if (std::isfinite(lua_tonumber(L, i))) return lua_tonumber(L, i);
      break;
    case LUA_TSTRING: {
      size_t len = 0;
      const char* s = lua_tolstring(L, i, &len);
      return JsonText(std::string_view(s, len));
    }
    default:
      break;
  }
  throw ScriptArgError(member + ": argument " + std::to_string(i) + " (" + luaL_typename(L, i) +
                       ") cannot be sent to the daemon");
}

ApiJson Send(const ApiClient& client, const std::string& member, const ApiJson& args) {
  ApiReply reply;
  try {
    reply = client.Call(member, args);
  } catch (const std::exception& e) {
    throw ScriptArgError(member + ": " + e.what());
  }
  if (!reply.Ok()) throw ScriptArgError(member + ": " + reply.ErrorText());
  return std::move(reply.body);
}

std::string ValueText(const ApiJson& v) {
  return v.is_string() ? JsonTextToBytes(v.get<std::string>()) : v.dump();
}

void PushJson(lua_State* L, const ApiJson& v) {
  if (v.is_string()) {
    PushText(L, JsonTextToBytes(v.get<std::string>()));
  } else if (v.is_number_integer()) {
    lua_pushinteger(L, v.get<lua_Integer>());
  } else if (v.is_number()) {
    lua_pushnumber(L, v.get<double>());
  } else if (v.is_boolean()) {
    lua_pushboolean(L, v.get<bool>());
  } else if (v.is_object() || v.is_array()) {
    lua_createtable(L, 0, 0);
    lua_Integer n = 0;
    for (auto it = v.begin(); it != v.end(); ++it) {
      if (v.is_array()) {
        lua_pushinteger(L, ++n);
      } else {
        PushText(L, JsonTextToBytes(it.key()));
      }
      PushJson(L, *it);
      lua_settable(L, -3);
    }
  } else {
    lua_pushnil(L);
  }
}

int CallMember(lua_State* L) {
  const ApiClient& client = ClientOf(L);
  // Nothing owned in this frame: a Lua error unwinds past it.
  const char* name = lua_tostring(L, lua_upvalueindex(2));
  DropSelf(L);
  return Protect(L, [&] {
    const std::string member = name;
    ApiJson args = ApiJson::array();
    for (int i = 1; i <= lua_gettop(L); ++i) args.push_back(ArgJson(L, i, member));
    const ApiJson answer = Send(client, member, args);
    PushApiResult(L, answer);
    return 1;
  });
}

void PushProxy(lua_State* L) {
  lua_newtable(L);
  luaL_setmetatable(L, kProxyMeta);
}

int CreateObject(lua_State* L) {
  return Protect(L, [&] {
    const std::string progid = ArgText(L, 1);
    if (EqualsNoCase(progid, "Tagwell.Application")) {
      // A job's object is a view of the daemon's: making one does not reset
      // the daemon's engine under the main script that spawned the job.
      PushProxy(L);
      return 1;
    }
    if (PushLocalObject(L, progid)) return 1;
    throw ScriptArgError("CreateObject: no object named \"" + progid + "\"");
  });
}

// proxy.member with any letter case: the members table is keyed in lower case.
int ProxyIndex(lua_State* L) {
  size_t len = 0;
  const char* key = lua_tolstring(L, 2, &len);
  if (!key) return 0;
  const std::string lower = ToLower(std::string_view(key, len));
  lua_pushlstring(L, lower.data(), lower.size());
  lua_rawget(L, lua_upvalueindex(1));
  return 1;
}

}  // namespace

void PushApiResult(lua_State* L, const ApiJson& answer) {
  static const ApiJson kNull;
  const std::string type =
      answer.is_object() && answer.contains("type") && answer["type"].is_string()
          ? answer["type"].get<std::string>()
          : std::string();
  const ApiJson& result =
      answer.is_object() && answer.contains("result") ? answer["result"] : kNull;
  if (type == "collection" && result.is_object()) {
    ScriptCollection c;
    for (auto it = result.begin(); it != result.end(); ++it) {
      c.Add(JsonTextToBytes(it.key()), ValueText(*it));
    }
    PushCollection(L, std::move(c));
  } else if (type == "message" && result.is_object()) {
    auto m = std::make_shared<XapMessage>();
    const auto text = result.find("text");
    m->FromXap(text != result.end() && text->is_string() ? JsonTextToBytes(text->get<std::string>())
                                                         : std::string());
    PushXapMessage(L, std::move(m));
  } else if (type == "process" && result.is_object()) {
    lua_createtable(L, 0, 3);
    for (const char* field : {"ProcessID", "Status", "ExitCode"}) {
      const auto v = result.find(field);
      PushJson(L, v != result.end() ? *v : kNull);
      lua_setfield(L, -2, field);
    }
  } else {
    PushJson(L, result);
  }
}

void PublishApiProxy(lua_State* L, const ApiClient& client) {
  void* c = const_cast<ApiClient*>(&client);
  luaL_newmetatable(L, kProxyMeta);
  lua_newtable(L);  // lower-case name -> member
  for (const ApiMember& m : ApiMembers()) {
    if (m.name == "CreateObject") continue;  // the global CreateObject below
    const std::string name(m.name);
    lua_pushlightuserdata(L, c);
    lua_pushstring(L, name.c_str());
    lua_pushcclosure(L, CallMember, 2);
    lua_pushvalue(L, -1);
    lua_setglobal(L, name.c_str());  // every member is a global too
    lua_setfield(L, -2, ToLower(name).c_str());
  }
  lua_pushcclosure(L, ProxyIndex, 1);
  lua_setfield(L, -2, "__index");
  lua_pushliteral(L, "Tagwell.Application");
  lua_setfield(L, -2, "__name");
  lua_pop(L, 1);

  lua_pushlightuserdata(L, c);
  lua_pushcclosure(L, CreateObject, 1);
  lua_setglobal(L, "CreateObject");
}

}  // namespace tagvane
