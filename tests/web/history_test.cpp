// /api/history and /history over a stand-in reading database (the real
// stores are tested with their own suites): the window, the thinning, the
// errors, the chart's line and bands, and escaping.
#include <nlohmann/json.hpp>

#include "api/api_endpoint.h"
#include "receiver/rfid_device.h"
#include "scripting/script_host.h"
#include "web/history_svg.h"
#include "web/web_fixture.h"

namespace tagvane::test {
namespace {

struct FakeHistory final : DatabasePort, HistorySource {
  void Open() override {}
  void Close() override {}
  HistorySource* History() override { return this; }
  void LoadHistory(const HistoryQuery& q, std::function<void(HistoryResult)> done) override {
    last = q;
    HistoryResult r;
    r.ok = true;
    for (int i = 0; i < readings; ++i) {
      const DateTime t = q.from + std::chrono::seconds(i);
      if (t <= q.to) r.readings.push_back({t, static_cast<int16_t>(40 + i % 50)});
    }
    r.turns.push_back({q.from + std::chrono::minutes(5), true, 100, "Keys<b>", "Hall"});
    if (hold) {
      held = [done, r] { done(r); };
    } else {
      done(std::move(r));
    }
  }
  HistoryQuery last;
  bool hold = false;  // answer only when held() is called
  std::function<void()> held;
  int readings = 20;
};

class HistoryTest : public ::testing::Test {
 protected:
  HistoryTest() : fx_("UseSQL=1\r\n") {
    auto db = std::make_unique<FakeHistory>();
    db_ = db.get();
    fx_.app().SetDatabase(std::move(db));
    InstallApi(fx_.server(), fx_.app(), InstallScripting(fx_.app()));
    auto d = fx_.AddDevice("1A2B");
    d->SetTag("Keys");
    d->SetInUse(true);
    fx_.app().Tables().TagTable.Set("Keys", d);
  }
  nlohmann::json Api(const std::string& query, int* status = nullptr) {
    const std::string a = fx_.Get("/api/history?" + query);
    if (status) *status = std::atoi(a.substr(9, 3).c_str());
    return nlohmann::json::parse(BodyOf(a), nullptr, false);
  }
  WebFixture fx_;
  FakeHistory* db_ = nullptr;
};

TEST_F(HistoryTest, ApiWindowThinningAndErrors) {
  int status = 0;
  auto j = Api("tag=keys&from=05/12/2026%2014:00:00&to=2026-12-05T15:00:00Z", &status);
  ASSERT_EQ(status, 200);
  EXPECT_EQ(db_->last.tag_id, "1A2B");
  EXPECT_EQ(j["from"], "05/12/2026 14:00:00");
  EXPECT_EQ(j["readings"].size(), 20u);
  EXPECT_EQ(j["readings"][0]["strength"], 40);
  EXPECT_FALSE(j["thinned"]);
  EXPECT_EQ(j["turns"][0]["status"], "ON");
  EXPECT_EQ(j["turns"][0]["name"], "Keys<b>");

  db_->readings = 25000;  // more than the cap: thinned evenly, first and last kept
  j = Api("tag=1A2B&hours=24", &status);
  EXPECT_EQ(db_->last.to - db_->last.from, std::chrono::hours(24));
  EXPECT_EQ(j["readings"].size(), 10000u);
  EXPECT_EQ(j["readings_in_window"], 25000);
  EXPECT_TRUE(j["thinned"]);
  EXPECT_EQ(j["readings"][9999]["strength"], 40 + 24999 % 50);

  for (const char* bad : {"tag=nosuch", "", "tag=Keys&from=yesterday", "tag=Keys&hours=0",
                          "tag=Keys&from=05/12/2026%2016:00:00&to=05/12/2026%2015:00:00"}) {
    j = Api(bad, &status);
    EXPECT_EQ(status, 400) << bad;
    EXPECT_TRUE(j.contains("parameter")) << bad;
  }
}

// An answer that comes later keeps its place on a keep-alive connection: the
// call pipelined behind it waits, then both come in order.
TEST_F(HistoryTest, ALaterAnswerKeepsItsPlaceOnTheConnection) {
  db_->hold = true;
  Client c(fx_);
  c.Send("GET /api/history?tag=Keys HTTP/1.1\r\n\r\nGET /api/Sunset HTTP/1.1\r\n\r\n");
  EXPECT_EQ(c.ReadSome(2), "");
  ASSERT_TRUE(db_->held);
  db_->held();
  std::string both;
  fx_.PumpUntil([&] {
    both += c.ReadSome(1);
    return both.find("\"type\"") != std::string::npos;
  });
  const size_t history = both.find("\"readings\"");
  EXPECT_NE(history, std::string::npos);
  EXPECT_LT(history, both.find("\"type\""));
  EXPECT_FALSE(c.closed());
}

TEST_F(HistoryTest, PageDrawsLineAndBandsEscapedOrSaysThereIsNoDatabase) {
  std::string page = BodyOf(fx_.Get("/history?tag=Keys&hours=1"));
  EXPECT_NE(page.find("<svg"), std::string::npos);
  EXPECT_NE(page.find("class=\"tvline\""), std::string::npos);
  EXPECT_NE(page.find("class=\"tvon\""), std::string::npos);
  EXPECT_NE(page.find("class=\"tvoff\""), std::string::npos);  // before the On turn
  EXPECT_NE(page.find("Keys&lt;b&gt;"), std::string::npos);
  EXPECT_EQ(page.find("Keys<b>"), std::string::npos);
  EXPECT_NE(BodyOf(fx_.Get("/history")).find("/history?tag=Keys"), std::string::npos);
  EXPECT_NE(fx_.Get("/history?tag=nosuch").find(" 400 "), std::string::npos);
  fx_.app().GetSettings().UseSQL = 0;
  EXPECT_NE(fx_.Get("/history?tag=Keys").find("No reading database is configured"),
            std::string::npos);
}

// The state at the window's start comes from the last turn before it when
// the store found one; only without it is it guessed.
TEST(PresenceBands, StartFromTheTurnBeforeTheWindow) {
  const DateTime from = MakeDateTime(2026, 12, 1, 10, 0, 0);
  const DateTime to = from + std::chrono::hours(1);
  const DateTime mid = from + std::chrono::minutes(20);
  const HistoryTurn on{from - std::chrono::hours(3), true, 100, "Keys", "Hall"};
  const HistoryTurn off{mid, false, 0, "Keys", "Hall"};
  struct Case {
    std::vector<HistoryTurn> turns;
    std::optional<HistoryTurn> before;
    int status_now;
    std::vector<bool> bands;  // On or Off, in order
  };
  const Case cases[] = {
      {{}, on, 3, {true}},               // a past window: On then, though Off now
      {{}, std::nullopt, 2, {true}},     // no turn ever: the state now
      {{}, std::nullopt, 0, {}},         // nothing known: no band
      {{off}, on, 3, {true, false}},     // On until the turn
      {{off}, std::nullopt, 3, {true, false}},  // the other state before the first turn
  };
  for (const Case& c : cases) {
    const auto bands = PresenceBands(c.turns, c.before, from, to, c.status_now);
    std::vector<bool> got;
    for (const auto& b : bands) got.push_back(b.on);
    EXPECT_EQ(got, c.bands);
    if (!bands.empty()) {
      EXPECT_EQ(bands.front().from, from);
    }
  }
}

}  // namespace
}  // namespace tagvane::test
