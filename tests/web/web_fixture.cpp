#include "web/web_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "receiver/device_table.h"
#include "receiver/rfid_device.h"
#include "support/rig.h"

namespace tagvane::test {

WebFixture::WebFixture(const std::string& extra_ini, bool manual_timers) {
  port_ = FreeLoopbackPort();
  WriteFile(dir_ / "Config/Tagvane.ini",
            "[RFID]\r\nHTTPPort=" + std::to_string(port_) + "\r\n" + extra_ini);
  WriteFile(dir_ / "Config/qbxXap.ini", kLoopbackXapIni);
  std::filesystem::create_directories(dir_ / "HTML");
  AppOptions options;
  options.app_dir = dir_.Path();
  options.computer_name = "testhost";
  options.clock = &clock_;
  if (manual_timers) {
    manual_timers_ = std::make_unique<ManualTimerService>(clock_);
    options.timers = manual_timers_.get();
  }
  app_ = std::make_unique<App>(options);
  auto web = std::make_unique<WebServer>(*app_);
  web_ = web.get();
  app_->SetHttpServer(std::move(web));
  app_->InitXap();
  app_->InitINIVariables();
  if (server().LocalPort() != port_) throw std::runtime_error("web server did not listen");
}

WebFixture::~WebFixture() { app_->HttpServer().Close(); }

std::shared_ptr<RFIDDevice> WebFixture::AddDevice(const std::string& tag_id,
                                                  const std::string& prefix,
                                                  const std::string& receiver) {
  const std::string code =
      MakeDeviceCode(prefix, tag_id, receiver.empty() ? app_->State().ReceiverCode : receiver);
  auto device = NewRFIDDevice(*app_);
  device->SetDC(code);
  device->SetDeviceLastChange(MakeDateTime(2000, 1, 1));
  app_->Tables().DeviceTable.Add(code, device);
  return device;
}

std::string WebFixture::Get(const std::string& path) {
  return Exchange("GET " + path +
                  " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\nConnection: close\r\n\r\n");
}

std::string WebFixture::Exchange(const std::string& raw) {
  Client client(*this);
  client.Send(raw);
  return client.ReadAll();
}

Client::Client(WebFixture& fx, int receive_buffer, const char* source) : fx_(fx) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (source) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
      throw std::runtime_error("bind to the source address failed");
    }
  }
  if (receive_buffer > 0) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  sockaddr_in addr = LoopbackAddress(fx.port());
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("connect failed");
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

Client::~Client() {
  if (fd_ >= 0) close(fd_);
}

void Client::HalfClose() { shutdown(fd_, SHUT_WR); }

void Client::Reset() {
  const linger abort{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(fd_);
  fd_ = -1;
  closed_ = true;
}

void Client::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      fx_.app().Loop().PumpFor(Milliseconds(5));
    } else {
      return;  // the server closed the connection
    }
  }
}

bool Client::ReadOnce(std::string& into) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
      into.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed_ = true;
    return closed_;
  }
}

std::string Client::ReadAll() {
  std::string out;
  fx_.PumpUntil([&] { return ReadOnce(out); });
  return out;
}

std::string Client::ReadSome(int rounds) {
  std::string out;
  for (int i = 0; i < rounds && !closed_; ++i) {
    fx_.app().Loop().PumpFor(Milliseconds(10));
    ReadOnce(out);
  }
  return out;
}

std::string HeaderOf(const std::string& answer) {
  const size_t at = answer.find("\r\n\r\n");
  return at == std::string::npos ? answer : answer.substr(0, at + 4);
}

std::string BodyOf(const std::string& answer) {
  const size_t at = answer.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : answer.substr(at + 4);
}

}  // namespace tagvane::test
