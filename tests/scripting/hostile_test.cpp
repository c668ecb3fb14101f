// Hostile scripts on the real engine with a short time-out: nothing a
// script does may hang or crash the daemon, and what it is refused is said.
#include "script_fixture.h"
#include "scripting/script_objects.h"
#include "xap/xap_message.h"

namespace tagvane::test {
namespace {

// Every look at the time moves it on by one millisecond, so C code that
// checks its deadline reaches the time-out without anyone advancing it.
class TickingClock final : public Clock {
 public:
  explicit TickingClock(ManualClock& clock) : clock_(clock) {}
  DateTime Now() const override {
    clock_.Advance(Milliseconds(1));
    return clock_.Now();
  }

 private:
  ManualClock& clock_;
};

class Hostile : public ScriptFixture {
 protected:
  void StartHostile(const std::string& main = "function Main(t) end\n") {
    app_clock_ = &ticking_;
    Script("Tagvane.txt", main);
    StartApp();
    host_->SetScriptTimeout(std::chrono::milliseconds(200));
  }
  // The error message of running body in a fresh module ("" when none).
  std::string ErrorOf(const std::string& body) {
    Script("h.txt", "function main()\n" + body + "\nend\n");
    host_->RunEx("h.txt", "main", "");
    const auto records = host_->RecentErrors();
    const auto events = Events();
    return events.empty() || records.empty() ? "" : records.back().message;
  }
  TickingClock ticking_{clock_};
};

TEST_F(Hostile, LongRunningLibraryCallsStopAtTheTimeOutAndTheQueueGoesOn) {
  StartHostile(
      "local s = string.rep('a', 20000)\n"
      "local calls = {\n"
      "  find = function() return string.find(s, '(.-)(.-)(.-)x') end,\n"
      "  match = function() return pcall(string.match, s, '(.-)(.-)(.-)x') end,\n"
      "  gmatch = function() for a in s:gmatch('(.-)(.-)x') do end end,\n"
      "  gsub = function() return s:gsub('(.-)(.-)(.-)x', '') end,\n"
      "  move = function() table.move({}, 1, math.maxinteger - 1, 2) end,\n"
      "  insert = function() table.insert(setmetatable({}, {__len = function() return 1 << 60 end}), 1, 0) end,\n"
      "  concat = function() table.concat(setmetatable({}, {__index = function() return '' end}), '', 1, 1 << 60) end,\n"
      "  close = function() local x <close> = setmetatable({}, {__close = function() while true do end end}) end,\n"
      "}\n"
      "function Main(t) if calls[t] then calls[t]() end WriteLog('ran', t) end\n");
  const std::vector<std::string> names = {"find", "match", "gmatch", "gsub", "move", "insert",
                                          "concat", "close"};
  for (const auto& n : names) host_->QueueScript(n);
  host_->QueueScript("next");
  Tick();
  const auto events = Events();
  ASSERT_EQ(events.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_NE(events[i].find("Script Run Error Script timed out"), std::string::npos)
        << names[i] << ": " << events[i];
  }
  EXPECT_EQ(WriteLogs(), std::vector<std::string>{"ran=next"});
  EXPECT_EQ(app_->GetMetrics().Value("tagvane_script_timeouts_total"), names.size());
}

TEST_F(Hostile, PatternsKeepLuasResults) {
  StartHostile();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"table.concat({string.find('hello world', 'o w')}, ',')", "5,7"},
      {"table.concat({string.find('a.b', '.', 1, true)}, ',')", "2,2"},
      {"table.concat({string.find('abcabc', 'b', -3)}, ',')", "5,5"},
      {"table.concat({string.find('key=val', '(%w+)=(%w+)')}, ',')", "1,7,key,val"},
      {"string.match('  trim me  ', '^%s*(.-)%s*$')", "trim me"},
      {"table.concat({string.match('hello', '()ll()')}, ',')", "3,5"},
      {"string.match('f(a(b)c)d', '%b()')", "(a(b)c)"},
      {"string.match('say \"hi\" ok', '([\"\\'])(.-)%1')", "\""},
      {"string.match('a]b', '[]]')", "]"},
      {"string.match('123abc456', '[^%d]+')", "abc"},
      {"string.match('x12y', '%d?%d')", "12"},
      {"string.match('a$b', '$b')", "$b"},
      {"tostring(string.match('abc', '^b'))", "nil"},
      {"table.concat({string.gsub('hello world', 'o', '0')}, ',')", "hell0 w0rld,2"},
      {"string.gsub('abc', '%w', '%0%0')", "aabbcc"},
      {"string.gsub('hello world', '(%w+)', '<%1>')", "<hello> <world>"},
      {"string.gsub('hello world', '%w+', '%0 %0', 1)", "hello hello world"},
      {"string.gsub('THE (quick) fox', '%f[%a]%a+', 'X')", "X (X) X"},
      {"string.gsub('aaa', '^a', 'b')", "baa"},
      {"table.concat({string.gsub('a b', '%s*', '-')}, ',')", "-a-b-,3"},
      {"string.gsub('$x $y', '%$(%w+)', {x = 1})", "1 $y"},
      {"string.gsub('a,b', '%a', string.upper)", "A,B"},
      {"(function() local t = {} for k, v in ('a=1, b=2'):gmatch('(%w+)=(%w+)') do "
       "t[#t + 1] = k .. v end return table.concat(t, ';') end)()",
       "a1;b2"},
      {"select(2, pcall(string.find, 'a', '%'))", "malformed pattern (ends with '%')"},
      {"select(2, pcall(string.find, 'a', '[a'))", "malformed pattern (missing ']')"},
      {"select(2, pcall(string.gsub, 'a', 'a', '%2'))", "invalid capture index %2"},
      {"select(2, pcall(string.rep, 'x', 1 << 30))",
       "string.rep: the result would be larger than the limit of 16777216 bytes"},
      {"#string.rep('ab', 3, ',') .. string.rep('ab', 2, ',')", "8ab,ab"},
      {"table.concat({1, 2, 3}, '-', 2) .. table.concat(table.move({1, 2, 3}, 1, 3, 2), '')",
       "2-31123"},
  };
  for (const auto& [expr, want] : cases) EXPECT_EQ(Eval(expr), want) << expr;
}

