// The server's own checks: /metrics in the Prometheus text format with its
// access rule, and the BASIC security mode with users from users.ini.
#include "web/page_gate.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <thread>

#include "receiver/rfid_device.h"
#include "web/api_access.h"
#include "web/basic_auth.h"
#include "web_fixture.h"

namespace tagvane::test {
namespace {

// promtool's verdict when it is installed, else a strict check of the
// format: HELP and TYPE before the samples of each family, names and labels
// well formed, every value a number.
std::string CheckExposition(const std::string& text, const std::filesystem::path& dir) {
  if (std::filesystem::exists("/usr/bin/promtool")) {
    WriteFile(dir / "metrics.txt", text);
    const std::string cmd = "promtool check metrics < " + (dir / "metrics.txt").string() + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    const int rc = p ? pclose(p) : -1;
    return rc == 0 && out.empty() ? "" : "promtool: " + out;
  }
  static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+)");
  static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge))");
  static const std::regex sample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\.)*"(,[a-zA-Z_][a-zA-Z0-9_]*="([^"\\\n]|\\.)*")*\})? (-?[0-9.eE+-]+|NaN|[+-]Inf))");
  std::string family;
  std::smatch m;
  for (const std::string& line : Split(text, '\n')) {
    if (line.empty()) continue;
    if (std::regex_match(line, m, help)) {
      family = m[1];
    } else if (std::regex_match(line, m, type)) {
      if (m[1] != family) return "TYPE without HELP: " + line;
    } else if (!std::regex_match(line, m, sample) || m[1] != family) {
      return "bad line: " + line;
    }
  }
  return "";
}

