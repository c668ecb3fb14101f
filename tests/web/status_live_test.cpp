#include "web/status_live.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "receiver/rfid_device.h"
#include "ui/web_ui.h"
#include "web/web_fixture.h"

namespace tagvane::test {
namespace {

using json = nlohmann::json;

std::vector<std::string> Codes(const json& answer) {
  std::vector<std::string> codes;
  for (const auto& row : answer["rows"]) codes.push_back(row["dc"]);
  return codes;
}

TEST(StatusLive, SendsOnlyChangedRowsAndForgetsGoneDevices) {
  WebFixture fx;
  StatusLive live(fx.app());
  auto a = fx.AddDevice("0001");
  auto b = fx.AddDevice("0002");
  // Names and locations from users and other receivers: markup, quotes,
  // a backslash and bytes above 0x7F come back as the same characters.
  b->SetTag("<script>\"x\\</script>");
  b->SetLocation("Caf\xe9 'n\x01");
  json first = json::parse(live.Json(""));
  ASSERT_EQ(first["rows"].size(), 2u);
  EXPECT_EQ(first["rows"][1]["tag"], "<script>\"x\\</script>");
  EXPECT_EQ(first["rows"][1]["location"], "Caf\u00e9 'n\u0001");
  EXPECT_EQ(first["rows"][1]["state"], "OFF");
  const std::string seq = std::to_string(first["seq"].get<uint64_t>());
  EXPECT_TRUE(json::parse(live.Json(seq))["rows"].empty());  // nothing changed

  a->SetDeviceStatus(kStatusOn);
  a->SetFigureOfMerit(100);
  a->SetDeviceLastChange(fx.clock().Now());
  json turned = json::parse(live.Json(seq));
  ASSERT_EQ(Codes(turned), std::vector<std::string>{a->DC()});
  EXPECT_EQ(turned["rows"][0]["state"], "ON");
  EXPECT_EQ(turned["rows"][0]["fom"], 100);
  EXPECT_EQ(turned["rows"][0]["changed"], "Today 3:04:05 PM");
  // A page of an earlier run, or garbage, gets every row.
  for (const char* since : {"99999", "abc", "-1"}) {
    EXPECT_EQ(json::parse(live.Json(since))["rows"].size(), 2u) << since;
  }
  // What is kept follows the table, however often the page polls.
  for (int i = 0; i < 1000; ++i) live.Json(seq);
  EXPECT_EQ(live.Remembered(), 2u);
  fx.app().Tables().DeviceTable.Remove(b->DC());
  live.Json(seq);
  EXPECT_EQ(live.Remembered(), 1u);
}

TEST(StatusLive, PollAnswersAndClosesLikeAPage) {
  WebFixture fx;
  WebUi ui(fx.app(), &fx.web(), LinkControl{});
  fx.AddDevice("0001")->SetTag("Keys");
  const std::string answer = fx.Get("/status/live?since=");
  EXPECT_NE(HeaderOf(answer).find("Content-Type: application/json\r\n"), std::string::npos);
  EXPECT_NE(HeaderOf(answer).find("Connection: close\r\n"), std::string::npos);
  const json body = json::parse(BodyOf(answer));
  EXPECT_EQ(body["rows"][0]["tag"], "Keys");
  EXPECT_TRUE(body.contains("blinks"));  // the indicator rides along
  EXPECT_TRUE(fx.PumpUntil([&] { return fx.server().SocketsOpen() == 0; }));
}

}  // namespace
}  // namespace tagvane::test
