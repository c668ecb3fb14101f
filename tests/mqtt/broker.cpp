#include "broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace tagvane::test {
namespace {

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

}  // namespace

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

Broker::Broker(int port) : port_(port ? port : FreeLoopbackPort()) {
  WriteFile(dir_ / "mosquitto.conf", "listener " + std::to_string(port_) +
                                         " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                                         "log_dest stderr\n");
  Start();
}

Broker::~Broker() { Stop(); }

void Broker::Start() {
  process_ = std::make_unique<ChildProcess>(
      "/usr/sbin/mosquitto", std::vector<std::string>{"-c", (dir_ / "mosquitto.conf").string()});
  if (!process_->WaitUntil([&] { return Accepts(port_); }, std::chrono::seconds(10))) {
    throw std::runtime_error("mosquitto did not start: " + process_->Output());
  }
}

void Broker::Stop() {
  if (!process_) return;
  process_->Signal(SIGTERM);
  process_->Wait();
  process_.reset();
}

Subscriber::Subscriber(int port, const std::string& topic)
    // Line-buffered: mosquitto_sub's output goes to a pipe.
    : process_("/usr/bin/stdbuf",
               {"-oL", "/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port),
                "-t", topic, "-F", "%t|%p", "-q", "1", "-d"}) {
  if (!process_.WaitForOutput("SUBACK")) throw std::runtime_error("mosquitto_sub: " + Lines());
}

bool Subscriber::WaitFor(const std::string& text, const std::function<void()>& pump) {
  return process_.WaitUntil([&] {
    if (pump) pump();
    return process_.Output().find(text) != std::string::npos;
  });
}

size_t Subscriber::Count(const std::string& text) const {
  size_t n = 0;
  const std::string& out = process_.Output();
  for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
  return n;
}

void PublishOnce(int port, const std::string& topic, const std::string& payload, bool retain) {
  std::vector<std::string> args = {
      "-h", "127.0.0.1", "-p", std::to_string(port), "-t", topic, "-m", payload, "-q", "1"};
  if (retain) args.push_back("-r");
  ChildProcess pub("/usr/bin/mosquitto_pub", args);
  pub.Wait();
}

}  // namespace tagvane::test
