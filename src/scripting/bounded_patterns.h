// Lua's pattern functions (string.find, string.match, string.gmatch,
// string.gsub) with the same patterns and results, but bounded: the matcher
// counts its steps and looks at the script's deadline every few thousand, so
// a backtracking pattern ends with "Script timed out" like any other long
// script; a gsub result is capped at kMaxScriptText bytes. Everything here
// runs as plain C-style code (no objects with destructors), because Lua
// errors unwind with longjmp.
#pragma once

#include <cstddef>

struct lua_State;

namespace tagvane {

// The largest text string.rep, table.concat and string.gsub may build.
inline constexpr size_t kMaxScriptText = 16u << 20;

// Replaces find, match, gmatch and gsub in the string table on top of the
// stack.
void InstallBoundedPatterns(lua_State* L);

}  // namespace tagvane
