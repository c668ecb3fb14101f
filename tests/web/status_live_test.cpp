#include "web/status_live.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "receiver/rfid_device.h"
#include "ui/web_ui.h"
#include "web/web_fixture.h"

namespace tagvane::test {
namespace {

using json = nlohmann::json;

TEST(StatusLive, SendsOnlyChangedRowsAndForgetsGoneDevices) {
  WebFixture fx;
  StatusLive live(fx.app());
  auto a = fx.AddDevice("0001");
  auto b = fx.AddDevice("0002");
  b->SetLocation("Caf\xe9 \"<b>\\\x01");
  json first = json::parse(live.Json(""));
  ASSERT_EQ(first["rows"].size(), 2u);
  EXPECT_EQ(first["rows"][1]["location"], "Caf\u00e9 \"<b>\\\u0001");
  const std::string seq = std::to_string(first["seq"].get<uint64_t>());
  EXPECT_TRUE(json::parse(live.Json(seq))["rows"].empty());  // nothing changed
  a->SetDeviceStatus(kStatusOn);
  a->SetDeviceLastChange(fx.clock().Now());
  const json turned = json::parse(live.Json(seq))["rows"];
  ASSERT_EQ(turned.size(), 1u);
  EXPECT_EQ(turned[0]["state"], "ON");
  EXPECT_EQ(turned[0]["changed"], "Today 3:04:05 PM");
  // A page of an earlier run, or garbage, gets every row.
  for (const char* since : {"99999", "abc"}) EXPECT_EQ(json::parse(live.Json(since))["rows"].size(), 2u);
  // What is kept follows the table, however often the page polls.
  for (int i = 0; i < 1000; ++i) live.Json(seq);
  fx.app().Tables().DeviceTable.Remove(b->DC());
  live.Json(seq);
  EXPECT_EQ(live.Remembered(), 1u);
}

TEST(StatusLive, PollCarriesTheIndicatorAndClosesLikeAPage) {
  WebFixture fx;
  WebUi ui(fx.app(), &fx.web());
  fx.AddDevice("0001");
  const std::string answer = fx.Get("/status/live?since=");
  EXPECT_NE(HeaderOf(answer).find("Connection: close\r\n"), std::string::npos);
  EXPECT_TRUE(json::parse(BodyOf(answer)).contains("blinks"));
  EXPECT_TRUE(fx.PumpUntil([&] { return fx.server().SocketsOpen() == 0; }));
}

}  // namespace
}  // namespace tagvane::test
