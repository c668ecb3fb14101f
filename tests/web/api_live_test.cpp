// The API's own connections and the event stream, through real loopback
// sockets: keep-alive, the bounds and the idle limit, the page server's
// crowding reset beside them, the transport faults (targets holding "http",
// split bodies, oversized bodies, unknown methods), /api/tags and the
// stream (a decision arrives, replay, a stuck reader dropped, escaping).
#include <nlohmann/json.hpp>

#include "api/api_endpoint.h"
#include "api/api_server.h"
#include "receiver/rfid_device.h"
#include "scripting/script_host.h"
#include "web/web_fixture.h"

namespace tagvane::test {
namespace {

using json = nlohmann::json;

const std::string kJobToken = "Authorization: Bearer job-secret\r\n";

class ApiLiveTest : public ::testing::Test {
 protected:
  // Calls carry the token of the daemon's own jobs, which members that
  // write files need.
  ApiLiveTest()
      : api_(InstallApi(fx_.server(), fx_.app(), InstallScripting(fx_.app()), "job-secret")) {}

  // Reads until n whole answers (by Content-Length) have arrived.
  std::vector<std::string> Answers(Client& c, size_t n) {
    std::vector<std::string> out;
    std::string buffer;
    fx_.PumpUntil([&] {
      buffer += c.ReadSome(1);
      for (size_t head; out.size() < n && (head = buffer.find("\r\n\r\n")) != std::string::npos;) {
        const size_t at = buffer.find("Content-Length: ");
        const size_t length = at < head ? std::stoul(buffer.substr(at + 16)) : 0;
        if (buffer.size() < head + 4 + length) break;
        out.push_back(buffer.substr(0, head + 4 + length));
        buffer.erase(0, head + 4 + length);
      }
      return out.size() >= n || c.closed();
    });
    return out;
  }
  std::string Call(Client& c, const std::string& target) {
    c.Send("GET " + target + " HTTP/1.1\r\nHost: x\r\n" + kJobToken + "\r\n");
    const auto a = Answers(c, 1);
    return a.empty() ? "" : BodyOf(a[0]);
  }

  WebFixture fx_;
  ApiServer& api_;
};

TEST_F(ApiLiveTest, KeepsConnectionsOpenWithinTheirBounds) {
  Client c(fx_);
  std::string pipelined;
  for (int i = 0; i < 50; ++i) pipelined += "GET /api/DeviceStatus?sDC=x HTTP/1.1\r\n\r\n";
  c.Send(pipelined);
  const auto answers = Answers(c, 50);
  ASSERT_EQ(answers.size(), 50u);
  EXPECT_EQ(BodyOf(answers[49]), R"({"result":17,"type":"number"})");
  EXPECT_FALSE(c.closed());
  c.Send("GET /api/Sunset HTTP/1.1\r\nConnection: close\r\n\r\n");
  EXPECT_NE(c.ReadAll().find("Connection: close"), std::string::npos);
  EXPECT_TRUE(c.closed());

  // 64 connections; the 65th closes the one idle the longest.
  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < 65; ++i) {
    held.push_back(std::make_unique<Client>(fx_));
    EXPECT_NE(Call(*held.back(), "/api/Sunset"), "") << i;
  }
  held[0]->ReadAll();
  EXPECT_TRUE(held[0]->closed());
  EXPECT_EQ(api_.Connections(), 64u);
  // A crowding reset of the pages leaves every API connection open, and
  // the API's connections never counted among the page sockets.
  EXPECT_EQ(fx_.server().SocketsOpen(), 0);
  std::vector<std::unique_ptr<Client>> pages;
  for (int i = 0; i < 24; ++i) {
    pages.push_back(std::make_unique<Client>(fx_));
    fx_.PumpUntil([&] { return fx_.server().SocketsOpen() == i + 1; });
  }
  const std::string page = fx_.Get("/status");
  EXPECT_TRUE(page.starts_with("HTTP/1.1 200 OK")) << page.substr(0, 200);
  EXPECT_NE(Call(*held[1], "/api/Sunset"), "");
  EXPECT_EQ(api_.Connections(), 64u);

