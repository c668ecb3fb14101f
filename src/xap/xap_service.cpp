#include "xap/xap_service.h"

#include "core/app.h"
#include "core/numbers.h"

namespace tagvane {
namespace {
constexpr uint16_t kDefaultHubPort = 3639;
}

XapService::XapService(App& app, XapTransportOptions options)
    : app_(app),
      read_hub_port_(options.hub_port == 0),
      transport_(app.Loop().Io(), app.Timers(), app.Log(), std::move(options)),
      bsc_(app),
      incoming_(app, transport_, bsc_) {
  transport_.RegisterNewMessageCallback([this] { incoming_.onMessage(); });
  app_.Outbox().SetTransport(&transport_);
  transport_.SetSentCounter([&app](std::string_view cls) {
    app.GetMetrics().Add("tagvane_xap_messages_sent_total", 1,
                         MetricLabel("family", XapClassFamily(cls)));
  });
  app_.GetHooks().SendXapBSC = [this](const std::string& code, const std::string& cls) {
    bsc_.SendXapBSC(code, cls);
  };
}

XapService::~XapService() {
  // The App outlives this object by a few members; nothing may reach the
  // transport once it is gone.
  app_.Outbox().SetTransport(nullptr);
  app_.GetHooks().SendXapBSC = [](const std::string&, const std::string&) {};
}

int XapService::Init(const XapTransportConfig& config) {
  if (read_hub_port_) {
    uint16_t port = kDefaultHubPort;
    const std::string text = app_.Ini().GetIniSetting(
        "Interface", "HubPort", std::to_string(kDefaultHubPort), "qbxXap.ini");
    const double v = LeadingNumber(text);
    if (v >= 1 && v <= 65535) port = static_cast<uint16_t>(v);
    transport_.SetHubPort(port);
  }
  return transport_.Init(config);
}

void XapService::SendHeartbeat(int interval_seconds) { transport_.SendHeartbeat(interval_seconds); }

void XapService::Close() { transport_.Close(); }

XapService& InstallXap(App& app) {
  XapTransportOptions options;
  options.hub_port = 0;
  return InstallXap(app, std::move(options));
}

XapService& InstallXap(App& app, XapTransportOptions options) {
  auto service = std::make_unique<XapService>(app, std::move(options));
  XapService& ref = *service;
  app.SetXapTransport(std::move(service));
  return ref;
}

}  // namespace tagvane
