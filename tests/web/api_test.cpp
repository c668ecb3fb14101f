// The JSON API under /api/ through real loopback sockets: every answer
// kind, names in any case, parameters by name and by position, the errors,
// who may call, the self-description and CreateObject.
#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include "api/api_endpoint.h"
#include "core/dates.h"
#include "core/ini_tool.h"
#include "receiver/rfid_device.h"
#include "scripting/script_host.h"
#include "scripting/wrapper_file.h"
#include "web/web_fixture.h"
#include "xap/xap_message.h"

namespace tagvane::test {
namespace {

using json = nlohmann::json;

struct Reply {
  int status = 0;
  std::string head;
  json body;
};

class ApiTest : public ::testing::Test {
 protected:
  explicit ApiTest(const std::string& ini = "") : fx_(ini) {
    WriteFile(fx_.dir() / "Scripts/calc.txt", "function answer(x)\n  return 6 * 7\nend\n");
    host_ = &InstallScripting(fx_.app());
    host_->Start();
    InstallApi(fx_.server(), fx_.app(), *host_, "job-secret");
  }

  Reply Parse(const std::string& answer) {
    Reply r;
    r.head = HeaderOf(answer);
    if (answer.size() > 12) r.status = std::atoi(answer.substr(9, 3).c_str());
    r.body = json::parse(BodyOf(answer), nullptr, false);
    return r;
  }
  // Calls carry the job token (as the daemon's own jobs do) unless the
  // test clears auth_.
  Reply Get(const std::string& path, std::string headers = "", const char* source = nullptr) {
    Client c(fx_, 0, source);
    if (headers.empty()) headers = auth_;
    c.Send("GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + headers + "\r\n");
    return Parse(c.ReadAll());
  }
  Reply Post(const std::string& member, const std::string& body, std::string headers = "",
             const char* source = nullptr) {
    Client c(fx_, 0, source);
    if (headers.empty()) headers = auth_;
    c.Send("POST /api/" + member +
           " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Type: application/json\r\n" +
           headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    return Parse(c.ReadAll());
  }
  std::string Setting(const std::string& key) {
    return fx_.app().Ini().GetIniSetting("Test", key, "unset");  // the scripts' default file
  }

  WebFixture fx_;
  ScriptHost* host_ = nullptr;
  std::string auth_ = "Authorization: Bearer job-secret\r\n";
};

json Result(const Reply& r) { return r.body.value("result", json()); }

TEST_F(ApiTest, AnswersEveryKindByNameOrPositionInAnyCase) {
  auto device = fx_.AddDevice("1A2B");
  const std::string code = device->DC();
  device->SetTag("Keys");
  device->SetDeviceStatus(3);
  fx_.app().Tables().TagTable.Set("Keys", device);

  Reply r = Post("SetDeviceString", json{{"sDC", code}, {"s", "Caf\u00e9"}}.dump());
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, (json{{"result", nullptr}, {"type", "null"}}));
  EXPECT_NE(r.head.find("Content-Type: application/json"), std::string::npos);
  EXPECT_NE(r.head.find("Content-Length: "), std::string::npos);
  EXPECT_EQ(device->DeviceString(), "Caf\xe9");  // one byte per character

  r = Get("/api/devicestring?SDC=" + code);
  EXPECT_EQ(r.body, (json{{"result", "Caf\u00e9"}, {"type", "text"}}));
  EXPECT_EQ(Result(Post("DeviceStatus", "[\"nosuch\"]")), 17);
  EXPECT_EQ(Post("ISON", "[\"nosuch\"]").body["type"], "boolean");
  EXPECT_EQ(Result(Post("SetDeviceValue", "{\"sdc\": \"" + code + "\", \"ivalue\": \"2.5\"}")),
            nullptr);
  EXPECT_EQ(device->Status(), 2);  // halves to even

  Post("SetDeviceLastChange", json{code, "01/02/2026 10:11:12"}.dump());
  r = Get("/api/DeviceLastChange?sDC=" + code);
  EXPECT_EQ(r.body, (json{{"result", "01/02/2026 10:11:12"}, {"type", "date"}}));

  // A collection keeps its order; nothing is null.
  r = Get("/api/Request?sTag=keys");
  EXPECT_EQ(r.body["type"], "collection");
  EXPECT_EQ(BodyOf(fx_.Exchange("GET /api/Request?sTag=keys HTTP/1.0\r\n\r\n")),
            "{\"result\":{\"value\":\"ON\",\"lastchange\":\"01/02/2026 10:11:12\"},"
            "\"type\":\"collection\"}");
  EXPECT_EQ(Get("/api/TagList?sTag=nobody").body, (json{{"result", nullptr}, {"type", "null"}}));

  EXPECT_EQ(Post("RunEx", "[\"calc.txt\", \"answer\", \"\"]").body,
            (json{{"result", 42}, {"type", "number"}}));

  // A captured message, with its header and sections in order.
  Post("SelectXapMessage", "[\"\", \"test.class\", \"\", \"\", \"job.txt\"]");
  XapMessage m;
  m.FromXap("xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=test.class\nsource=a.b.c\n}\n"
            "body\n{\nZeta=1\nalpha=two\n}\n");
  host_->CaptureMessage(m);
  r = Get("/api/GetXapMessage?sScriptHandle=1");
  ASSERT_EQ(r.body["type"], "message") << r.body.dump();
  const json& msg = r.body["result"];
  EXPECT_EQ(msg["class"], "test.class");
  EXPECT_EQ(msg["source"], "a.b.c");
  ASSERT_EQ(msg["sections"].size(), 1u);
  EXPECT_EQ(msg["sections"][0]["name"], "body");
  EXPECT_EQ(msg["sections"][0]["items"].dump(), "{\"Zeta\":\"1\",\"alpha\":\"two\"}");
  XapMessage again;  // the text parses back to the same message
  again.FromXap(msg["text"].get<std::string>());
  EXPECT_EQ(again.MsgSource(), "a.b.c");
  EXPECT_EQ(again.GetItem("body", "alpha"), "two");
}

TEST_F(ApiTest, RefusesBadCallsWithJsonErrorsAndWritesNothing) {
  auto expect_error = [](const Reply& r, int status, const std::string& parameter = "") {
    EXPECT_EQ(r.status, status) << r.head;
    EXPECT_TRUE(r.body.contains("error")) << r.body.dump();
    EXPECT_NE(r.head.find("Content-Type: application/json"), std::string::npos);
    if (!parameter.empty()) {
      EXPECT_EQ(r.body.value("parameter", ""), parameter);
    }
  };
  expect_error(Get("/api/NoSuchMember"), 400);
  expect_error(Post("DeviceString", "{}"), 400, "sDC");
  expect_error(Post("DeviceString", "{\"sDC\": \"x\", \"extra\": 1}"), 400, "extra");
  expect_error(Post("DeviceString", "[\"a\", \"b\"]"), 400);
  expect_error(Post("SetDeviceValue", "[\"x\", \"abc\"]"), 400, "iValue");
  expect_error(Post("SetDeviceValue", "[\"x\", 32768]"), 400, "iValue");  // a 16-bit field
  expect_error(Post("SetDeviceStatus", "[\"x\", 40000]"), 400, "iStatus");
  expect_error(Post("SetDeviceLastChange", "[\"x\", \"soon\"]"), 400, "dDate");
  expect_error(Post("DeviceString", "[[1]]"), 400, "sDC");
  expect_error(Post("DeviceString", "[\"\\u20ac\"]"), 400, "sDC");
  expect_error(Post("DeviceString", "{\"sDC\": "), 400);
  expect_error(Get("/api/DeviceString?sDC=%4"), 400);
  expect_error(Post("CreateObject", "{\"progid\": \"Shell.Application\"}"), 400);
  expect_error(Parse(fx_.Exchange("PUT /api/Sunrise HTTP/1.0\r\n\r\n")), 405);
  expect_error(Post("WriteLog", "[\"a\", \"" + std::string(70000, 'x') + "\"]"), 413);

  // Texts that would break a stored line or a message are refused whole.
  for (const char* bad : {"a\\r\\nb=c", "a\\u0000b", "a\\u0003b"}) {
    expect_error(Post("SaveIniSetting", std::string("[\"Test\", \"k\", \"") + bad + "\"]"), 400,
                 "Value");
  }
  expect_error(Get("/api/SaveIniSetting?Group=Test&KEY=k%0A&Value=v"), 400, "KEY");
  expect_error(Post("WriteLog", "[\"a\", \"line\\nbreak\"]"), 400, "message");
  EXPECT_EQ(Setting("k"), "unset");
  // The NUL and U+0001 separators of a message body are its syntax.
  EXPECT_EQ(Post("SendXapMessage",
                 "[\"\", \"c.d\", \"s\", \"a\\u0001b\\u0000c\\u0001d\", \"\", \"\", \"\"]")
                .status,
            200);

  // INI names stay inside Config/.
  Post("SaveIniSetting", "[\"Test\", \"k\", \"v\", \"../../escaped.ini\"]");
  EXPECT_FALSE(std::filesystem::exists(fx_.dir().parent_path() / "escaped.ini"));
  EXPECT_FALSE(std::filesystem::exists(fx_.dir() / "escaped.ini"));
}

TEST_F(ApiTest, DescribesEveryMemberAndCreateObjectReloadsTheMainScript) {
  const Reply r = Get("/api/");
  ASSERT_EQ(r.status, 200);
  const json& members = r.body["members"];
  ASSERT_EQ(members.size(), 38u);
  EXPECT_EQ(members[0]["name"], "SendUDPMessage");
  EXPECT_EQ(members[27]["name"], "SetDeviceValue");
  EXPECT_EQ(members[27]["parameters"][1],
            (json{{"name", "iValue"}, {"type", "integer"}, {"optional", false}}));
  EXPECT_EQ(members[11]["parameters"][3]["optional"], true);  // GetIniSetting's sFile
  EXPECT_EQ(members[36]["name"], "CreateObject");
  EXPECT_EQ(members[37]["name"], "JobStatus");

  // The main script counts its loads; plain calls never reload it.
  WriteFile(fx_.dir() / "Scripts/Tagvane.txt",
            "SaveIniSetting('Test', 'loads', tostring(tonumber(GetIniSetting('Test', 'loads', "
            "'0')) + 1))\nfunction Main(x) end\n");
  Post("ReadScript", "");
  EXPECT_EQ(Setting("loads"), "1");
  Post("WriteLog", "{\"c\": \"t\", \"message\": \"m\"}");
  EXPECT_EQ(Setting("loads"), "1");
  EXPECT_EQ(Post("CreateObject", "{\"progid\": \"tagwell.application\"}").status, 200);
  EXPECT_EQ(Setting("loads"), "2");
}

TEST_F(ApiTest, ScriptPathsStayBelowScriptsAndSpawnWritesWhatItWasGiven) {
  const std::vector<std::tuple<std::string, std::string, std::string>> refused = {
      {"RunEx", R"(["//etc/passwd", "main", ""])", "sFilename"},
      {"RunEx", R"(["\\\\server\\x.txt", "main", ""])", "sFilename"},
      {"RunEx", R"(["C:x.txt", "main", ""])", "sFilename"},
      {"Run", R"(["../Config/x.txt"])", "sFilename"},
      {"Run", R"(["/sub/../../x.txt"])", "sFilename"},
      {"SelectXapMessage", R"(["", "c.d", "", "", "//tmp/evil.txt"])", "sScriptIn"},
      {"DeSelectXapMessage", R"(["", "c.d", "", "", "a//b"])", "sScript"},
      {"Spawn", R"(["../../tmp/evil", "Main", ""])", "sScriptName"},
  };
  for (const auto& [member, body, parameter] : refused) {
    const Reply r = Post(member, body);
    EXPECT_EQ(r.status, 400) << member << " " << body;
    EXPECT_EQ(r.body.value("parameter", ""), parameter) << r.body.dump();
  }
  for (const char* name : {"calc.txt", "/calc.txt", "\\calc.txt"}) {
    EXPECT_EQ(Result(Post("RunEx", json{name, "answer", ""}.dump())), 42) << name;
  }
  // A quote in the parameter is written doubled and reads back as one.
  EXPECT_EQ(Post("Spawn", R"(["job", "Report", "say \"hi\" now"])").status, 200);
  EXPECT_EQ(ParseWrapper(ReadFile(fx_.dir() / "Scripts/~job.wsf")).parameter, "say \"hi\" now");
  EXPECT_EQ(Post("Spawn", R"(["job", "Report \"x\" y", ""])").body.value("parameter", ""),
            "sProcedure");
}

class ApiAccessTest : public ApiTest {
 protected:
  ApiAccessTest() : ApiTest("APIAccess=any\r\nAPIToken=s3cret\r\n") { auth_.clear(); }
  void Set(const std::string& key, const std::string& value) {
    fx_.app().Ini().SaveIniSetting("RFID", key, value, kSettingsFile);
  }
};

TEST_F(ApiAccessTest, ReadsOpenToLoopbackChangesNeedASetTokenCodeAlwaysNeedsOne) {
  const std::string bearer = "Authorization: Bearer s3cret\r\n";
  const std::string job = "Authorization: Bearer job-secret\r\n";
  const std::string none = "X-None: 1\r\n";
  const char* other = "127.0.0.2";  // stands for a client elsewhere
  EXPECT_EQ(Get("/api/Sunset", bearer, other).status, 200);
  EXPECT_EQ(Get("/api/Sunset", none, other).status, 401);
  EXPECT_EQ(Get("/api/Sunset", "Authorization: Bearer s3cre\r\n", other).status, 401);
  EXPECT_EQ(Get("/api/Sunset", job, other).status, 401);  // the jobs' token is for loopback only

  // From loopback, by what the member does: {call, status without a token,
  // with APIToken}; the job token always passes. With APIToken set, then without.
  struct Case {
    std::string member, body;
    int bare, token;
  };
  auto check = [&](const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      EXPECT_EQ(Post(c.member, c.body, none).status, c.bare) << c.member;
      EXPECT_EQ(Post(c.member, c.body, bearer).status, c.token) << c.member;
      EXPECT_EQ(Post(c.member, c.body, job).status, 200) << c.member;
    }
  };
  check({{"IsOn", R"(["x"])", 200, 200},
         {"GetIniSetting", R"(["RFID", "APIToken", "", "Tagvane.ini"])", 401, 200},
         {"SetDeviceString", R"(["x", "y"])", 401, 200},
         {"RunEx", R"(["calc.txt", "answer", ""])", 401, 200},
         {"SaveIniSetting", R"(["Test", "k", "v"])", 401, 200},
         {"SendUDPMessage", R"(["x"])", 401, 200}});

  Set("APIAccess", "loopback");
  EXPECT_EQ(Get("/api/Sunset", bearer, other).status, 403);

  Set("APIAccess", "any");
  Set("APIToken", "");
  EXPECT_EQ(Get("/api/Sunset", none, other).status, 403);  // never without a token
  EXPECT_EQ(Get("/api/", none, other).status, 403);
  check({{"IsOn", R"(["x"])", 200, 200},
         {"SetDeviceString", R"(["x", "y"])", 200, 200},
         {"RunEx", R"(["calc.txt", "answer", ""])", 403, 403},
         {"CreateObject", R"(["Tagwell.Application"])", 403, 403}});
  EXPECT_THAT(Post("Run", R"(["calc.txt"])", none).body.dump(),
              ::testing::HasSubstr("needs the API token, but none is set"));
}

}  // namespace
}  // namespace tagvane::test
