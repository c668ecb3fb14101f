// Time and size of drawing the status page for 100, 1,000 and 10,000 tags,
// and of the page's live poll for the same tables (every row, and a poll
// when nothing changed), to compare in the same run.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "bench_tags.h"
#include "core/app.h"
#include "receiver/device_table.h"
#include "receiver/rfid_device.h"
#include "web/request.h"
#include "web/response.h"
#include "web/status_live.h"
#include "web/web_server.h"
#include "scratch_app.h"

namespace {

using namespace tagvane;

struct Site {
  ScratchApp scratch{"[RFID]\r\nHTTPPort=\r\n"};
  std::unique_ptr<App>& app = scratch.app;
  WebServer* web = nullptr;

  explicit Site(int tags) {
    auto server = std::make_unique<WebServer>(*app);
    web = server.get();
    app->SetHttpServer(std::move(server));
    app->InitXap();
    AddBenchTags(*app, tags, [](RFIDDevice& device, int i) {
      device.SetInUse(i % 3 != 0);
      device.SetDeviceString(
          "<table><td><img alt='' src='/Tagvane/images/sensors/on.gif'>&nbsp;(87)&nbsp;[42]"
          "</td></table>");
    });
  }
};

void BM_StatusPage(benchmark::State& state) {
  Site site(static_cast<int>(state.range(0)));
  size_t bytes = 0;
  for (auto _ : state) {
    Request request;
    request.ParsePage("GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    request.FlushRequest();
    Response response(site.web->Server());
    const std::string page = site.web->Pages()->StatusPage(request, response);
    bytes = page.size();
    benchmark::DoNotOptimize(page.data());
  }
  state.counters["page_bytes"] = static_cast<double>(bytes);
  state.counters["tags"] = static_cast<double>(state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_StatusPage)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

// range(1): 0 every row (a page that just opened), 1 a poll after which
// nothing changed (a page that keeps up).
void BM_StatusLive(benchmark::State& state) {
  Site site(static_cast<int>(state.range(0)));
  StatusLive live(*site.app);
  const std::string first = live.Json("");
  const std::string since = state.range(1) ? first.substr(7, first.find(',') - 7) : "";
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string answer = live.Json(since);
    bytes = answer.size();
    benchmark::DoNotOptimize(answer.data());
  }
  state.counters["answer_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_StatusLive)
    ->Args({100, 0})
    ->Args({100, 1})
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Args({10000, 1})
    ->Unit(benchmark::kMicrosecond);

void BM_ParseRequest(benchmark::State& state) {
  const std::string text =
      "POST /status HTTP/1.1\r\nHost: 127.0.0.1:8017\r\nUser-Agent: Mozilla/5.0\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 120\r\n\r\n"
      "clientinput=yes&clientvalue=yes&UpdateButton=Save+Changes&ShowSetup=1&Tag0=front+door"
      "&Location0=Hall%20way&Accept0=on&OnWeight0=2.5";
  for (auto _ : state) {
    Request request;
    request.ParsePage(text);
    request.FlushRequest();
    benchmark::DoNotOptimize(request.Form("Tag0").size());
  }
}
BENCHMARK(BM_ParseRequest);

}  // namespace
