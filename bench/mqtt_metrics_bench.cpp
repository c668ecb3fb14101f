// Decision-to-subscriber latency of the MQTT state message through a real
// mosquitto on loopback (median and 99th percentile as counters), and the
// time and size of the /metrics text with 1,000 accepted tags.
#include <benchmark/benchmark.h>
#include <mosquitto.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <asio/steady_timer.hpp>
#include <functional>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "bench_tags.h"
#include "core/app.h"
#include "mqtt/mqtt_service.h"
#include "receiver/device_table.h"
#include "receiver/rfid_device.h"
#include "web/page_gate.h"

extern char** environ;

namespace {

using namespace tagvane;
using SteadyClock = std::chrono::steady_clock;

std::filesystem::path TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "tagvane-bench-XXXXXX").string();
  return mkdtemp(tmpl.data());
}

std::unique_ptr<App> MakeApp(const std::filesystem::path& dir, const std::string& ini, int tags) {
  std::filesystem::create_directories(dir / "Config");
  std::ofstream(dir / "Config/Tagvane.ini") << "[RFID]\r\nReceiverLocation=Hall\r\n" << ini;
  AppOptions options;
  options.app_dir = dir;
  options.computer_name = "bench";
  auto app = std::make_unique<App>(options);
  app->InitXap();
  AddBenchTags(*app, tags, [](RFIDDevice& device, int i) {
    device.SetInUse(true);
    device.SetDeviceStatus(i % 2 ? kStatusOn : kStatusOff);
    device.SetFigureOfMerit(static_cast<float>(i % 101));
  });
  return app;
}

// A mosquitto broker on loopback port `port` with its config in dir
// (extra: more config lines); given 300 ms to start listening.
pid_t StartBroker(const std::filesystem::path& dir, int port, const std::string& extra) {
  std::ofstream(dir / "mosquitto.conf")
      << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n"
      << extra;
  const std::string conf = (dir / "mosquitto.conf").string();
  char* argv[] = {const_cast<char*>("mosquitto"), const_cast<char*>("-c"),
                  const_cast<char*>(conf.c_str()), nullptr};
  pid_t broker = 0;
  posix_spawn(&broker, "/usr/sbin/mosquitto", nullptr, nullptr, argv, environ);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return broker;
}

void MetricsWith1000Tags(benchmark::State& state) {
  const auto dir = TempDir();
  auto app = MakeApp(dir, "", 1000);
  size_t bytes = 0;
  for (auto _ : state) {
    CollectTagMetrics(*app);
    std::string text = RenderMetrics(app->GetMetrics());
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  app.reset();
  std::filesystem::remove_all(dir);
}
BENCHMARK(MetricsWith1000Tags)->Unit(benchmark::kMicrosecond);

struct Sub {
  bool got = false;
};

void DecisionToSubscriber(benchmark::State& state) {
  const auto dir = TempDir();
  const int port = 20000 + static_cast<int>(getpid() % 20000);
  const pid_t broker = StartBroker(dir, port, "");

  auto app = MakeApp(dir, "[MQTT]\r\nHost=127.0.0.1\r\nPort=" + std::to_string(port) + "\r\n", 1);
  auto service = std::make_unique<MqttService>(*app);
  MqttService* mqtt = service.get();
  app->SetMqtt(std::move(service));
  mqtt->Start();
  while (!mqtt->Connection()->Connected()) app->Loop().PumpFor(Milliseconds(5));
  const DevicePtr device = app->Tables().DeviceTable.begin()->second;

  mosquitto_lib_init();
  Sub sub;
  mosquitto* client = mosquitto_new("bench-sub", true, &sub);
  mosquitto_message_callback_set(client, [](mosquitto*, void* p, const mosquitto_message*) {
    static_cast<Sub*>(p)->got = true;
  });
  mosquitto_connect(client, "127.0.0.1", port, 30);
  mosquitto_subscribe(client, nullptr, "tagvane/hall/+/state", 1);
  for (int i = 0; i < 20; ++i) mosquitto_loop(client, 10, 1);  // SUBACK and the retained state
  std::vector<double> micros;
  for (auto _ : state) {
    sub.got = false;
    device->SetDeviceStatus(device->DeviceStatus() == kStatusOn ? kStatusOff : kStatusOn);
    const auto start = SteadyClock::now();
    app->GetHooks().DeviceDecision(device->DC());
    while (!sub.got) {
      mosquitto_loop(client, 1, 1);
      app->Loop().Pump();
    }
    const double us = std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count();
    micros.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  }
  mosquitto_destroy(client);
  app->Mqtt().Close();
  app.reset();
  kill(broker, SIGTERM);
  waitpid(broker, nullptr, 0);
  std::filesystem::remove_all(dir);
}
BENCHMARK(DecisionToSubscriber)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

// The republish of 10,000 tags on connect (40,000 retained messages): the
// longest stretch the loop was held (a 1 ms timer's worst lateness, what a
// page request waiting meanwhile would add) and the time until the last
// chunk went out.
void Republish10000Tags(benchmark::State& state) {
  const auto dir = TempDir();
  const int port = 20000 + static_cast<int>((getpid() + 7) % 20000);
  const pid_t broker = StartBroker(dir, port, "max_queued_messages 0\n");
  auto app = MakeApp(dir, "[MQTT]\r\nHost=127.0.0.1\r\nPort=" + std::to_string(port) + "\r\n",
                     10000);
  double worst_ms = 0;
  double total_ms = 0;
  for (auto _ : state) {
    auto service = std::make_unique<MqttService>(*app);
    MqttService* mqtt = service.get();
    app->SetMqtt(std::move(service));
    // Measured from the start: the republish begins in the handler that
    // sees the broker's acknowledgement.
    const auto start = SteadyClock::now();
    asio::steady_timer tick(app->Loop().Io());
    auto due = SteadyClock::now();
    std::function<void()> arm = [&] {
      due = SteadyClock::now() + std::chrono::milliseconds(1);
      tick.expires_at(due);
      tick.async_wait([&](const asio::error_code& ec) {
        if (ec) return;
        const double late =
            std::chrono::duration<double, std::milli>(SteadyClock::now() - due).count();
        worst_ms = std::max(worst_ms, late);
        arm();
      });
    };
    arm();
    mqtt->Start();
    while (!mqtt->Connection()->Connected() || mqtt->Backlog() > 0) {
      app->Loop().PumpFor(Milliseconds(1));
    }
    total_ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    tick.cancel();
    app->Loop().Pump();
    app->Mqtt().Close();
  }
  state.counters["worst_stall_ms"] = worst_ms;
  state.counters["republish_ms"] = total_ms;
  app.reset();
  kill(broker, SIGTERM);
  waitpid(broker, nullptr, 0);
  std::filesystem::remove_all(dir);
}
BENCHMARK(Republish10000Tags)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
