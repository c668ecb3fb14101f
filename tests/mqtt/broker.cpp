#include "broker.h"

#include <signal.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/rig.h"

namespace tagvane::test {

Broker::Broker(int port, const std::string& extra_config)
    : port_(port ? port : FreeLoopbackPort()) {
  WriteFile(dir_ / "mosquitto.conf", "listener " + std::to_string(port_) +
                                         " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                                         "log_dest stderr\n" +
                                         extra_config);
  Start();
}

Broker::~Broker() { Stop(); }

void Broker::Start() {
  process_ = std::make_unique<ChildProcess>(
      "/usr/sbin/mosquitto", std::vector<std::string>{"-c", (dir_ / "mosquitto.conf").string()});
  if (!process_->WaitUntil([&] { return AcceptsTcp(port_); }, std::chrono::seconds(10))) {
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
  return Occurrences(process_.Output(), text);
}

void PublishOnce(int port, const std::string& topic, const std::string& payload, bool retain) {
  std::vector<std::string> args = {
      "-h", "127.0.0.1", "-p", std::to_string(port), "-t", topic, "-m", payload, "-q", "1"};
  if (retain) args.push_back("-r");
  ChildProcess pub("/usr/bin/mosquitto_pub", args);
  pub.Wait();
}

}  // namespace tagvane::test
