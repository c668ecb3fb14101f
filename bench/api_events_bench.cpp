// Decision-to-reader latency of the API's event stream: 50 readers on
// loopback sockets, one presence decision at a time announced through the
// DeviceDecision hook, timed until the "tag" event has arrived whole at
// the first reader and at the last of the 50 (median and 99th percentile
// as counters).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>

#include "api/api_endpoint.h"
#include "bench_tags.h"
#include "core/app.h"
#include "scripting/script_host.h"
#include "web/web_server.h"

namespace {

using namespace tagvane;
using SteadyClock = std::chrono::steady_clock;

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

int Reader(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const char ask[] = "GET /api/events HTTP/1.1\r\n\r\n";
  send(fd, ask, sizeof ask - 1, 0);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// Reads what is there; true once text holds a whole tag event.
bool HasEvent(int fd, std::string& text) {
  char buffer[65536];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) text.append(buffer, n);
  const size_t at = text.find("event: tag\n");
  return at != std::string::npos && text.find("\n\n", at) != std::string::npos;
}

void DecisionToFiftyReaders(benchmark::State& state) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "tagvane-bench-XXXXXX").string();
  const std::filesystem::path dir = mkdtemp(tmpl.data());
  std::filesystem::create_directories(dir / "Config");
  const int port = FreePort();
  std::ofstream(dir / "Config/Tagvane.ini") << "[RFID]\r\nHTTPPort=" << port << "\r\n";
  AppOptions options;
  options.app_dir = dir;
  options.computer_name = "bench";
  auto app = std::make_unique<App>(options);
  auto web = std::make_unique<WebServer>(*app);
  WebServer* server = web.get();
  app->SetHttpServer(std::move(web));
  app->InitXap();
  InstallApi(server->Server(), *app, InstallScripting(*app));
  AddBenchTags(*app, 1, [](RFIDDevice& d, int) { d.SetInUse(true); });
  const DevicePtr device = app->Tables().DeviceTable.begin()->second;

  std::vector<int> readers;
  std::vector<std::string> texts(50);
  for (int i = 0; i < 50; ++i) readers.push_back(Reader(port));
  for (int i = 0; i < 200; ++i) app->Loop().PumpFor(Milliseconds(1));
  std::vector<double> first, last;
  for (auto _ : state) {
    for (int fd : readers) {
      std::string drop;
      HasEvent(fd, drop);
    }
    for (auto& t : texts) t.clear();
    device->SetDeviceStatus(device->DeviceStatus() == kStatusOn ? kStatusOff : kStatusOn);
    const auto start = SteadyClock::now();
    app->GetHooks().DeviceDecision(device->DC());
    std::vector<bool> done(readers.size());
    size_t arrived = 0;
    while (arrived < readers.size()) {
      app->Loop().Pump();
      for (size_t i = 0; i < readers.size(); ++i) {
        if (done[i] || !HasEvent(readers[i], texts[i])) continue;
        done[i] = true;
        const double us = std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count();
        if (++arrived == 1) first.push_back(us);
        if (arrived == readers.size()) {
          last.push_back(us);
          state.SetIterationTime(us / 1e6);
        }
      }
    }
  }
  auto put = [&](std::vector<double>& v, const std::string& name) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return;
    state.counters[name + "_median_us"] = v[v.size() / 2];
    state.counters[name + "_p99_us"] = v[std::min(v.size() - 1, v.size() * 99 / 100)];
  };
  put(first, "first");
  put(last, "last");
  for (int fd : readers) close(fd);
  app->HttpServer().Close();
  app.reset();
  std::filesystem::remove_all(dir);
}
BENCHMARK(DecisionToFiftyReaders)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace
