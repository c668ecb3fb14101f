// The script host: loading with includes, running procedures, the two error
// reports and the time-out.
#include <algorithm>

#include "script_fixture.h"

namespace tagvane::test {
namespace {

using Loading = ScriptFixture;

TEST_F(Loading, IncludesLoadFirstFromSubfoldersAndMissingOnesAreSilent) {
  Script("SUB/Lib.txt", "order = (order or '') .. 'lib;'\nfunction Shared() return 'shared' end\n");
  Script("Tagvane.txt",
         "-- #include \"\\sub\\lib.txt\"\n"
         "-- #include \"/missing.txt\"\n"
         "-- #include without quotes stays a comment\n"
         "order = (order or '') .. 'main;'\n"
         "function Main(t) WriteLog('main', order .. Shared() .. ':' .. t) end\n");
  StartApp();
  EXPECT_TRUE(host_->MainLoaded());
  host_->QueueScript("Keys");
  Tick();
  EXPECT_EQ(WriteLogs(), std::vector<std::string>{"main=lib;main;shared:Keys"});
  for (const auto& e : Events()) EXPECT_EQ(e.find("Error"), std::string::npos) << e;
}

TEST_F(Loading, AnIncludeCycleLoadsEachFileOnceAndIsReportedOnce) {
  Script("a.txt", "--#include \"b.txt\"\nloads = (loads or '') .. 'a'\n"
                  "function main() return loads end\n");
  Script("b.txt", "--#include \"A.TXT\"\n--#include \"b.txt\"\nloads = (loads or '') .. 'b'\n");
  StartApp();
  EXPECT_EQ(ScriptValueText(host_->RunEx("a.txt", "main", "")), "ba");
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("Script-AccumulateReferences A.TXT", 0), 0u) << events[0];
}

TEST_F(Loading, NoMainScriptDropsQueuedTexts) {
  StartApp();
  EXPECT_FALSE(host_->MainLoaded());
  host_->QueueScript("Keys");
  Tick();
  EXPECT_EQ(host_->Queue().size(), 0u);
  EXPECT_FALSE(host_->Queue().QueueTimer().Enabled());
}

using Running = ScriptFixture;

TEST_F(Running, RunExGivesValuesPassesTheParameterAndMatchesNamesIgnoringCase) {
  StartApp();
  Script("p.txt",
         "function Answer() return 42 end\n"
         "function Echo(x) return 'got ' .. x end\n"
         "function Nothing() end\n"
         "function Go() return 'Go' end\nfunction go() return 'go' end\n"
         "function Two(a, b) return a end\n"
         "function Flag() return true end\n");
  EXPECT_EQ(host_->RunEx("p.txt", "answer", "x"), ScriptValue(int64_t{42}));
  EXPECT_EQ(host_->RunEx("p.txt", "ECHO", "it"), ScriptValue(std::string("got it")));
  EXPECT_EQ(host_->RunEx("p.txt", "Nothing", "x"), ScriptValue());
  EXPECT_EQ(host_->RunEx("p.txt", "go", ""), ScriptValue(std::string("go")));
  EXPECT_EQ(host_->RunEx("p.txt", "GO", ""), ScriptValue(std::string("Go")));
  EXPECT_EQ(host_->RunEx("p.txt", "Flag", ""), ScriptValue(true));
  EXPECT_EQ(host_->RunEx("p.txt", "missing", ""), ScriptValue());
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(host_->RunEx("p.txt", "Two", "x"), ScriptValue());
  EXPECT_EQ(Events(), std::vector<std::string>{
                          "Script Run Error wrong number of arguments: Two declares 2 parameters"
                          " / 2 - wrong number of arguments: Two declares 2 parameters@ Line 0 col 0"});
  // Each call loads the file into a fresh module: no globals carried over.
  Script("count.txt", "n = (n or 0) + 1\nfunction main() return n end\n");
  EXPECT_EQ(host_->RunEx("count.txt", "main", ""), ScriptValue(int64_t{1}));
  EXPECT_EQ(host_->RunEx("count.txt", "main", ""), ScriptValue(int64_t{1}));
}

TEST_F(Running, SyntaxAndRunErrorsAreReportedWithTheirLine) {
  StartApp();
  Script("bad.txt", "x = 1\n\nfunction main( return 1 end\n");
  EXPECT_EQ(host_->RunEx("bad.txt", "main", ""), ScriptValue());
  EXPECT_EQ(Events(), std::vector<std::string>{
                          "Error in script syntax <name> or '...' expected near 'return' / bad.txt "
                          "<name> or '...' expected near 'return'@ Line 3 col 0"});
  Script("run.txt", "function main()\n  local t = nil\n  return t.field\nend\n");
  host_->Run("run.txt");
  EXPECT_EQ(Events(), std::vector<std::string>{
                          "Script Run Error attempt to index a nil value (local 't') / 2 - "
                          "attempt to index a nil value (local 't')@ Line 3 col 0"});
  Script("bin.txt", std::string("\x1bLua\x54\x00", 6));
  host_->Run("bin.txt");
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("attempt to load a binary chunk"), std::string::npos) << events[0];
  // load() inside a script refuses binary chunks too.
  EXPECT_EQ(Eval("select(2, load(string.dump(function() end)))"),
            "attempt to load a binary chunk (mode is 't')");
}

TEST_F(Running, TheTimeOutStopsAScriptThatNeverEndsAndTheQueueGoesOn) {
  Script("Tagvane.txt",
         "function Main(t)\n"
         "  if t == 'loop' then\n"
         "    while true do pcall(function() while true do advance(100) end end) end\n"
         "  end\n"
         "  WriteLog('ran', t)\n"
         "end\n");
  StartApp();
  host_->SetScriptTimeout(std::chrono::seconds(5));
  host_->QueueScript("loop");
  host_->QueueScript("next");
  Tick();
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("Script Run Error Script timed out / 2 - Script timed out@ Line ", 0), 0u)
      << events[0];
  EXPECT_EQ(WriteLogs(), std::vector<std::string>{"ran=next"});
}

TEST_F(Running, ASyntaxErrorInTheMainScriptIsReportedOnceAtSetUp) {
  Script("Tagvane.txt", "function Main(t)\n  WriteLog('x' t)\nend\n");
  StartApp();
  const auto& events = app_->Log().Recent();
  ASSERT_EQ(std::count_if(events.begin(), events.end(),
                          [](const LogEntry& e) { return e.text.rfind("Error in script syntax ", 0) == 0; }),
            1);
  EXPECT_TRUE(host_->MainLoaded());
  host_->QueueScript("Keys");
  Tick();
  EXPECT_TRUE(WriteLogs().empty());
}

TEST_F(Running, ReadScriptCommandReloadsTheMainScript) {
  Script("Tagvane.txt", "function Main(t) WriteLog('v1', t) end\n");
  StartApp();
  Script("Tagvane.txt", "function Main(t) WriteLog('v2', t) end\n");
  app_->GetHooks().InitScriptControl();  // what the status page's "Read Script" calls
  host_->QueueScript("a");
  Tick();
  EXPECT_EQ(WriteLogs(), std::vector<std::string>{"v2=a"});
}

}  // namespace
}  // namespace tagvane::test
