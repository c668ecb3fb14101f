// The JSON API under /api/ through real loopback sockets: every answer
// kind, names in any case, parameters by name and by position, the errors,
// who may call, the self-description and CreateObject.
#include <nlohmann/json.hpp>

#include "api/api_endpoint.h"
#include "core/dates.h"
#include "core/ini_tool.h"
#include "receiver/rfid_device.h"
#include "scripting/script_host.h"
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
    InstallApi(fx_.server(), fx_.app(), *host_);
  }

  Reply Parse(const std::string& answer) {
    Reply r;
    r.head = HeaderOf(answer);
    if (answer.size() > 12) r.status = std::atoi(answer.substr(9, 3).c_str());
    r.body = json::parse(BodyOf(answer), nullptr, false);
    return r;
  }
  Reply Get(const std::string& path, const std::string& headers = "",
            const char* source = nullptr) {
    Client c(fx_, 0, source);
    c.Send("GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + headers + "\r\n");
    return Parse(c.ReadAll());
  }
  Reply Post(const std::string& member, const std::string& body, const std::string& headers = "",
             const char* source = nullptr) {
    Client c(fx_, 0, source);
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
  ASSERT_EQ(members.size(), 37u);
  EXPECT_EQ(members[0]["name"], "SendUDPMessage");
  EXPECT_EQ(members[27]["name"], "SetDeviceValue");
  EXPECT_EQ(members[27]["parameters"][1],
            (json{{"name", "iValue"}, {"type", "long"}, {"optional", false}}));
  EXPECT_EQ(members[11]["parameters"][3]["optional"], true);  // GetIniSetting's sFile
  EXPECT_EQ(members[36]["name"], "CreateObject");

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

class ApiAccessTest : public ApiTest {
 protected:
  ApiAccessTest() : ApiTest("APIAccess=any\r\nAPIToken=s3cret\r\n") {}
  void Set(const std::string& key, const std::string& value) {
    fx_.app().Ini().SaveIniSetting("RFID", key, value, kSettingsFile);
  }
};

TEST_F(ApiAccessTest, LoopbackByDefaultOthersOnlyWithTokenAndAny) {
  const std::string bearer = "Authorization: Bearer s3cret\r\n";
  const char* other = "127.0.0.2";  // stands for a client elsewhere
  EXPECT_EQ(Get("/api/Sunset", bearer, other).status, 200);
  EXPECT_EQ(Get("/api/Sunset", "", other).status, 401);
  EXPECT_EQ(Get("/api/Sunset", "Authorization: Bearer s3cre\r\n", other).status, 401);
  EXPECT_EQ(Get("/api/Sunset").status, 401);  // with a token, loopback needs it too
  EXPECT_EQ(Get("/api/Sunset", bearer).status, 200);

  Set("APIAccess", "loopback");
  EXPECT_EQ(Get("/api/Sunset", bearer, other).status, 403);
  EXPECT_EQ(Get("/api/Sunset", bearer).status, 200);

  Set("APIAccess", "any");
  Set("APIToken", "");
  EXPECT_EQ(Get("/api/Sunset", "", other).status, 403);  // never without a token
  EXPECT_EQ(Get("/api/", "", other).status, 403);
  EXPECT_EQ(Get("/api/Sunset").status, 200);
}

}  // namespace
}  // namespace tagvane::test
