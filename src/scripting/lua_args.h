// Reading script arguments and answering script calls. Lua unwinds with
// longjmp, which must never cross a C++ frame that owns objects: every
// binding does its work inside Protect, which turns a thrown ScriptArgError
// (or any exception) into a Lua error only after those frames are gone.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include <lua.hpp>

#include "core/clock.h"

namespace tagvane {

// A run-time error for the calling script.
class ScriptArgError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Text of argument i: a string as it stands, a number as decimal text,
// booleans "True"/"False", nil or a missing argument the empty text.
std::string ArgText(lua_State* L, int i);
// A 32-bit or 16-bit integer (a number or a numeric text, rounded halves to
// even); anything else, or a value out of range, is a run-time error.
int32_t ArgLong(lua_State* L, int i, const char* name);
int16_t ArgInteger(lua_State* L, int i, const char* name);
// A date-time in the general date format ("dd/MM/yyyy HH:mm:ss").
DateTime ArgDate(lua_State* L, int i, const char* name);

inline void PushText(lua_State* L, std::string_view s) { lua_pushlstring(L, s.data(), s.size()); }

template <typename F>
int Protect(lua_State* L, F&& body) {
  int results = 0;
  bool failed = false;
  try {
    results = body();
  } catch (const std::exception& e) {
    lua_pushstring(L, e.what());
    failed = true;
  } catch (...) {
    lua_pushstring(L, "unexpected failure");
    failed = true;
  }
  if (!failed) return results;
  luaL_where(L, 1);
  lua_insert(L, -2);
  lua_concat(L, 2);
  return lua_error(L);
}

}  // namespace tagvane
