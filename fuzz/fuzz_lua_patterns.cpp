// Throws arbitrary patterns, subjects and replacement texts at the bounded
// pattern functions in a real engine with a short time-out: every call must
// end with a result or a Lua error, never a crash or a hang.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <lua.hpp>
#include <string_view>

#include "core/clock.h"
#include "scripting/script_engine.h"

namespace {

constexpr std::string_view kCalls = R"lua(
if W == 0 then string.find(S, P)
elseif W == 1 then string.match(S, P, -3)
elseif W == 2 then string.gsub(S, P, R)
else for a in string.gmatch(S, P) do end end
)lua";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tagvane::SystemClock clock;
  static tagvane::ScriptEngine engine(clock);
  if (!engine.Open()) {
    engine.Reset();
    engine.SetTimeout(std::chrono::milliseconds(50));
    engine.SetMemoryLimit(64u << 20);
  }
  if (size < 3) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data + 3), size - 3);
  const size_t a = data[0] % (input.size() + 1);
  const size_t b = a + data[1] % (input.size() - a + 1);
  const int module = engine.NewModule();
  lua_State* L = engine.State();
  lua_pushlstring(L, input.data(), a);
  lua_setglobal(L, "S");
  lua_pushlstring(L, input.data() + a, b - a);
  lua_setglobal(L, "P");
  lua_pushlstring(L, input.data() + b, input.size() - b);
  lua_setglobal(L, "R");
  lua_pushinteger(L, data[2] % 4);
  lua_setglobal(L, "W");
  tagvane::ScriptError err;
  engine.AddCode(module, kCalls, "fuzz", &err);  // a result or an error, nothing else
  engine.ReleaseModule(module);
  return 0;
}
