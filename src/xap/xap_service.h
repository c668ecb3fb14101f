// The xAP subsystem of one App: the transport, the BSC output and the
// incoming-message handling, installed together. InstallXap puts it into the
// App (transport port, SendXap's sender, the SendXapBSC hook) and connects
// the transport's receive timer to onMessage.
#pragma once

#include <memory>

#include "core/subsystems.h"
#include "xap/bsc_output.h"
#include "xap/xap_incoming.h"
#include "xap/xap_transport.h"

namespace tagvane {

class App;

class XapService final : public XapTransportPort {
 public:
  XapService(App& app, XapTransportOptions options);
  ~XapService() override;

  // Reads the hub port (key HubPort of section "Interface" in qbxXap.ini,
  // default 3639), then binds the transport.
  int Init(const XapTransportConfig& config) override;
  void SendHeartbeat(int interval_seconds) override;
  void Close() override;

  XapTransport& Transport() { return transport_; }
  BscOutput& Bsc() { return bsc_; }
  XapIncoming& Incoming() { return incoming_; }

 private:
  App& app_;
  bool read_hub_port_;
  XapTransport transport_;
  BscOutput bsc_;
  XapIncoming incoming_;
};

// Installs the xAP subsystem into app (before Start) and returns it. With
// options.hub_port 0 the hub port is read from qbxXap.ini at Init; the first
// form does that.
XapService& InstallXap(App& app);
XapService& InstallXap(App& app, XapTransportOptions options);

}  // namespace tagvane
