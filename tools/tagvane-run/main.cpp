// tagvane-run: runs one job wrapper written by Spawn. The job's script runs
// here, in its own process, and reaches the running daemon through its JSON
// API: "xap", the member globals and CreateObject call the daemon.
//
// Exit codes: 0 the procedure ran; 1 a script error (the message on standard
// error) or a procedure that is not there; 2 a wrapper or script file that
// cannot be read or understood, or bad options.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <lua.hpp>
#include <memory>
#include <optional>

#include "api/api_client.h"
#include "api/api_proxy.h"
#include "core/paths.h"
#include "core/text.h"
#include "scripting/lua_args.h"
#include "scripting/script_engine.h"
#include "scripting/script_files.h"
#include "scripting/script_objects.h"
#include "scripting/wrapper_file.h"

namespace fs = std::filesystem;
using namespace tagvane;

namespace {

constexpr int kScriptFailed = 1;
constexpr int kBadInput = 2;

int Fail(int code, const std::string& message) { return ReportFailure("tagvane-run", code, message); }

// The wrapper's src, backslashes read as "/", relative to the wrapper's
// folder; when absent there, its file name in the application's Scripts
// folder (any letter case), or without an application folder in the
// wrapper's own folder.
std::optional<fs::path> FindScript(const fs::path& wrapper_dir, const std::string& src,
                                   const std::string& app_dir, std::string* looked) {
  const std::string name = ReplaceAll(src, "\\", "/");
  const fs::path direct = (wrapper_dir / name).lexically_normal();
  *looked = direct.string();
  std::error_code ec;
  if (fs::is_regular_file(direct, ec)) return direct;
  const std::string file = fs::path(name).filename().string();
  if (file.empty()) return std::nullopt;
  std::optional<fs::path> found;
  if (!app_dir.empty()) {
    found = ResolveScriptPath(app_dir, file);
    *looked += ", " + (fs::path(app_dir) / "Scripts" / file).string();
  } else {
    found = ResolveBelow(wrapper_dir, file);
    *looked += ", " + (wrapper_dir / file).string();
  }
  if (found && fs::is_regular_file(*found, ec)) return found;
  return std::nullopt;
}

// An included name: below the application's Scripts folder as the daemon
// resolves it, or below the script's own folder without one.
std::optional<fs::path> ResolveInclude(const std::string& app_dir, const fs::path& script_dir,
                                       std::string_view name) {
  if (!app_dir.empty() || IsFullScriptPath(name)) return ResolveScriptPath(app_dir, name);
  while (!name.empty() && (name.front() == '/' || name.front() == '\\')) name.remove_prefix(1);
  return ResolveBelow(script_dir, name);
}

std::string PopError(lua_State* L) {
  const char* s = lua_tostring(L, -1);
  std::string message = s ? s : std::string("(error object is a ") + luaL_typename(L, -1) + ")";
  lua_pop(L, 1);
  return message;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli{"tagvane-run: runs a job wrapper written by Spawn against the running daemon."};
  EndpointOptions options;
  std::string token;
  std::string app_dir;
  std::string wrapper_name;
  auto* url = cli.add_option("--url", options.url, "The daemon's API, http://HOST:PORT");
  cli.add_option("--app-dir", app_dir, "Application folder (HTTP port, token, Scripts folder)")
      ->excludes(url);
  cli.add_option("--token", token, "API token (overrides any other)");
  cli.add_option("WRAPPER", wrapper_name, "The wrapper file (~NAME.wsf)")->required();
  try {
    cli.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = cli.exit(e);
    return rc == 0 ? 0 : kBadInput;
  }
  options.app_dir = app_dir;
  if (cli.count("--token")) options.token = token;
  if (app_dir.empty()) app_dir = ProcessEnv("TAGVANE_APP_DIR").value_or("");

  // The wrapper.
  std::error_code ec;
  const auto size = fs::file_size(wrapper_name, ec);
  if (!ec && size > kMaxWrapperSize) return Fail(kBadInput, wrapper_name + ": too large for a wrapper");
  const std::optional<std::string> text = ReadWholeFile(wrapper_name);
  if (!text) return Fail(kBadInput, "cannot read " + wrapper_name);
  WrapperFile wrapper;
  try {
    wrapper = ParseWrapper(*text);
  } catch (const WrapperFormatError& e) {
    return Fail(kBadInput, wrapper_name + ":" + std::to_string(e.line()) + ": " + e.what());
  }

  const fs::path wrapper_dir = fs::absolute(wrapper_name, ec).parent_path();
  std::string looked;
  const auto script = FindScript(wrapper_dir, wrapper.script_source, app_dir, &looked);
  if (!script) {
    return Fail(kBadInput, wrapper_name + ":2: script \"" + wrapper.script_source +
                               "\" not found (looked for " + looked + ")");
  }

  ApiAddress endpoint;
  try {
    endpoint = ChooseEndpoint(options, ProcessEnv);
  } catch (const std::exception& e) {
    return Fail(kBadInput, e.what());
  }
  const ApiClient client(endpoint);

  std::unique_ptr<lua_State, decltype(&lua_close)> state(luaL_newstate(), &lua_close);
  lua_State* L = state.get();
  if (!L) return Fail(kScriptFailed, "cannot start the script engine");
  luaL_openlibs(L);
  RegisterScriptObjects(L);
  PublishApiProxy(L, client);

  // Line 5 of the wrapper: the job's application object, before the
  // script's top level runs.
  if (luaL_dostring(L, "xap = CreateObject(\"Tagwell.Application\")") != LUA_OK) {
    return Fail(kScriptFailed, PopError(L));
  }

  // The script's top level, includes first, as the daemon loads a file.
  const std::string top = script->string();
  const fs::path script_dir = script->parent_path();
  std::optional<std::string> load_error;
  bool top_read = false;
  IncludeLoader loader;
  loader.identity = [&](std::string_view name) {
    if (name == top) return top;
    auto p = ResolveInclude(app_dir, script_dir, name);
    return p ? p->lexically_normal().string() : std::string(name);
  };
  loader.read = [&](std::string_view name) -> std::optional<std::string> {
    if (name == top) {
      auto code = ReadWholeFile(*script);
      top_read = code.has_value();
      return code;
    }
    auto p = ResolveInclude(app_dir, script_dir, name);
    if (!p || !fs::is_regular_file(*p, ec)) return std::nullopt;
    return ReadWholeFile(*p);
  };
  loader.add_code = [&](std::string_view code, std::string_view name) {
    if (load_error) return;
    const std::string chunk = "=" + std::string(name);
    if (luaL_loadbufferx(L, code.data(), code.size(), chunk.c_str(), "t") != LUA_OK ||
        lua_pcall(L, 0, 0, 0) != LUA_OK) {
      load_error = PopError(L);
    }
  };
  loader.cycle = [&](std::string_view name) {
    std::cerr << "tagvane-run: " << name << " is already being loaded (include cycle)"
              << std::endl;
  };
  ExpandScript(top, loader);
  if (!top_read) return Fail(kBadInput, "cannot read " + top);
  if (load_error) return Fail(kScriptFailed, *load_error);

  lua_pushglobaltable(L);
  if (!ReplaceTableWithFunction(L, wrapper.procedure)) {
    return Fail(kScriptFailed, "no procedure \"" + wrapper.procedure + "\" in " + top);
  }
  // As in the daemon: one text for a procedure that declares one
  // parameter (or ...), none for one that declares none.
  lua_Debug ar;
  lua_pushvalue(L, -1);
  lua_getinfo(L, ">u", &ar);
  if (ar.nparams >= 2) {
    return Fail(kScriptFailed, "wrong number of arguments: " + wrapper.procedure + " declares " +
                                   std::to_string(ar.nparams) + " parameters");
  }
  const int nargs = ar.nparams == 1 || ar.isvararg ? 1 : 0;
  if (nargs) PushText(L, wrapper.parameter);
  if (lua_pcall(L, nargs, 0, 0) != LUA_OK) return Fail(kScriptFailed, PopError(L));
  lua_pushnil(L);
  lua_setglobal(L, "xap");  // Set xap = Nothing
  return 0;
}
