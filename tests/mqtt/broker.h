// A real mosquitto broker for the tests, on a private loopback port with its
// own configuration file, and a subscriber (mosquitto_sub) whose lines are
// "topic|payload".
#pragma once

#include <memory>
#include <string>

#include "support/process.h"
#include "support/test_support.h"

namespace tagvane::test {

class Broker {
 public:
  // port 0: a free one; extra_config: more lines for mosquitto.conf (a TLS
  // listener's files, for instance).
  explicit Broker(int port = 0, const std::string& extra_config = "");
  ~Broker();
  // Stops (SIGTERM) and starts again on the same port.
  void Stop();
  void Start();
  int Port() const { return port_; }
  const std::string& Output() const { return process_->Output(); }

 private:
  TempDir dir_;
  int port_;
  std::unique_ptr<ChildProcess> process_;
};

class Subscriber {
 public:
  Subscriber(int port, const std::string& topic = "#");
  // Collects output while pump runs, until text appears or a bound passes.
  bool WaitFor(const std::string& text, const std::function<void()>& pump = {});
  bool WaitUntil(const std::function<bool()>& done) { return process_.WaitUntil(done); }
  const std::string& Lines() { return process_.Output(); }
  size_t Count(const std::string& text) const;

 private:
  ChildProcess process_;
};

// One message with mosquitto_pub.
void PublishOnce(int port, const std::string& topic, const std::string& payload,
                 bool retain = false);

}  // namespace tagvane::test
