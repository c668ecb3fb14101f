#include "scripting/script_library.h"

#include <cstring>
#include <lua.hpp>

#include "scripting/bounded_patterns.h"
#include "scripting/script_engine.h"

namespace tagvane {
namespace {

// Elements between two looks at the clock in the table loops.
constexpr lua_Integer kElementsPerCheck = 4096;

void Tick(lua_State* L, lua_Integer i) {
  if (i % kElementsPerCheck == 0) ScriptEngine::CheckDeadline(L);
}

[[noreturn]] void TooLarge(lua_State* L, const char* what) {
  luaL_error(L, "%s: the result would be larger than the limit of %d bytes", what,
             static_cast<int>(kMaxScriptText));
  __builtin_unreachable();
}

int Rep(lua_State* L) {
  size_t l = 0, lsep = 0;
  const char* s = luaL_checklstring(L, 1, &l);
  const lua_Integer n = luaL_checkinteger(L, 2);
  const char* sep = luaL_optlstring(L, 3, "", &lsep);
  if (n <= 0 || l + lsep == 0) {
    lua_pushliteral(L, "");
    return 1;
  }
  if (static_cast<lua_Unsigned>(n) > kMaxScriptText / (l + lsep) + 1) TooLarge(L, "string.rep");
  const size_t total = l * static_cast<size_t>(n) + lsep * static_cast<size_t>(n - 1);
  if (total > kMaxScriptText) TooLarge(L, "string.rep");
  luaL_Buffer b;
  char* p = luaL_buffinitsize(L, &b, total);
  for (lua_Integer i = 0; i < n; ++i) {
    std::memcpy(p, s, l);
    p += l;
    if (i + 1 < n && lsep) {
      std::memcpy(p, sep, lsep);
      p += lsep;
    }
  }
  luaL_pushresultsize(&b, total);
  return 1;
}

// The length a table function works with (__len respected, as Lua's own).
lua_Integer Length(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  return luaL_len(L, 1);
}

int Concat(lua_State* L) {
  size_t lsep = 0;
  const lua_Integer last_default = Length(L);
  const char* sep = luaL_optlstring(L, 2, "", &lsep);
  lua_Integer i = luaL_optinteger(L, 3, 1);
  const lua_Integer last = luaL_optinteger(L, 4, last_default);
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  for (lua_Integer n = 0; i <= last; ++i, ++n) {
    Tick(L, n + 1);
    lua_geti(L, 1, i);
    if (!lua_isstring(L, -1)) {
      luaL_error(L, "invalid value (at index %I) in table for 'concat'", i);
    }
    luaL_addvalue(&b);
    if (i != last) luaL_addlstring(&b, sep, lsep);
    if (luaL_bufflen(&b) > kMaxScriptText) TooLarge(L, "table.concat");
    if (i == LUA_MAXINTEGER) break;
  }
  luaL_pushresult(&b);
  return 1;
}

int Insert(lua_State* L) {
  const lua_Integer end = Length(L) + 1;  // the first empty slot
  lua_Integer pos = end;
  switch (lua_gettop(L)) {
    case 2:
      break;
    case 3: {
      pos = luaL_checkinteger(L, 2);
      luaL_argcheck(L, static_cast<lua_Unsigned>(pos) - 1u < static_cast<lua_Unsigned>(end), 2,
                    "position out of bounds");
      for (lua_Integer i = end; i > pos; --i) {
        Tick(L, i);
        lua_geti(L, 1, i - 1);
        lua_seti(L, 1, i);
      }
      break;
    }
    default:
      return luaL_error(L, "wrong number of arguments to 'insert'");
  }
  lua_seti(L, 1, pos);
  return 0;
}

int Remove(lua_State* L) {
  const lua_Integer size = Length(L);
  lua_Integer pos = luaL_optinteger(L, 2, size);
  if (pos != size) {
    luaL_argcheck(L, static_cast<lua_Unsigned>(pos) - 1u <= static_cast<lua_Unsigned>(size), 2,
                  "position out of bounds");
  }
  lua_geti(L, 1, pos);
  for (; pos < size; ++pos) {
    Tick(L, pos);
    lua_geti(L, 1, pos + 1);
    lua_seti(L, 1, pos);
  }
  lua_pushnil(L);
  lua_seti(L, 1, pos);
  return 1;
}

int Move(lua_State* L) {
  const lua_Integer f = luaL_checkinteger(L, 2);
  const lua_Integer e = luaL_checkinteger(L, 3);
  const lua_Integer t = luaL_checkinteger(L, 4);
  const int to = lua_isnoneornil(L, 5) ? 1 : 5;
  luaL_checktype(L, 1, LUA_TTABLE);
  luaL_checktype(L, to, LUA_TTABLE);
  if (e >= f) {
    luaL_argcheck(L, f > 0 || e < LUA_MAXINTEGER + f, 3, "too many elements to move");
    const lua_Integer n = e - f + 1;
    luaL_argcheck(L, t <= LUA_MAXINTEGER - n + 1, 4, "destination wrap around");
    // Copy from the end when the ranges overlap in one table.
    const bool forward = t > e || t <= f || (to != 1 && !lua_compare(L, 1, to, LUA_OPEQ));
    for (lua_Integer i = 0; i < n; ++i) {
      Tick(L, i + 1);
      const lua_Integer k = forward ? i : n - 1 - i;
      lua_geti(L, 1, f + k);
      lua_seti(L, to, t + k);
    }
  }
  lua_pushvalue(L, to);
  return 1;
}

// The default order of table.sort, looking at the deadline as it goes.
int LessThan(lua_State* L) {
  lua_Integer calls = lua_tointeger(L, lua_upvalueindex(1)) + 1;
  lua_pushinteger(L, calls);
  lua_replace(L, lua_upvalueindex(1));
  Tick(L, calls);
  lua_pushboolean(L, lua_compare(L, 1, 2, LUA_OPLT));
  return 1;
}

int Sort(lua_State* L) {
  if (lua_isnoneornil(L, 2)) {
    lua_settop(L, 1);
    lua_pushinteger(L, 0);
    lua_pushcclosure(L, LessThan, 1);
  }
  lua_settop(L, 2);
  lua_pushvalue(L, lua_upvalueindex(1));  // Lua's own sort
  lua_insert(L, 1);
  lua_call(L, 2, 0);
  return 0;
}

int GetEnv(lua_State* L) {
  const char* name = luaL_checkstring(L, 1);
  if (std::strcmp(name, "TAGVANE_APP_DIR") == 0) {
    lua_pushvalue(L, lua_upvalueindex(1));
    return 1;
  }
  lua_pushvalue(L, lua_upvalueindex(2));
  lua_insert(L, 1);
  lua_call(L, lua_gettop(L) - 1, 1);
  return 1;
}

// What is taken away or refused, in Lua; runs with the libraries open.
constexpr const char* kRestrictions = R"lua(
local error, rawget, type, rawsetmetatable = error, rawget, type, setmetatable
local rawsetlocale, loadfile, searchpath = os.setlocale, loadfile, package.searchpath
setmetatable = function(t, mt)
  if type(mt) == "table" and rawget(mt, "__gc") ~= nil then
    error("__gc metamethods are not available to scripts", 2)
  end
  return rawsetmetatable(t, mt)
end
os.exit = function()
  error("os.exit is not available to scripts: the daemon stops only through its " ..
        "orderly shut-down (SIGTERM or the service manager)", 2)
end
os.setlocale = function(locale, ...)
  if locale ~= nil then
    error("os.setlocale can only read the locale in scripts: the daemon's texts and " ..
          "numbers depend on it", 2)
  end
  return rawsetlocale(nil, ...)
end
debug = { traceback = debug.traceback }
package.loaded.debug = debug
package.loadlib = nil
package.cpath = ""
local preload = package.searchers[1]
package.searchers = { preload, function(name)
  local path, message = searchpath(name, package.path)
  if not path then return message end
  local chunk, failure = loadfile(path)
  if not chunk then error(failure, 0) end
  return chunk, path
end }
)lua";

}  // namespace