TEST_F(Hostile, NothingEndsOrReconfiguresTheDaemonOrRunsAtClose) {
  StartHostile();
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"os.exit(7)", "os.exit is not available to scripts"},
      {"os.setlocale('C')", "os.setlocale can only read the locale"},
      {"setmetatable({}, {__gc = function() while true do end end})",
       "__gc metamethods are not available to scripts"},
      {"WriteLog('big', string.rep('x', 100000))",
       " bytes is over the limit of 64000 bytes for one xAP message"},
      {"SendUDPMessage(string.rep('x', 70000))",
       "SendUDPMessage: 70000 bytes is over the limit of 65507 bytes for one UDP datagram"},
  };
  for (const auto& [body, want] : refused) {
    EXPECT_NE(ErrorOf(body).find(want), std::string::npos) << body;
  }
  EXPECT_TRUE(raw_.empty());
  EXPECT_EQ(Eval("tostring(debug.sethook) .. tostring(debug.getinfo) .. type(debug.traceback)"),
            "nilnilfunction");
  EXPECT_EQ(Eval("tostring(require('debug').sethook) .. tostring(package.loadlib)"), "nilnil");
  EXPECT_EQ(Eval("os.getenv('TAGVANE_APP_DIR')"), app_->AppPath());
  EXPECT_EQ(Eval("tostring(getmetatable(CreateObject('Tagwell.Queue'))) .. "
                 "tostring(getmetatable(xap)) .. tostring(getmetatable(_ENV))"),
            "protectedprotectedprotected");
  // "Read Script" and shut-down close the engine: nothing of a script runs.
  ErrorOf("pcall(setmetatable, {}, {__gc = function() while true do end end})");
  app_->GetHooks().InitScriptControl();
  EXPECT_TRUE(host_->MainLoaded());
  host_->Release();
}

struct EndedJob final : SpawnedJob {
  int ProcessID() const override { return 1; }
  int Status() const override { return 1; }
  int ExitCode() const override { return 0; }
};

TEST_F(Hostile, FinalizersSurviveWrongArgumentsAndASecondCall) {
  StartHostile();
  lua_State* L = host_->Engine().State();
  const std::vector<std::pair<const char*, void (*)(lua_State*)>> kinds = {
      {"Tagvane.Collection", [](lua_State* S) { PushCollection(S, {}); }},
      {"Tagvane.XapMessage", [](lua_State* S) { PushXapMessage(S, std::make_shared<XapMessage>()); }},
      {"Tagvane.Queue", [](lua_State* S) { PushQueue(S); }},
      {"Tagvane.Process", [](lua_State* S) { PushProcess(S, std::make_shared<EndedJob>()); }},
  };
  for (const auto& [meta, push] : kinds) {
    push(L);
    lua_setglobal(L, "obj");
    luaL_getmetatable(L, meta);
    lua_getfield(L, -1, "__gc");
    lua_remove(L, -2);
    for (const char* arg : {"nil", "xap", "obj", "obj"}) {
      lua_pushvalue(L, -1);
      lua_getglobal(L, arg);
      EXPECT_EQ(lua_pcall(L, 1, 0, 0), LUA_OK) << meta << " " << arg;
    }
    lua_pop(L, 1);
    EXPECT_NE(Eval("select(2, pcall(function() return obj.data end))").find("object was released"),
              std::string::npos)
        << meta;
  }
}

TEST_F(Hostile, RunErrorsNameTheirFileAndProcedure) {
  StartHostile("-- #include \"lib.txt\"\nfunction Main(t) Fail() end\n");
  Script("lib.txt", "function Fail()\n  error('broken')\nend\n");
  host_->InitScriptControl();
  host_->QueueScript("x");
  Tick();
  const auto records = host_->RecentErrors();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].file, "lib.txt");
  EXPECT_EQ(records[0].procedure, "Main");
  EXPECT_EQ(records[0].line, 2);
  EXPECT_EQ(records[0].message, "broken");
  for (int i = 0; i < 12; ++i) ErrorOf("error('e" + std::to_string(i) + "')");
  EXPECT_EQ(host_->RecentErrors().size(), ScriptHost::kRecentErrorLimit);
  EXPECT_EQ(host_->RecentErrors().back().message, "e11");
}

}  // namespace
}  // namespace tagvane::test
