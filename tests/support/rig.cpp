#include "support/rig.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/test_support.h"

namespace tagvane::test {
sockaddr_in LoopbackAddress(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = LoopbackAddress(0);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

bool AcceptsTcp(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = LoopbackAddress(port);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

std::unique_ptr<ChildProcess> StartDaemon(const std::filesystem::path& app_dir,
                                          const std::string& ini, const std::string& extra_xap) {
  WriteFile(app_dir / "Config/qbxXap.ini", kLoopbackXapIni + extra_xap);
  WriteFile(app_dir / "Config/Tagvane.ini", ini);
  return std::make_unique<ChildProcess>(
      BuiltProgram("tagvane"),
      std::vector<std::string>{"--foreground", "--app-dir", app_dir.string()});
}

ReceiverSim::ReceiverSim(const std::filesystem::path& dir, const std::vector<std::string>& extra) {
  const auto file = dir / "sim.port";
  std::vector<std::string> args = {"--listen", "0", "--port-file", file.string()};
  args.insert(args.end(), extra.begin(), extra.end());
  process_ = std::make_unique<ChildProcess>(BuiltProgram("tagvane-receiver-sim"), args);
  process_->WaitUntil(
      [&] { return std::filesystem::exists(file) && !ReadFile(file).empty(); });
  const std::string text = std::filesystem::exists(file) ? ReadFile(file) : "";
  if (!text.empty()) port_ = std::to_string(std::stoi(text));  // without the line end
}

HubWithClient::HubWithClient() : port_(FreeUdpPort()) {
  hub_ = std::make_unique<ChildProcess>(
      BuiltProgram("tagvane-hub"),
      std::vector<std::string>{"--port", std::to_string(port_), "--bind", "127.0.0.1"});
  if (!hub_->WaitForOutput("ready on port")) return;
  client_.SendTo(port_,
                 "xap-hbeat\n{\nv=13\nhop=1\nuid=FF.1:00\nclass=xap-hbeat.alive\n"
                 "source=acme.test.client\ninterval=600\nport=" +
                     std::to_string(client_.Port()) + "\n}\n");
  ready_ = client_
               .ReceiveMatching([](const std::string& t) { return t.rfind("xap-hbeat", 0) == 0; })
               .has_value();
}

}  // namespace tagvane::test
