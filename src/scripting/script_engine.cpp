#include "scripting/script_engine.h"

#include <cstdlib>
#include <cstring>
#include <lua.hpp>

#include "core/numbers.h"
#include "core/text.h"
#include "scripting/script_library.h"

namespace tagvane {
namespace {

// Instructions between two looks at the clock; after a time-out the hook
// fires on every instruction until the script has unwound.
constexpr int kHookCount = 10000;
constexpr const char* kTimedOut = "Script timed out";

// Replaces the library calls that could swallow the time-out (pcall,
// xpcall, coroutine.resume) or load binary chunks (load, loadfile, dofile).
constexpr const char* kGuards = R"lua(
local timedout = ...
local rawpcall, rawxpcall, rawresume = pcall, xpcall, coroutine.resume
local rawload, rawloadfile, select, error = load, loadfile, select, error
local function check(...)
  if timedout() then error("Script timed out", 0) end
  return ...
end
pcall = function(...) return check(rawpcall(...)) end
xpcall = function(...) return check(rawxpcall(...)) end
coroutine.resume = function(...) return check(rawresume(...)) end
load = function(chunk, name, mode, ...)
  if select("#", ...) > 0 then return rawload(chunk, name, "t", ...) end
  return rawload(chunk, name, "t")
end
loadfile = function(file, mode, ...)
  if select("#", ...) > 0 then return rawloadfile(file, "t", ...) end
  return rawloadfile(file, "t")
end
dofile = function(file)
  local f, message = rawloadfile(file, "t")
  if not f then error(message, 0) end
  return f()
end
)lua";

ScriptEngine* EngineOf(lua_State* L) { return *static_cast<ScriptEngine**>(lua_getextraspace(L)); }

}  // namespace

std::string ScriptValueText(const ScriptValue& v) {
  if (const auto* b = std::get_if<bool>(&v)) return *b ? "True" : "False";
  if (const auto* i = std::get_if<int64_t>(&v)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(&v)) return DoubleText(*d);
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  return "";
}

ScriptEngine::ScriptEngine(const Clock& clock) : clock_(clock) {}

ScriptEngine::~ScriptEngine() { Close(); }

void* ScriptEngine::Allocate(void* ud, void* ptr, size_t old_size, size_t new_size) {
  auto* self = static_cast<ScriptEngine*>(ud);
  const size_t old_bytes = ptr ? old_size : 0;
  if (new_size == 0) {
    std::free(ptr);
    self->memory_in_use_ -= old_bytes;
    return nullptr;
  }
  if (new_size > old_bytes && self->memory_in_use_ - old_bytes + new_size > self->memory_limit_) {
    return nullptr;  // the script gets "not enough memory"
  }
  void* block = std::realloc(ptr, new_size);
  if (block) self->memory_in_use_ = self->memory_in_use_ - old_bytes + new_size;
  return block;
}

void ScriptEngine::Close() {
  if (!L_) return;
  lua_close(L_);
  L_ = nullptr;
  depth_ = 0;
}

int ScriptEngine::TimedOut(lua_State* L) {
  lua_pushboolean(L, EngineOf(L)->timed_out_);
  return 1;
}

void ScriptEngine::InstallGuards() {
  if (luaL_loadbufferx(L_, kGuards, std::strlen(kGuards), "=guards", "t") != LUA_OK) {
    lua_pop(L_, 1);
    return;
  }
  lua_pushcfunction(L_, &ScriptEngine::TimedOut);
  if (lua_pcall(L_, 1, 0, 0) != LUA_OK) lua_pop(L_, 1);
}

void ScriptEngine::Reset(const std::function<void(lua_State*)>& setup) {
  Close();
  L_ = lua_newstate(&ScriptEngine::Allocate, this);
  if (!L_) return;
  *static_cast<ScriptEngine**>(lua_getextraspace(L_)) = this;
  OpenScriptLibraries(L_, app_dir_);
  InstallGuards();
  if (setup) setup(L_);
}

int ScriptEngine::NewModule() {
  if (!L_) return LUA_NOREF;
  lua_newtable(L_);                  // the module's environment
  lua_newtable(L_);                  // its metatable
  lua_pushglobaltable(L_);
  lua_setfield(L_, -2, "__index");  // unknown names reach the globals
  lua_pushliteral(L_, "protected");
  lua_setfield(L_, -2, "__metatable");
  lua_setmetatable(L_, -2);
  return luaL_ref(L_, LUA_REGISTRYINDEX);
}

void ScriptEngine::ReleaseModule(int module) {
  if (L_ && module != LUA_NOREF && module != LUA_REFNIL) luaL_unref(L_, LUA_REGISTRYINDEX, module);
}

void ScriptEngine::CheckDeadline(lua_State* L) {
  ScriptEngine* self = EngineOf(L);
  if (!self || self->depth_ == 0) return;
  if (!self->timed_out_ && self->clock_.Now() - self->started_ < self->timeout_) return;
  self->timed_out_ = true;
  lua_sethook(L, &ScriptEngine::CountHook, LUA_MASKCOUNT, 1);
  luaL_error(L, kTimedOut);
}

void ScriptEngine::CountHook(lua_State* L, lua_Debug*) { CheckDeadline(L); }

int ScriptEngine::ProtectedCall(int nargs, int nresults) {
  if (depth_ == 0) {
    started_ = clock_.Now();
    timed_out_ = false;
    lua_sethook(L_, &ScriptEngine::CountHook, LUA_MASKCOUNT, kHookCount);
  }
  ++depth_;
  const int status = lua_pcall(L_, nargs, nresults, 0);
  --depth_;
  if (depth_ == 0) {
    lua_sethook(L_, nullptr, 0, 0);
  }
  return status;
}