void OpenScriptLibraries(lua_State* L, const std::string& app_dir) {
  luaL_openlibs(L);

  lua_getglobal(L, "string");
  InstallBoundedPatterns(L);
  lua_pushcfunction(L, Rep);
  lua_setfield(L, -2, "rep");
  lua_pop(L, 1);

  lua_getglobal(L, "table");
  const luaL_Reg table[] = {
      {"concat", Concat}, {"insert", Insert}, {"remove", Remove}, {"move", Move}, {nullptr, nullptr}};
  luaL_setfuncs(L, table, 0);
  lua_getfield(L, -1, "sort");
  lua_pushcclosure(L, Sort, 1);
  lua_setfield(L, -2, "sort");
  lua_pop(L, 1);

  lua_getglobal(L, "os");
  lua_pushlstring(L, app_dir.data(), app_dir.size());
  lua_getfield(L, -2, "getenv");
  lua_pushcclosure(L, GetEnv, 2);
  lua_setfield(L, -2, "getenv");
  lua_pop(L, 1);

  if (luaL_loadbufferx(L, kRestrictions, std::strlen(kRestrictions), "=restrictions", "t") !=
          LUA_OK ||
      lua_pcall(L, 0, 0, 0) != LUA_OK) {
    lua_pop(L, 1);
  }
}

}  // namespace tagvane
