// The companion programs' side of the API without a daemon: the wrapper
// reader, where calls go, byte texts in JSON, answers turned into script
// values, and the exit codes of tagvane-run and tagvane-ctl when there is
// nothing to talk to.
#include <gtest/gtest.h>

#include <lua.hpp>

#include "api/api_client.h"
#include "api/api_proxy.h"
#include "scripting/script_files.h"
#include "scripting/script_objects.h"
#include "scripting/wrapper_file.h"
#include "support/rig.h"
#include "support/test_support.h"

namespace tagvane {
namespace {

TEST(WrapperFile, ReadsBackWhatSpawnWritesWithEitherLineEnd) {
  const std::string text = WrapperText("Lights.TXT", "  Switch", "a \"b\" \xE9 ");
  WrapperFile w = ParseWrapper(text);
  EXPECT_EQ(w.job_id, "Lights");
  EXPECT_EQ(w.script_source, "..\\Lights.txt");
  EXPECT_EQ(w.procedure, "Switch");
  EXPECT_EQ(w.parameter, "a \"b\" \xE9 ");
  w = ParseWrapper(ReplaceAll(text, "\r\n", "\n") + "\n\n");
  EXPECT_EQ(w.parameter, "a \"b\" \xE9 ");
  EXPECT_EQ(ParseWrapper(WrapperText("x", "P", "")).parameter, "");
}

TEST(WrapperFile, NamesTheLineOfEachFault) {
  const std::string good = WrapperText("Job", "Proc", "p");
  const auto lines = Split(good, "\r\n");
  auto with = [&](size_t index, const std::string& line) {
    auto copy = lines;
    copy[index] = line;
    return Join(copy, "\r\n");
  };
  const std::pair<std::string, size_t> cases[] = {
      {"", 1},
      {"<job id=\"Job\">\r\n<script", 2},
      {with(0, "<job name=\"Job\">"), 1},
      {with(1, "<script language=\"VBScript\"/>"), 2},
      {with(1, "<script src=\"\"/>"), 2},
      {with(2, "<script>"), 3},
      {with(4, "Set xap = Nothing"), 5},
      {with(5, "Proc p"), 6},
      {with(5, "\"p\""), 6},
      {with(5, "Proc \""), 6},
      {with(8, "</Jobs>"), 9},
      {good + "more\r\n", 10},
      {std::string(kMaxWrapperSize + 1, ' '), 0},
  };
  for (const auto& [text, line] : cases) {
    try {
      ParseWrapper(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const WrapperFormatError& e) {
      EXPECT_EQ(e.line(), line) << text << " -> " << e.what();
    }
  }
}

TEST(ApiClient, ChoosesTheEndpointFromOptionsFolderOrEnvironment) {
  test::TempDir dir;
  test::WriteFile(dir / "Config/Tagvane.ini",
                  "[rfid]\r\nhttpport=\"9123\"\r\nApiToken=\"s3cret\" \r\n");
  std::map<std::string, std::string> env;
  const EnvLookup get = [&](const char* name) -> std::optional<std::string> {
    auto it = env.find(name);
    return it == env.end() ? std::nullopt : std::optional(it->second);
  };
  // A folder named by TAGVANE_APP_DIR comes before the machine's own, so
  // an installed service does not change the answer.
  test::TempDir plain;
  test::WriteFile(plain / "Config/Tagvane.ini", "[RFID]\r\n");
  env = {{"TAGVANE_APP_DIR", plain.Path().string()}};
  ApiAddress ep = ChooseEndpoint({}, get);
  EXPECT_EQ(ep.Url(), "http://127.0.0.1:8017");
  EXPECT_EQ(ep.token, "");
  env = {{"TAGVANE_API_URL", "http://localhost:9000/"}, {"TAGVANE_API_TOKEN", "t"}};
  ep = ChooseEndpoint({}, get);
  EXPECT_EQ(ep.Url(), "http://localhost:9000");
  EXPECT_EQ(ep.token, "t");
  ep = ChooseEndpoint({"", dir.Path().string(), std::nullopt}, get);
  EXPECT_EQ(ep.port, 9123);
  EXPECT_EQ(ep.token, "s3cret");
  ep = ChooseEndpoint({"http://[::1]:81", "", std::string("mine")}, get);
  EXPECT_EQ(ep.host, "::1");
  EXPECT_EQ(ep.Url(), "http://[::1]:81");
  EXPECT_EQ(ep.token, "mine");
  EXPECT_EQ(ParseApiUrl("http://h").port, 80);
  for (const char* bad : {"https://h:1", "http://:80", "http://h:0", "http://h:65536", "http://h:8x",
                          "http://h/api", "http://u@h", "http://[::1"}) {
    EXPECT_THROW(ParseApiUrl(bad), std::invalid_argument) << bad;
  }
  EXPECT_THROW(ChooseEndpoint({"", "", std::string("a\r\nX: y")}, get), std::invalid_argument);
}

TEST(ApiClient, ErrorsAndTextsComeBackAsBytes) {
  EXPECT_EQ(JsonTextToBytes("x\xC3\xA9"), "x\xE9");
  EXPECT_EQ(JsonTextToBytes("\xE2\x82\xAC"), "\xE2\x82\xAC");  // beyond U+00FF: kept
  ApiReply reply{400, ApiJson::parse(R"({"error": "bad \u00e9", "parameter": "iValue"})")};
  EXPECT_EQ(reply.ErrorText(), "bad \xE9 (parameter iValue)");
  EXPECT_EQ((ApiReply{401, nullptr}.ErrorText()), "HTTP status 401");
}

// Runs chunk with the answer's value as "v" and returns what it gives back.
std::string Check(const std::string& answer, const std::string& chunk) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  RegisterScriptObjects(L);
  PushApiResult(L, ApiJson::parse(answer));
  lua_setglobal(L, "v");
  std::string out;
  if (luaL_dostring(L, chunk.c_str()) != LUA_OK || !lua_isstring(L, -1)) {
    out = std::string("error: ") + luaL_tolstring(L, -1, nullptr);
  } else {
    out = lua_tostring(L, -1);
  }
  lua_close(L);
  return out;
}

TEST(ApiProxy, AnswersBecomeTheValuesScriptsGetInsideTheDaemon) {
  EXPECT_EQ(Check(R"({"result": "x\u00e9", "type": "text"})", "return v"), "x\xE9");
  EXPECT_EQ(Check(R"({"result": 17, "type": "number"})", "return math.type(v) .. v"), "integer17");
  EXPECT_EQ(Check(R"({"result": false, "type": "boolean"})", "return tostring(v)"), "false");
  EXPECT_EQ(Check(R"({"result": null, "type": "null"})", "return tostring(v)"), "nil");
  EXPECT_EQ(Check(R"({"result": {"value": "ON", "b": "1", "a": "\u00ff"}, "type": "collection"})",
                  "local s = '' for k, x in pairs(v) do s = s .. k .. '=' .. x .. ';' end "
                  "return s .. #v .. v.VALUE"),
            "value=ON;b=1;a=\xFF;3ON");
  EXPECT_EQ(Check(R"({"result": {"class": "c.x", "text": "xap-header\n{\nv=12\nhop=1\n)"
                  R"(uid=FF.0001:00\nclass=c.x\nsource=a.b.c\n}\nbody\n{\nk=\u00e9\n}\n"},)"
                  R"( "type": "message"})",
                  "return v:GetItem('body', 'k') .. tostring(v:CompareClass('C.X'))"),
            "\xE9true");
  EXPECT_EQ(Check(R"({"result": {"ProcessID": 42, "Status": 1, "ExitCode": 3}, "type": "process"})",
                  "return v.ProcessID .. v.Status .. v.ExitCode"),
            "4213");
}

