// xAP throughput: composing and parsing a typical BSC event, the incoming
// BSC events of another receiver through onMessage with 1,000 known tags, and
// the path from a BSC decision to the datagram leaving the socket.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

#include "core/app.h"
#include "receiver/device_table.h"
#include "receiver/format_html.h"
#include "receiver/presence.h"
#include "receiver/rfid_device.h"
#include "xap/xap_message.h"
#include "xap/xap_service.h"

namespace tagvane {
namespace {

const char* const kDisplay =
    "<table><td><img alt='' src='/Tagvane/images/sensors/on.gif'>&nbsp;(100)&nbsp;[87]</td>"
    "</table>";

std::string ComposeEvent() {
  XapMessage m;
  m.SetMsgUID("FF.0063:1A");
  m.SetMsgClass("xapbsc.event");
  m.SetMsgSource("qbx.RFID.HOMEPC.Hall:Kitchen.________HALL1A2B.Switch");
  m.SetMsgTarget("");
  m.AddHeader();
  m.AddSection("input.state");
  m.AddItem("input.state", "State", "ON");
  m.AddItem("input.state", "DisplayText", kDisplay);
  m.AddItem("input.state", "Text", "100");
  return m.ToXap();
}

void BM_ComposeBscEvent(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ComposeEvent());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ComposeBscEvent);

void BM_ParseBscEvent(benchmark::State& state) {
  const std::string text = ComposeEvent();
  for (auto _ : state) {
    XapMessage m;
    m.FromXap(text);
    benchmark::DoNotOptimize(m.GetItem("input.state", "state"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseBscEvent);

// A daemon on loopback whose broadcasts go to a closed port of 127.0.0.1.
struct BenchDaemon {
  BenchDaemon() {
    dir = std::filesystem::temp_directory_path() / ("tagvane-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "Config");
    WriteText(dir / "Config/Tagvane.ini", "[RFID]\r\nReceiverLocation=Hall\r\n");
    WriteText(dir / "Config/qbxXap.ini",
              "[Interface]\r\nBroadcastAddress=127.0.0.1\r\nInterfaceAddress=127.0.0.1\r\n");
    AppOptions options;
    options.app_dir = dir;
    options.computer_name = "HOMEPC";
    options.clock = &clock;
    options.timers = &timers;
    app = std::make_unique<App>(options);
    XapTransportOptions xap;
    xap.hub_port = 9;  // discard
    xap.list_addresses = [] { return std::vector<std::string>{"127.0.0.1"}; };
    service = &InstallXap(*app, xap);
    app->Start();
  }
  ~BenchDaemon() {
    app.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  static void WriteText(const std::filesystem::path& p, const std::string& text) {
    FILE* f = std::fopen(p.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  std::filesystem::path dir;
  ManualClock clock;
  ManualTimerService timers{clock};
  std::unique_ptr<App> app;
  XapService* service = nullptr;
};

std::string TagId(int i) {
  static const char* hex = "0123456789ABCDEF";
  std::string id(4, '0');
  for (int k = 3; k >= 0; --k, i /= 16) id[static_cast<size_t>(k)] = hex[i % 16];
  return id;
}

// Another receiver ("Porch") reports each of 1,000 tags that this receiver
// knows too; every report updates a remote, a local and a combined device.
void BM_IncomingBscEvents1000Tags(benchmark::State& state) {
  BenchDaemon daemon;
  constexpr int kTags = 1000;
  std::vector<std::string> reports;
  for (int i = 0; i < kTags; ++i) {
    const std::string id = TagId(i);
    auto device = NewRFIDDevice(*daemon.app);
    device->SetDC(MakeDeviceCode(*daemon.app, "", id));
    device->SetFigureOfMerit(100);
    device->SetDeviceStatus(kStatusOn);
    daemon.app->Tables().DeviceTable.Add(device->DC(), device);
    reports.push_back(
        "xap-header\n{\nv=13\nhop=1\nuid=FF.0063:01\nclass=xapbsc.event\n"
        "source=qbx.RFID.OTHER.Porch:Garden._______PORCH" +
        id +
        ".Switch\n}\n"
        "input.state\n{\nState=ON\nDisplayText=" +
        std::string(kDisplay) + "\nText=" + std::to_string(40 + i % 50) + "\n}\n");
  }
  // First sight creates the devices; the loop measures steady merging.
  auto& transport = daemon.service->Transport();
  for (const auto& r : reports) transport.ProcessReceivedMessage(r);
  daemon.service->Incoming().onMessage();
  size_t next = 0;
  for (auto _ : state) {
    for (int k = 0; k < 100; ++k) {
      transport.ProcessReceivedMessage(reports[next]);
      next = (next + 1) % reports.size();
    }
    daemon.service->Incoming().onMessage();
  }
  state.SetItemsProcessed(state.iterations() * 100);
  state.counters["devices"] = static_cast<double>(daemon.app->Tables().DeviceTable.size());
}
BENCHMARK(BM_IncomingBscEvents1000Tags)->Unit(benchmark::kMicrosecond);

// One accepted device in the Kitchen, in the daemon's table.
DevicePtr AddKitchenDevice(BenchDaemon& daemon, int16_t status) {
  auto device = NewRFIDDevice(*daemon.app);
  device->SetDC("________HALL1A2B");
  device->SetLocation("Kitchen");
  device->SetuID("1A");
  device->SetInUse(true);
  device->SetDeviceStatus(status);
  daemon.app->Tables().DeviceTable.Add(device->DC(), device);
  return device;
}

// From the decision's call of SendXapBSC to the datagram handed to the
// kernel: composing, the UID rule, the start-up queue check and send_to all
// run in the caller's turn of the event loop.
void BM_BscDecisionToSocket(benchmark::State& state) {
  BenchDaemon daemon;
  auto device = AddKitchenDevice(daemon, kStatusOn);
  device->SetFigureOfMerit(100);
  device->SetAverageStrength(87);
  device->SetDeviceString(FormatHTML("ON", "Switch", 87, 100, ""));
  auto& hooks = daemon.app->GetHooks();
  const std::string code = device->DC();
  const std::string cls = "xapbsc.event";
  const uint64_t before = daemon.service->Transport().Sent();
  for (auto _ : state) hooks.SendXapBSC(code, cls);
  state.SetItemsProcessed(state.iterations());
  state.counters["sent"] = static_cast<double>(daemon.service->Transport().Sent() - before);
}
BENCHMARK(BM_BscDecisionToSocket)->Unit(benchmark::kMicrosecond);

// The off timer's decision itself: InformEvent turns the device On or Off
// (alternately, so every call is an xapbsc.event), rebuilds its display text
// and hands the message to the socket before it returns.
void BM_InformEventToSocket(benchmark::State& state) {
  BenchDaemon daemon;
  auto device = AddKitchenDevice(daemon, kStatusOff);
  PresenceLogic presence(*daemon.app);
  const uint64_t before = daemon.service->Transport().Sent();
  bool on = false;
  for (auto _ : state) {
    on = !on;
    presence.InformEvent(device, on ? kStatusOn : kStatusOff, on ? 100 : 0);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["sent"] = static_cast<double>(daemon.service->Transport().Sent() - before);
}
BENCHMARK(BM_InformEventToSocket)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tagvane
