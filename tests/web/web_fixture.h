// A real App with the real web server on a loopback port, a fixed clock,
// and a plain socket client that pumps the App's loop while it waits, so
// client and server share the test's one thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/app.h"
#include "support/app_options.h"
#include "support/test_support.h"
#include "web/web_server.h"

namespace tagvane::test {

class WebFixture {
 public:
  // With manual_timers the request queue is served only when the test
  // calls Dispatch(), so it can line up packets, closes and reused slots.
  explicit WebFixture(const std::string& extra_ini = "", bool manual_timers = false);
  ~WebFixture();

  App& app() { return *app_; }
  WebServer& web() { return *web_; }
  TCPServer& server() { return web_->Server(); }
  StatusPages& pages() { return *web_->Pages(); }
  ManualClock& clock() { return clock_; }
  const std::filesystem::path& dir() const { return dir_.Path(); }
  std::filesystem::path html() const { return dir_.Path() / "HTML"; }
  int port() const { return port_; }
  // Fires the 50 ms dispatch timer (manual timers only).
  void Dispatch() { manual_timers_->Advance(Milliseconds(50)); }
  // Pumps the loop until done() or a generous bound passes.
  bool PumpUntil(const std::function<bool()>& done) {
    return test::PumpUntil(done, [this] { app_->Loop().PumpFor(Milliseconds(10)); });
  }
  // Adds a device of this receiver (prefix empty) with a tag identifier.
  std::shared_ptr<RFIDDevice> AddDevice(const std::string& tag_id, const std::string& prefix = "",
                                        const std::string& receiver = "");
  // One GET or raw request on a fresh connection; the whole answer.
  std::string Get(const std::string& path);
  std::string Exchange(const std::string& raw);

 private:
  TempDir dir_;
  ManualClock clock_{MakeDateTime(2026, 12, 5, 15, 4, 5)};
  std::unique_ptr<ManualTimerService> manual_timers_;
  std::unique_ptr<App> app_;
  WebServer* web_ = nullptr;
  int port_ = 0;
};

class Client {
 public:
  // receive_buffer > 0 shrinks the socket's receive buffer (a slow reader);
  // source binds the client to another loopback address ("127.0.0.2").
  explicit Client(WebFixture& fx, int receive_buffer = 0, const char* source = nullptr);
  ~Client();
  void Send(const std::string& bytes);
  // Ends the sending side only (the peer sees the end of its input).
  void HalfClose();
  // Closes with a reset instead of an orderly end.
  void Reset();
  // Reads until the server closes; "" and closed() false when it never does.
  std::string ReadAll();
  // Reads whatever arrives while pumping a few rounds.
  std::string ReadSome(int rounds = 20);
  bool closed() const { return closed_; }

 private:
  bool ReadOnce(std::string& into);
  WebFixture& fx_;
  int fd_ = -1;
  bool closed_ = false;
};

// Splits an answer at the empty line.
std::string HeaderOf(const std::string& answer);
std::string BodyOf(const std::string& answer);

}  // namespace tagvane::test