TEST(Metrics, ExpositionIsValidWithEveryFamilyAndPerTagGauges) {
  WebFixture fx;
  auto keys = fx.AddDevice("1A2B");
  keys->SetInUse(true);
  keys->SetDeviceStatus(kStatusOn);
  keys->SetTag("Ke\"ys\\");
  fx.AddDevice("3C4D");  // not accepted: no per-tag series
  const std::string answer = fx.Get("/metrics");
  EXPECT_NE(HeaderOf(answer).find("HTTP/1.1 200 OK"), std::string::npos) << answer;
  EXPECT_NE(HeaderOf(answer).find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
  const std::string body = BodyOf(answer);
  EXPECT_EQ(CheckExposition(body, fx.dir()), "");
  for (const char* line :
       {"tagvane_tag_present{tag=\"1A2B\"} 1", "tagvane_mqtt_messages_published_total 0",
        "tagvane_script_timeouts_total 0", "tagvane_database_rows_dropped_total 0",
        "tagvane_http_requests_total{kind=\"metrics\"} 1",
        "# TYPE process_start_time_seconds gauge"}) {
    EXPECT_NE(body.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(body.find("3C4D"), std::string::npos);
}

TEST(Metrics, AccessIsForLoopbackOrTheBearerToken) {
  WebFixture fx("APIToken=tok-123\r\n");
  IniCache& ini = fx.app().Ini();
  EXPECT_TRUE(ApiAccessAllowed(ini, "127.0.0.1", ""));
  EXPECT_FALSE(ApiAccessAllowed(ini, "0.0.0.0", ""));
  EXPECT_FALSE(ApiAccessAllowed(ini, "0.0.0.0", "Bearer tok-12"));
  EXPECT_FALSE(ApiAccessAllowed(ini, "0.0.0.0", "Basic tok-123"));
  EXPECT_TRUE(ApiAccessAllowed(ini, "0.0.0.0", "bearer  tok-123 "));
}

// "alice:pa:ss w\xC3\xB6rd", then "alice:nope1" to "alice:nope4", in base64.
const std::string kRight = "YWxpY2U6cGE6c3Mgd8O2cmQ=";
const char* const kWrong[] = {"YWxpY2U6bm9wZTE=", "YWxpY2U6bm9wZTI=", "YWxpY2U6bm9wZTM=",
                              "YWxpY2U6bm9wZTQ="};
std::string Basic(const std::string& base64) { return "Authorization: Basic " + base64 + "\r\n"; }

std::string StatusRequest(const std::string& extra) {
  return "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

// The answer once the daemon's hashing budget lets the check run (a slow
// build may use it up with one check).
std::string Checked(WebFixture& fx, const std::string& request) {
  std::string answer;
  for (int i = 0; i < 50; ++i) {
    answer = fx.Exchange(request);
    if (answer.find("503 Service Unavailable") == std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return answer;
}

TEST(BasicSecurity, ChallengeWrongRightFloodAndUnknownUsers) {
  WebFixture fx("[Settings]\r\nusesecurity=BASIC\r\n");
  SetUserPassword(fx.dir() / "Config", "alice", "pa:ss w\xC3\xB6rd");
  const std::string users = ReadFile(fx.dir() / "Config/users.ini");
  EXPECT_EQ(users.find("w\xC3\xB6rd"), std::string::npos) << "never the clear password";
  EXPECT_NE(users.find("alice=$"), std::string::npos) << users;

  // No credentials, and a forged AUTH_USER header: the challenge.
  for (const std::string& extra : {std::string(), std::string("AUTH_USER: alice\r\n")}) {
    const std::string answer = fx.Exchange(StatusRequest(extra));
    EXPECT_NE(answer.find("HTTP/1.1 401 Unauthorized"), std::string::npos) << answer;
    EXPECT_NE(answer.find("WWW-Authenticate: Basic realm=\"Tagvane\""), std::string::npos);
  }
  // Right password: the page, with the name as the user.
  std::string answer = fx.Exchange(StatusRequest(Basic(kRight)));
  EXPECT_NE(answer.find("HTTP/1.1 200 OK"), std::string::npos) << HeaderOf(answer);
  // A parallel guessing flood from one address: one check, 401; the rest
  // arrive while the address waits out its delay and get 429 unchecked.
  // (After the hashing budget has refilled from the sign-in above.)
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const uint64_t checks = fx.server().Gate().Checks();
  std::vector<std::unique_ptr<Client>> flood;
  for (int i = 0; i < 8; ++i) {
    flood.push_back(std::make_unique<Client>(fx));
    flood.back()->Send(StatusRequest(Basic(kWrong[i % 4])));
  }
  std::string answers;
  for (auto& c : flood) answers += c->ReadAll();
  EXPECT_EQ(Occurrences(answers, "HTTP/1.1 429 Too Many Requests") +
                Occurrences(answers, "HTTP/1.1 503 Service Unavailable"),
            7u)
      << answers;
  EXPECT_EQ(Occurrences(answers, "Retry-After: 1\r\n"), 7u);
  EXPECT_LE(fx.server().Gate().Checks(), checks + 1);
  // The signed-in client is still served meanwhile (its sign-in is
  // remembered, so nothing is hashed), and the help page needs no password.
  answer = fx.Exchange(StatusRequest(Basic(kRight)));
  EXPECT_NE(answer.find("HTTP/1.1 200 OK"), std::string::npos);
  EXPECT_EQ(fx.Exchange("GET /help HTTP/1.1\r\n\r\n").find("401"), std::string::npos);
  // An unknown user costs a check like a known one (a dummy hash), so the
  // answer's timing does not tell the names apart.
  const uint64_t before_unknown = fx.server().Gate().Checks();
  answer = Checked(fx, StatusRequest(Basic("bWFsbG9yeTp4")));  // "mallory:x"
  EXPECT_NE(answer.find("401 Unauthorized"), std::string::npos);
  EXPECT_EQ(fx.server().Gate().Checks(), before_unknown + 1);
  // A new password: the remembered sign-in no longer counts.
  SetUserPassword(fx.dir() / "Config", "alice", "fresh");
  std::this_thread::sleep_for(fx.server().Gate().Throttle().Remaining("127.0.0.1"));
  answer = Checked(fx, StatusRequest(Basic(kRight)));
  EXPECT_NE(answer.find("401 Unauthorized"), std::string::npos);
  // Nothing of the passwords in the log.
  EXPECT_EQ(LogCount(fx.app(), "nope"), 0u);
  EXPECT_EQ(LogCount(fx.app(), "w\xC3\xB6rd"), 0u);
}

TEST(BasicSecurity, UsersFileHashesAndHostileHeaders) {
  TempDir dir;
  SetUserPassword(dir.Path(), "bob", "one");
  SetUserPassword(dir.Path(), "BOB", "two");  // names ignore case: replaced
  const std::string users = ReadFile(dir / "users.ini");
  EXPECT_EQ(users.find("=$"), users.rfind("=$")) << "one entry: " << users;
  EXPECT_THROW(SetUserPassword(dir.Path(), "a:b", "x"), std::runtime_error);
  EXPECT_TRUE(RemoveUser(dir.Path(), "Bob"));
  EXPECT_FALSE(RemoveUser(dir.Path(), "Bob"));

  const std::string hash = HashPassword("secret");
  EXPECT_TRUE(VerifyPassword("secret", hash));
  EXPECT_FALSE(VerifyPassword("Secret", hash));
  EXPECT_NE(HashPassword("secret"), hash) << "salted";
  EXPECT_FALSE(VerifyPassword("", ""));
  EXPECT_FALSE(VerifyPassword("x", "*"));

  EXPECT_FALSE(ParseBasicAuthorization("Basic !!!!"));
  EXPECT_FALSE(ParseBasicAuthorization("Basic bm9jb2xvbg=="));  // "nocolon"
  EXPECT_FALSE(ParseBasicAuthorization("Bearer YTpi"));
  EXPECT_FALSE(ParseBasicAuthorization("Basic " + std::string(5000, 'A')));
  const auto ok = ParseBasicAuthorization("basic YTpiOmM=");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->user, "a");
  EXPECT_EQ(ok->password, "b:c");

  LoginThrottle throttle;
  const auto t0 = LoginThrottle::Clock::now();
  for (int i = 0; i < 20; ++i) throttle.Failure("127.0.0.2", t0);
  EXPECT_EQ(throttle.Delay("127.0.0.2", t0), LoginThrottle::kMaxDelay);
  EXPECT_EQ(throttle.Delay("127.0.0.2", t0 + std::chrono::minutes(16)).count(), 0);
  for (size_t i = 0; i < LoginThrottle::kMaxClients + 10; ++i) {
    throttle.Failure("::1-" + std::to_string(i), t0);
  }
  EXPECT_EQ(throttle.Size(), LoginThrottle::kMaxClients) << "bounded";
  EXPECT_EQ(throttle.Remaining("127.0.0.2", t0), LoginThrottle::kMaxDelay);

  // At most two checks of 33 ms back to back, then one as the credit refills.
  HashBudget budget;
  const auto b0 = HashBudget::Clock::now();
  for (bool expected : {true, true, false}) {
    EXPECT_EQ(budget.Allow(b0), expected);
    if (expected) budget.Charge(std::chrono::milliseconds(33));
  }
  EXPECT_TRUE(budget.Allow(b0 + std::chrono::milliseconds(200)));
}

}  // namespace
}  // namespace tagvane::test

namespace tagvane::test {
namespace {

TEST(StatusPageMqttLine, ShownEscapedInTheSetupSection) {
  WebFixture fx("ShowSetup=True\r\n");
  struct FakeMqtt final : MqttPort {
    void Start() override {}
    void Close() override {}
    std::string StatusLine() const override { return "not connected to <b>&"; }
  };
  fx.app().SetMqtt(std::make_unique<FakeMqtt>());
  const std::string page = fx.Get("/status");
  EXPECT_NE(page.find("MQTT: not connected to &lt;b&gt;&amp;"), std::string::npos);
}

}  // namespace
}  // namespace tagvane::test
