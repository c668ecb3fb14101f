// The one Lua 5.4 engine of the scripts: modules as environment tables that
// fall back on the globals, text-only chunks, procedures run by name (case
// ignored, an exact match first) with none or one text parameter, and the
// time-out enforced by an instruction-count hook on the injected clock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "core/clock.h"

struct lua_State;
struct lua_Debug;

namespace tagvane {

// Replaces the table on top of the stack with its function named name: the
// exact name, else the first (in byte order) matching ignoring letter case.
// Pops the table and returns false when there is none.
bool ReplaceTableWithFunction(lua_State* L, std::string_view name);

// A value handed back from a script: nothing, boolean, integer, number or
// text (tables, functions and other values come back as nothing).
using ScriptValue = std::variant<std::monostate, bool, int64_t, double, std::string>;
std::string ScriptValueText(const ScriptValue& v);

// Lua has no error numbers or columns: number is the engine's status (2 a
// run-time error, 3 a syntax error, 4 out of memory), line comes from the
// "name:line:" prefix of Lua's message (0 when there is none), and the
// description is the message without that prefix; source is the chunk
// (the script file) the prefix names.
struct ScriptError {
  int number = 0;
  int line = 0;
  std::string description;
  std::string source;
};

class ScriptEngine {
 public:
  static constexpr Milliseconds kDefaultTimeout{90000};
  static constexpr size_t kDefaultMemoryLimit = 256u << 20;

  explicit ScriptEngine(const Clock& clock);
  ~ScriptEngine();
  ScriptEngine(const ScriptEngine&) = delete;
  ScriptEngine& operator=(const ScriptEngine&) = delete;

  // Closes the state (every module goes) and opens a fresh one with the
  // standard libraries; then setup runs to publish objects.
  void Reset(const std::function<void(lua_State*)>& setup = {});
  void Close();
  lua_State* State() const { return L_; }
  bool Open() const { return L_ != nullptr; }

  // A new module: an empty environment whose unknown names reach the
  // globals. The number is a registry reference; release it when done.
  int NewModule();
  void ReleaseModule(int module);

  // Compiles text (binary chunks are refused) named chunk_name and runs it
  // in the module. False with err filled on a syntax or run-time error.
  bool AddCode(int module, std::string_view code, std::string_view chunk_name, ScriptError* err);

  // Runs the procedure of the module whose name equals procedure ignoring
  // case (an exact match wins). found says whether there was one. A
  // procedure declaring no parameter gets none, one declaring one (or
  // "...") gets the text; two or more is an argument error.
  ScriptValue Run(int module, std::string_view procedure, std::string_view parameter, bool* found,
                  ScriptError* err);

  // Same, leaving the procedure's first result (or nil) on the Lua stack
  // for a caller inside the engine. Returns false on an error.
  bool RunToStack(int module, std::string_view procedure, std::string_view parameter, bool* found,
                  ScriptError* err);

  // What os.getenv("TAGVANE_APP_DIR") gives scripts from the next Reset.
  void SetAppDir(std::string dir) { app_dir_ = std::move(dir); }
  Milliseconds Timeout() const { return timeout_; }
  void SetTimeout(Milliseconds t) { timeout_ = t; }
  void SetMemoryLimit(size_t bytes) { memory_limit_ = bytes; }
  size_t MemoryInUse() const { return memory_in_use_; }
  // True while a chunk or procedure runs (calls can nest).
  bool Running() const { return depth_ > 0; }

  static ScriptError ErrorFromMessage(std::string_view message, int number);

  // For C code that runs long inside a script: raises "Script timed out"
  // (which pcall cannot catch) when the running script is past its
  // time-out; returns when it is not, or when no script runs.
  static void CheckDeadline(lua_State* L);

 private:
  static void* Allocate(void* ud, void* ptr, size_t old_size, size_t new_size);
  static void CountHook(lua_State* L, lua_Debug* ar);
  static int TimedOut(lua_State* L);
  void InstallGuards();
  // lua_pcall with the time-out running; nargs arguments above the function.
  int ProtectedCall(int nargs, int nresults);
  bool PushProcedure(int module, std::string_view procedure);

  const Clock& clock_;
  lua_State* L_ = nullptr;
  Milliseconds timeout_ = kDefaultTimeout;
  size_t memory_limit_ = kDefaultMemoryLimit;
  size_t memory_in_use_ = 0;
  int depth_ = 0;
  std::string app_dir_;
  DateTime started_{};
  bool timed_out_ = false;
};

}  // namespace tagvane