ScriptError ScriptEngine::ErrorFromMessage(std::string_view message, int number) {
  ScriptError err;
  err.number = number;
  err.description = std::string(message);
  // Lua's position prefix is "<chunk>:<line>: ".
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] != ':') continue;
    size_t j = i + 1;
    while (j < message.size() && message[j] >= '0' && message[j] <= '9') ++j;
    if (j == i + 1 || j >= message.size() || message[j] != ':' || j - i > 10) continue;
    err.line = std::atoi(std::string(message.substr(i + 1, j - i - 1)).c_str());
    err.source = std::string(message.substr(0, i));
    size_t rest = j + 1;
    if (rest < message.size() && message[rest] == ' ') ++rest;
    err.description = std::string(message.substr(rest));
    break;
  }
  return err;
}

namespace {

// Pops the error value of a failed call and describes it.
ScriptError TakeError(lua_State* L, int status, bool timed_out) {
  std::string message;
  if (const char* s = lua_tostring(L, -1)) {
    message = s;
  } else {
    message = std::string("(error object is a ") + luaL_typename(L, -1) + " value)";
  }
  lua_pop(L, 1);
  ScriptError err = ScriptEngine::ErrorFromMessage(message, status);
  if (timed_out) err.description = kTimedOut;
  return err;
}

}  // namespace

bool ScriptEngine::AddCode(int module, std::string_view code, std::string_view chunk_name,
                           ScriptError* err) {
  if (!L_) return false;
  const std::string name = "=" + std::string(chunk_name);
  int status = luaL_loadbufferx(L_, code.data(), code.size(), name.c_str(), "t");
  if (status == LUA_OK) {
    lua_rawgeti(L_, LUA_REGISTRYINDEX, module);
    if (!lua_setupvalue(L_, -2, 1)) lua_pop(L_, 1);
    status = ProtectedCall(0, 0);
  }
  if (status == LUA_OK) return true;
  ScriptError e = TakeError(L_, status, timed_out_);
  if (err) *err = std::move(e);
  return false;
}

bool ReplaceTableWithFunction(lua_State* L, std::string_view procedure) {
  std::string best;
  bool exact = false;
  lua_pushnil(L);
  while (lua_next(L, -2) != 0) {
    if (lua_type(L, -2) == LUA_TSTRING && lua_isfunction(L, -1)) {
      size_t len = 0;
      const char* key = lua_tolstring(L, -2, &len);
      const std::string_view name(key, len);
      if (name == procedure) {
        best = std::string(name);
        exact = true;
      } else if (!exact && EqualsNoCase(name, procedure) && (best.empty() || name < best)) {
        best = std::string(name);
      }
    }
    lua_pop(L, 1);
  }
  if (best.empty()) {
    lua_pop(L, 1);
    return false;
  }
  lua_getfield(L, -1, best.c_str());
  lua_remove(L, -2);
  return true;
}

bool ScriptEngine::PushProcedure(int module, std::string_view procedure) {
  lua_rawgeti(L_, LUA_REGISTRYINDEX, module);
  if (!lua_istable(L_, -1)) {
    lua_pop(L_, 1);
    return false;
  }
  return ReplaceTableWithFunction(L_, procedure);
}

bool ScriptEngine::RunToStack(int module, std::string_view procedure, std::string_view parameter,
                              bool* found, ScriptError* err) {
  if (found) *found = false;
  if (!L_ || !PushProcedure(module, procedure)) return true;
  if (found) *found = true;
  lua_Debug ar;
  lua_pushvalue(L_, -1);
  lua_getinfo(L_, ">u", &ar);
  int nargs = 0;
  if (ar.nparams >= 2) {
    lua_pop(L_, 1);
    if (err) {
      err->number = LUA_ERRRUN;
      err->line = 0;
      err->description = "wrong number of arguments: " + std::string(procedure) + " declares " +
                         std::to_string(ar.nparams) + " parameters";
    }
    return false;
  }
  if (ar.nparams == 1 || ar.isvararg) {
    lua_pushlstring(L_, parameter.data(), parameter.size());
    nargs = 1;
  }
  const int status = ProtectedCall(nargs, 1);
  if (status == LUA_OK) return true;
  ScriptError e = TakeError(L_, status, timed_out_);
  if (err) *err = std::move(e);
  return false;
}

ScriptValue ScriptEngine::Run(int module, std::string_view procedure, std::string_view parameter,
                              bool* found, ScriptError* err) {
  bool here = false;
  if (!RunToStack(module, procedure, parameter, &here, err)) {
    if (found) *found = here;
    return {};
  }
  if (found) *found = here;
  if (!here) return {};
  ScriptValue v;
  switch (lua_type(L_, -1)) {
    case LUA_TBOOLEAN:
      v = lua_toboolean(L_, -1) != 0;
      break;
    case LUA_TNUMBER:
      if (lua_isinteger(L_, -1)) {
        v = static_cast<int64_t>(lua_tointeger(L_, -1));
      } else {
        v = static_cast<double>(lua_tonumber(L_, -1));
      }
      break;
    case LUA_TSTRING: {
      size_t len = 0;
      const char* s = lua_tolstring(L_, -1, &len);
      v = std::string(s, len);
      break;
    }
    default:
      break;
  }
  lua_pop(L_, 1);
  return v;
}

}  // namespace tagvane
