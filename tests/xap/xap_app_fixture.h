// A daemon under test: an App with a manual clock and timers, its xAP
// subsystem on loopback, and a plain socket standing in for the hub (or a
// real in-process hub). Datagrams are real; time is moved by hand.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/app.h"
#include "receiver/device_table.h"
#include "receiver/rfid_device.h"
#include "support/app_options.h"
#include "support/test_support.h"
#include "support/udp_peer.h"
#include "xap/xap_message.h"
#include "xap/xap_service.h"

namespace tagvane::test {

class XapApp {
 public:
  // hub_port: where the daemon broadcasts (the broadcast address, 127.0.0.1
  // unless given, at that port); tune may change the transport's options.
  XapApp(uint16_t hub_port, const std::string& location, const std::string& extra_ini = "",
         const std::string& broadcast = "127.0.0.1",
         const std::function<void(XapTransportOptions&)>& tune = {})
      : timers_(clock_) {
    WriteFile(dir_ / "Config/Tagvane.ini",
              "[RFID]\r\nReceiverLocation=" + location + "\r\n" + extra_ini);
    WriteFile(dir_ / "Config/qbxXap.ini", "[Interface]\r\nBroadcastAddress=" + broadcast +
                                              "\r\nInterfaceAddress=127.0.0.1\r\n");
    app_ = std::make_unique<App>(TestAppOptions(dir_.Path(), &clock_, &timers_));
    XapTransportOptions xap;
    xap.hub_port = hub_port;
    xap.list_addresses = [] { return std::vector<std::string>{"127.0.0.1"}; };
    if (tune) tune(xap);
    service_ = &InstallXap(*app_, xap);
    app_->Start();
  }

  App& app() { return *app_; }
  XapService& xap() { return *service_; }
  XapTransport& transport() { return service_->Transport(); }
  ManualTimerService& timers() { return timers_; }
  ManualClock& clock() { return clock_; }
  void Pump() { app_->Loop().Pump(); }
  uint16_t Port() const { return static_cast<uint16_t>(app_->XapPort()); }

  // A device in DeviceTable (in use, with a uID when given).
  std::shared_ptr<RFIDDevice> AddDevice(const std::string& code, const std::string& location,
                                        const std::string& uid, int16_t status = kStatusOn,
                                        float fom = 100) {
    auto device = NewRFIDDevice(*app_);
    device->SetDC(code);
    device->SetLocation(location);
    device->SetuID(uid);
    device->SetInUse(!uid.empty());
    device->SetDeviceStatus(status);
    device->SetFigureOfMerit(fom);
    app_->Tables().DeviceTable.Set(code, device);
    return device;
  }
  std::shared_ptr<RFIDDevice> Device(const std::string& code) {
    auto* d = app_->Tables().DeviceTable.Find(code);
    return d ? *d : nullptr;
  }

  // Sends text to the daemon's private port and waits until it is queued.
  void Arrive(UdpPeer& from, const std::string& text) {
    const size_t before = transport().Waiting();
    from.SendTo(Port(), text);
    PumpUntil([&] { return transport().Waiting() > before; }, [&] { Pump(); });
  }
  // Arrive, then let the receive timer hand it to onMessage.
  void Deliver(UdpPeer& from, const std::string& text) {
    Arrive(from, text);
    timers_.Advance(std::chrono::milliseconds(50));
  }

 private:
  TempDir dir_;
  ManualClock clock_;
  ManualTimerService timers_;
  std::unique_ptr<App> app_;
  XapService* service_ = nullptr;
};

// An xAP message text for tests (header, one section).
inline std::string Message(const std::string& cls, const std::string& source,
                           const std::string& target, const std::string& section,
                           const std::string& items) {
  std::string text =
      "xap-header\n{\nv=13\nhop=1\nuid=FF.1234:00\nclass=" + cls + "\nsource=" + source + "\n";
  if (!target.empty()) text += "target=" + target + "\n";
  return text + "}\n" + section + "\n{\n" + items + "}\n";
}

// The next datagram of class cls that peer receives, parsed.
inline std::optional<XapMessage> NextOfClass(UdpPeer& peer, const std::string& cls,
                                             const std::function<void()>& pump = {}) {
  auto text = peer.ReceiveMatching(
      [&](const std::string& t) {
        XapMessage m;
        m.FromXap(t);
        return m.CompareClass(cls);
      },
      pump);
  if (!text) return std::nullopt;
  XapMessage m;
  m.FromXap(*text);
  return m;
}

}  // namespace tagvane::test
