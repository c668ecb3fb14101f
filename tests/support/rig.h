// Pieces the end-to-end tests share: free loopback ports, the daemon's
// loopback-only xAP settings, and the real daemon, hub and receiver
// simulator started on loopback.
#pragma once

#include <netinet/in.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/udp_peer.h"

namespace tagvane::test {

// The address 127.0.0.1:port.
sockaddr_in LoopbackAddress(int port);
// A TCP port on 127.0.0.1 nobody listens on right now.
int FreeLoopbackPort();
// Whether something accepts TCP connections on 127.0.0.1:port.
bool AcceptsTcp(int port);

// qbxXap.ini keeping the daemon's xAP traffic on loopback.
inline constexpr const char* kLoopbackXapIni =
    "[Interface]\r\nBroadcastAddress=127.255.255.255\r\nInterfaceAddress=127.0.0.1\r\n";

// Writes app_dir/Config/qbxXap.ini (loopback, with extra lines) and
// app_dir/Config/Tagvane.ini, then starts the daemon in the foreground.
std::unique_ptr<ChildProcess> StartDaemon(const std::filesystem::path& app_dir,
                                          const std::string& ini,
                                          const std::string& extra_xap = "");

// The receiver simulator listening on a free loopback port, written to
// dir/sim.port; extra arguments follow. Port() is empty when it did not start.
class ReceiverSim {
 public:
  ReceiverSim(const std::filesystem::path& dir, const std::vector<std::string>& extra);
  const std::string& Port() const { return port_; }
  ChildProcess& Process() { return *process_; }

 private:
  std::unique_ptr<ChildProcess> process_;
  std::string port_;
};

// The project's hub on a free UDP port with one registered client of ours.
// Ready() tells whether the hub started and answered the client's heartbeat.
class HubWithClient {
 public:
  HubWithClient();
  bool Ready() const { return ready_; }
  uint16_t Port() const { return port_; }
  UdpPeer& Client() { return client_; }
  ChildProcess& Hub() { return *hub_; }

 private:
  uint16_t port_;
  std::unique_ptr<ChildProcess> hub_;
  UdpPeer client_;
  bool ready_ = false;
};

}  // namespace tagvane::test
