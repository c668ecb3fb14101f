#include "scripting/lua_args.h"

#include "core/dates.h"
#include "core/numbers.h"

namespace tagvane {

std::string ArgText(lua_State* L, int i) {
  switch (lua_type(L, i)) {
    case LUA_TNONE:
    case LUA_TNIL:
      return "";
    case LUA_TBOOLEAN:
      return lua_toboolean(L, i) ? "True" : "False";
    case LUA_TNUMBER:
      if (lua_isinteger(L, i)) return std::to_string(lua_tointeger(L, i));
      return DoubleText(lua_tonumber(L, i));
    case LUA_TSTRING: {
      size_t len = 0;
      const char* s = lua_tolstring(L, i, &len);
      return std::string(s, len);
    }
    default:
      throw ScriptArgError(std::string("Type mismatch: a ") + luaL_typename(L, i) +
                           " is not a text");
  }
}

namespace {

double ArgNumber(lua_State* L, int i, const char* name) {
  if (lua_type(L, i) == LUA_TNUMBER) return lua_tonumber(L, i);
  if (lua_type(L, i) == LUA_TSTRING) {
    size_t len = 0;
    const char* s = lua_tolstring(L, i, &len);
    if (IsNumeric(std::string_view(s, len))) return LeadingNumber(std::string_view(s, len));
  }
  throw ScriptArgError(std::string("Type mismatch: ") + name + " is not a number");
}

}  // namespace

int32_t ArgLong(lua_State* L, int i, const char* name) {
  try {
    return ToInt32(ArgNumber(L, i, name));
  } catch (const OverflowError&) {
    throw ScriptArgError(std::string("Overflow: ") + name);
  }
}

int16_t ArgInteger(lua_State* L, int i, const char* name) {
  try {
    return ToInt16(ArgNumber(L, i, name));
  } catch (const OverflowError&) {
    throw ScriptArgError(std::string("Overflow: ") + name);
  }
}

DateTime ArgDate(lua_State* L, int i, const char* name) {
  if (lua_type(L, i) == LUA_TSTRING) {
    if (auto d = ParseDate(ArgText(L, i))) return *d;
  }
  throw ScriptArgError(std::string("Type mismatch: ") + name + " is not a date");
}

}  // namespace tagvane