  // An idle connection goes at the idle limit; an unfinished request gets 408.
  api_.SetLimits(300, 300);
  Client slow(fx_);
  slow.Send("POST /api/WriteLog HTTP/1.1\r\nContent-Length: 10\r\n\r\n[\"a\"");
  EXPECT_NE(slow.ReadAll().find("HTTP/1.1 408 "), std::string::npos);
  held[1]->ReadAll();
  EXPECT_TRUE(held[1]->closed());
}

TEST_F(ApiLiveTest, TakesTheTargetAndBodyOfItsOwnConnection) {
  Client c(fx_);
  // Values holding "http" in any case round-trip.
  for (const std::string value : {"HTTPPort", "abcHTTPxyz", "fetched%20http%20page"}) {
    Call(c, "/api/SaveIniSetting?Group=Test&KEY=k&Value=" + value);
    EXPECT_EQ(json::parse(Call(c, "/api/GetIniSetting?Group=Test&KEY=k&Default=HTTP"))["result"],
              ReplaceAll(value, "%20", " "));
  }
  // A body split around another client's request is assembled whole.
  Client other(fx_);
  const std::string body = R"(["Test", "split", "whole value"])";
  c.Send("POST /api/SaveIniSetting HTTP/1.1\r\n" + kJobToken +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, 9));
  c.ReadSome(3);
  EXPECT_NE(Call(other, "/api/Sunset"), "");
  c.Send(body.substr(9));
  EXPECT_EQ(BodyOf(Answers(c, 1).at(0)), R"({"result":null,"type":"null"})");
  EXPECT_EQ(fx_.app().Ini().GetIniSetting("Test", "split", ""), "whole value");

  struct Case {
    std::string request;
    std::string status;
    bool closes;
  };
  const Case cases[] = {
      {"POSX /api/Sunrise HTTP/1.1\r\n\r\n", "405", false},
      {"HEAD /api/ HTTP/1.1\r\n\r\n", "405", false},
      {"POST /api/WriteLog HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n" + std::string(70000, 'x'),
       "413", true},
      {"GET /api/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "501", true},
      {"GET /api/ HTTP/9\r\n\r\n", "400", true},
  };
  for (const Case& k : cases) {
    Client e(fx_);
    e.Send(k.request);
    const auto a = Answers(e, 1);
    ASSERT_EQ(a.size(), 1u) << k.request.substr(0, 30);
    EXPECT_EQ(a[0].substr(9, 3), k.status);
    EXPECT_EQ(e.ReadSome(5).empty() && e.closed(), k.closes) << k.status;
  }
}

TEST_F(ApiLiveTest, ListsTagsAndStreamsTheirDecisionsEscaped) {
  auto device = fx_.AddDevice("1A2B");
  device->SetTag("<script>\"x\xe9");
  device->SetLocation("Hall & \"Stairs\"");
  device->SetDeviceStatus(kStatusOn);
  device->SetInUse(true);
  fx_.AddDevice("3C4D", "", "OTHER1");
  const json tags = json::parse(BodyOf(fx_.Exchange("GET /api/tags HTTP/1.0\r\n\r\n")))["tags"];
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0]["code"], device->DC());
  EXPECT_EQ(tags[0]["name"], "<script>\"x\u00e9");
  EXPECT_EQ(tags[0]["status"], "ON");
  EXPECT_EQ(tags[0]["receiver"], "local");
  EXPECT_EQ(tags[1]["receiver"], "OTHER1");
  EXPECT_EQ(tags[1]["lastchange"], "01/01/2000 00:00:00");

  Client reader(fx_);
  Client stuck(fx_, 4096);
  for (Client* c : {&reader, &stuck}) c->Send("GET /api/events HTTP/1.1\r\n\r\n");
  EXPECT_NE(reader.ReadSome(3).find("Content-Type: text/event-stream"), std::string::npos);
  fx_.app().GetHooks().DeviceDecision(device->DC());
  std::string seen;
  fx_.PumpUntil([&] { return (seen += reader.ReadSome(1)).find("\n\n", 1) != std::string::npos; });
  EXPECT_NE(seen.find("event: tag\ndata: {\"code\":\"" + device->DC() +
                      "\",\"name\":\"\\u003cscript\\u003e\\\"x\\u00e9\",\"location\":\"Hall "
                      "\\u0026 \\\"Stairs\\\"\""),
            std::string::npos)
      << seen;
  const uint64_t first = api_.Events().LastId();

  // The stuck reader is dropped; the other keeps receiving.
  size_t got = 0;
  for (int i = 0; i < 40; ++i) {
    fx_.app().Log().LogEvent("Test", std::string(100000, 'y'));
    got += reader.ReadSome(2).size();
  }
  EXPECT_GT(got, 40u * 100000u);
  EXPECT_FALSE(reader.closed());
  EXPECT_EQ(api_.Events().Readers(), 1u);
  EXPECT_EQ(fx_.app().GetMetrics().Value("tagvane_api_stream_readers_dropped_total"), 1);

  // A reader that comes back gets what it missed.
  Client back(fx_);
  back.Send("GET /api/events HTTP/1.1\r\nLast-Event-ID: " + std::to_string(first) + "\r\n\r\n");
  std::string replay;
  fx_.PumpUntil([&] { return Occurrences(replay += back.ReadSome(1), "event: log") == 40; });
  EXPECT_EQ(Occurrences(replay, "event: tag"), 0u);
  EXPECT_NE(replay.find("id: " + std::to_string(first + 40) + "\n"), std::string::npos);
}

}  // namespace
}  // namespace tagvane::test
