// The standard library as scripts get it: Lua's libraries, with every call
// that could run long in C bounded (patterns, string.rep, table.concat,
// insert, remove, move and sort look at the deadline or cap their result),
// nothing that ends or reconfigures the daemon (os.exit and os.setlocale
// raise an error saying so), no finalizers of the scripts' own (a metatable
// with __gc is refused, so closing the engine never runs script code), no
// C modules, and of the debug library only debug.traceback.
#pragma once

#include <string>

struct lua_State;

namespace tagvane {

// Opens the libraries into a fresh state. app_dir is what
// os.getenv("TAGVANE_APP_DIR") gives, as it does in a spawned job.
void OpenScriptLibraries(lua_State* L, const std::string& app_dir);

}  // namespace tagvane