// A program's exit status and what it wrote.
std::pair<int, std::string> RunTool(const std::string& program, const std::vector<std::string>& args) {
  test::ChildProcess child(test::BuiltProgram(program), args);
  const int status = child.Wait(std::chrono::seconds(30));
  return {status, child.Output()};
}

TEST(CompanionPrograms, RefuseWhatTheyCannotUseWithExitCodeTwo) {
  test::TempDir dir;
  test::WriteFile(dir / "Scripts/~Bad.wsf", WrapperText("Bad", "Go", "x").substr(0, 60));
  test::WriteFile(dir / "Scripts/~Lost.wsf", WrapperText("Lost", "Go", "x"));
  const std::string url = "http://127.0.0.1:" + std::to_string(test::FreeLoopbackPort());
  const std::string bad = (dir / "Scripts/~Bad.wsf").string();
  auto [rc, out] = RunTool("tagvane-run", {"--url", url, bad});
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find(bad + ":2: ends after line 2"), std::string::npos) << out;
  std::tie(rc, out) = RunTool("tagvane-run", {"--app-dir", dir.Path().string(),
                                          (dir / "Scripts/~Lost.wsf").string()});
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("script \"..\\Lost.txt\" not found"), std::string::npos) << out;
  std::tie(rc, out) = RunTool("tagvane-run", {(dir / "none.wsf").string()});
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("cannot read"), std::string::npos) << out;

  EXPECT_EQ(RunTool("tagvane-ctl", {}).first, 2);
  EXPECT_EQ(RunTool("tagvane-ctl", {"--url", "ftp://x", "IsOn", "a"}).first, 2);
  EXPECT_EQ(RunTool("tagvane-ctl", {"--json", "{", "IsOn"}).first, 2);
  std::tie(rc, out) = RunTool("tagvane-ctl", {"--url", url, "DeviceStatus", "-x"});
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("cannot connect to " + url), std::string::npos) << out;
}

TEST(CompanionPrograms, AJobThatCannotReachTheDaemonFailsInItsFirstCall) {
  test::TempDir dir;
  test::WriteFile(dir / "Scripts/~Job.wsf", WrapperText("Job", "Go", "x"));
  test::WriteFile(dir / "Scripts/Job.txt", "function Go(p) WriteLog('t', p) end\n");
  const std::string url = "http://127.0.0.1:" + std::to_string(test::FreeLoopbackPort());
  auto [rc, out] = RunTool("tagvane-run", {"--url", url, (dir / "Scripts/~Job.wsf").string()});
  EXPECT_EQ(rc, 1);
  EXPECT_NE(out.find("WriteLog: cannot connect"), std::string::npos) << out;
}

}  // namespace
}  // namespace tagvane
