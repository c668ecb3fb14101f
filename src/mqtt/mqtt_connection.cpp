#include "mqtt/mqtt_connection.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio/post.hpp>
#include <chrono>
#include <cstring>

#include "core/logger.h"

namespace tagvane {
namespace {

constexpr int kKeepAliveS = 30;
// Reads handled in one turn before the loop gets a chance to run others.
constexpr int kReadsPerTurn = 256;
// ... and the time they may take. One library read handles every packet the
// socket holds, so the socket holds at most kReceiveBuffer: a burst of
// thousands of retained messages is then read over many turns.
constexpr auto kReadTurnBudget = std::chrono::milliseconds(5);
constexpr int kReceiveBuffer = 64 * 1024;

void InitLibraryOnce() {
  static const bool done = [] {
    mosquitto_lib_init();
    return true;
  }();
  (void)done;
}

int BytesWaiting(int fd) {
  int n = 0;
  if (fd < 0 || ioctl(fd, FIONREAD, &n) != 0) return 0;
  return n;
}

std::string ErrorText(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
  return mosquitto_strerror(rc);
}

}  // namespace

MqttConnection::MqttConnection(asio::io_context& io, Logger& log, Callbacks callbacks)
    : io_(io),
      log_(log),
      callbacks_(std::move(callbacks)),
      descriptor_(io),
      misc_timer_(io),
      retry_timer_(io) {
  InitLibraryOnce();
}

MqttConnection::~MqttConnection() {
  *alive_ = false;
  alive_.reset();
  Unwatch();
  misc_timer_.cancel();
  retry_timer_.cancel();
  if (client_) mosquitto_destroy(client_);
}

bool MqttConnection::Start(const MqttSettings& settings, const std::string& will_topic) {
  settings_ = settings;
  will_topic_ = will_topic;
  if (!Configure()) return false;
  Tick();
  Connect();
  return true;
}

bool MqttConnection::Configure() {
  if (client_) {
    mosquitto_reinitialise(client_, settings_.client_id.c_str(), true, this);
  } else {
    client_ = mosquitto_new(settings_.client_id.c_str(), true, this);
  }
  if (!client_) {
    last_error_ = "cannot create the MQTT client";
    return false;
  }
  mosquitto_connect_callback_set(client_, &MqttConnection::OnConnect);
  mosquitto_disconnect_callback_set(client_, &MqttConnection::OnDisconnect);
  mosquitto_message_callback_set(client_, &MqttConnection::OnMessage);
  mosquitto_publish_callback_set(client_, &MqttConnection::OnPublish);
  mosquitto_log_callback_set(client_, &MqttConnection::OnLog);
  mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
  if (!settings_.user.empty()) {
    mosquitto_username_pw_set(client_, settings_.user.c_str(),
                              settings_.password.empty() ? nullptr : settings_.password.c_str());
  }
  if (settings_.tls) {
    int rc;
    if (settings_.ca_file.empty()) {
      mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
      rc = mosquitto_tls_set(client_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
    } else {
      rc =
          mosquitto_tls_set(client_, settings_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
      last_error_ = "TLS set-up failed: " + ErrorText(rc);
      return false;
    }
  }
  static constexpr char kOffline[] = "offline";
  mosquitto_will_set(client_, will_topic_.c_str(), sizeof(kOffline) - 1, kOffline, 1, true);
  return true;
}

void MqttConnection::Connect() {
  if (closed_ || !client_) return;
  Unwatch();
  // Nothing of the last session is kept (Configure): the connect callback
  // publishes the current states again.
  if (reconnecting_ && !Configure()) {
    ScheduleReconnect();
    return;
  }
  reconnecting_ = true;
  attempt_failed_ = false;
  library_error_.clear();
  const int rc =
      mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, kKeepAliveS);
  if (rc != MOSQ_ERR_SUCCESS) {
    Failed(rc == MOSQ_ERR_TLS && !library_error_.empty() ? library_error_ : ErrorText(rc));
    ScheduleReconnect();
    return;
  }
  Watch();
  ArmWrite();
}

void MqttConnection::ScheduleReconnect() {
  if (closed_ || retrying_) return;
  retrying_ = true;
  const int delay = backoff_s_;
  retry_timer_.expires_after(std::chrono::seconds(delay));
  std::weak_ptr<bool> alive = alive_;
  retry_timer_.async_wait([this, alive](const asio::error_code& ec) {
    if (alive.expired() || ec) return;
    retrying_ = false;
    backoff_s_ = std::min(backoff_s_ * 2, kMaxBackoffS);
    Connect();
  });
}

void MqttConnection::Watch() {
  const int fd = mosquitto_socket(client_);
  if (fd < 0) return;
  asio::error_code ec;
  descriptor_.assign(fd, ec);
  if (ec) return;
  watched_fd_ = fd;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  ++watch_generation_;
  ArmRead();
}

void MqttConnection::Unwatch() {
  if (watched_fd_ < 0) return;
  // The socket belongs to the library: give it back without closing it.
  descriptor_.release();
  watched_fd_ = -1;
  ++watch_generation_;
  reading_ = writing_ = false;
}

void MqttConnection::ArmRead() {
  if (reading_ || watched_fd_ < 0) return;
  reading_ = true;
  const uint64_t generation = watch_generation_;
  std::weak_ptr<bool> alive = alive_;
  descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                         [this, alive, generation](const asio::error_code& ec) {
                           if (alive.expired() || generation != watch_generation_) return;
                           reading_ = false;
                           if (ec) return;
                           // The socket is watched edge-triggered: read until it is empty, or
                           // come back on the next turn after a bounded number of packets.
                           int rc = MOSQ_ERR_SUCCESS;
                           int reads = 0;
                           const auto until = std::chrono::steady_clock::now() + kReadTurnBudget;
                           do {
                             rc = mosquitto_loop_read(client_, 1);
                             if (std::chrono::steady_clock::now() >= until) reads = kReadsPerTurn;
                           } while (rc == MOSQ_ERR_SUCCESS && generation == watch_generation_ &&
                                    BytesWaiting(watched_fd_) > 0 && ++reads < kReadsPerTurn);
                           AfterCall(rc);
                           if (generation != watch_generation_) return;
                           if (reads >= kReadsPerTurn) {
                             reading_ = true;
                             asio::post(io_, [this, alive, generation] {
                               if (alive.expired() || generation != watch_generation_) return;
                               reading_ = false;
                               AfterCall(mosquitto_loop_read(client_, 1));
                               ArmRead();
                             });
                             return;
                           }
                           ArmRead();
                         });
}

void MqttConnection::ArmWrite() {
  if (writing_ || watched_fd_ < 0 || !mosquitto_want_write(client_)) return;
  // Try at once: a socket that is already writable gives no new edge.
  const uint64_t generation = watch_generation_;
  AfterCall(mosquitto_loop_write(client_, 1));
  if (generation != watch_generation_ || watched_fd_ < 0 || !mosquitto_want_write(client_)) return;
  writing_ = true;
  std::weak_ptr<bool> alive = alive_;
  descriptor_.async_wait(asio::posix::stream_descriptor::wait_write,
                         [this, alive, generation](const asio::error_code& ec) {
                           if (alive.expired() || generation != watch_generation_) return;
                           writing_ = false;
                           if (ec) return;
                           AfterCall(mosquitto_loop_write(client_, 1));
                           ArmWrite();
                         });
}

void MqttConnection::AfterCall(int rc) {
  if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
    if (connected_) {
      last_error_ = ErrorText(rc);
    } else if (!attempt_failed_) {
      Failed(rc == MOSQ_ERR_TLS && !library_error_.empty() ? library_error_ : ErrorText(rc));
    }
  }
  // The library closed its socket (the disconnect callback has run).
  if (watched_fd_ >= 0 && mosquitto_socket(client_) != watched_fd_) Unwatch();
  // A failure inside a read or write (a TLS handshake that fails) may close
  // the socket without a disconnect callback: try again the same way.
  if (!connected_ && !closed_ && client_ && mosquitto_socket(client_) < 0) ScheduleReconnect();
  if (watched_fd_ >= 0 && !writing_ && mosquitto_want_write(client_)) {
    asio::post(io_, [this, alive = std::weak_ptr<bool>(alive_)] {
      if (!alive.expired()) ArmWrite();
    });
  }
}

void MqttConnection::Tick() {
  misc_timer_.expires_after(std::chrono::seconds(1));
  std::weak_ptr<bool> alive = alive_;
  misc_timer_.async_wait([this, alive](const asio::error_code& ec) {
    if (alive.expired() || ec || closed_) return;
    if (watched_fd_ >= 0) AfterCall(mosquitto_loop_misc(client_));
    Tick();
  });
}

bool MqttConnection::Publish(const std::string& topic, std::string_view payload, bool retain,
                             int qos) {
  if (!connected_ || !client_) return false;
  // Counted first: the library may report a QoS 0 message sent before it
  // returns.
  ++unconfirmed_;
  const int rc = mosquitto_publish(client_, nullptr, topic.c_str(),
                                   static_cast<int>(payload.size()), payload.data(), qos, retain);
  if (rc != MOSQ_ERR_SUCCESS && unconfirmed_ > 0) --unconfirmed_;
  AfterCall(rc);
  return rc == MOSQ_ERR_SUCCESS;
}

bool MqttConnection::Subscribe(const std::string& topic) {
  if (!connected_ || !client_) return false;
  const int rc = mosquitto_subscribe(client_, nullptr, topic.c_str(), 1);
  AfterCall(rc);
  return rc == MOSQ_ERR_SUCCESS;
}

void MqttConnection::Close(const std::string& topic, std::string_view payload, int wait_ms) {
  if (closed_ || !client_) return;
  if (connected_) Publish(topic, payload, true);
  closed_ = true;
  misc_timer_.cancel();
  retry_timer_.cancel();
  const bool was_connected = connected_;
  Unwatch();
  if (!was_connected) return;
  mosquitto_disconnect(client_);
  // Shut-down only: a short bounded wait so "offline" and the DISCONNECT
  // leave before the process ends.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (mosquitto_socket(client_) >= 0 && mosquitto_want_write(client_) &&
         std::chrono::steady_clock::now() < until) {
    if (mosquitto_loop_write(client_, 1) != MOSQ_ERR_SUCCESS) break;
    pollfd p{mosquitto_socket(client_), POLLOUT, 0};
    if (p.fd < 0 || !mosquitto_want_write(client_)) break;
    poll(&p, 1, 20);
  }
  connected_ = false;
}

void MqttConnection::OnPublish(mosquitto*, void* self, int) {
  auto* c = static_cast<MqttConnection*>(self);
  if (c->unconfirmed_ > 0) --c->unconfirmed_;
  if (c->callbacks_.confirmed) c->callbacks_.confirmed();
}

void MqttConnection::OnConnect(mosquitto*, void* self, int rc) {
  auto* c = static_cast<MqttConnection*>(self);
  if (rc != 0) {
    c->Failed(mosquitto_connack_string(rc));
    return;
  }
  c->connected_ = true;
  c->unconfirmed_ = 0;
  c->outage_logged_ = false;
  c->backoff_s_ = kFirstBackoffS;
  ++c->connects_;
  c->last_error_.clear();
  c->log_.LogEvent(kProductSource, "MQTT connected to " + c->settings_.host + ":" +
                                       std::to_string(c->settings_.port));
  if (c->callbacks_.connected) c->callbacks_.connected();
}

void MqttConnection::OnDisconnect(mosquitto*, void* self, int rc) {
  auto* c = static_cast<MqttConnection*>(self);
  const bool was = c->connected_;
  c->connected_ = false;
  c->Unwatch();
  if (was && !c->closed_) {
    c->log_.LogEventLimited("MQTT lost", kProductSource,
                            "MQTT connection to " + c->settings_.host + " lost: " + ErrorText(rc));
  }
  if (was && c->callbacks_.disconnected) c->callbacks_.disconnected();
  c->ScheduleReconnect();
}

void MqttConnection::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* c = static_cast<MqttConnection*>(self);
  if (!message || !message->topic || !c->callbacks_.message) return;
  const std::string payload(static_cast<const char*>(message->payload),
                            message->payload ? static_cast<size_t>(message->payloadlen) : 0);
  c->callbacks_.message(message->topic, payload);
}

void MqttConnection::OnLog(mosquitto*, void* self, int level, const char* text) {
  auto* c = static_cast<MqttConnection*>(self);
  if ((level & MOSQ_LOG_ERR) && text && !c->connected_) c->library_error_ = text;
}

void MqttConnection::Failed(const std::string& reason) {
  if (attempt_failed_) return;
  attempt_failed_ = true;
  last_error_ = reason;
  if (outage_logged_ || closed_) return;
  outage_logged_ = true;
  log_.LogEvent(kProductSource, "MQTT connection to " + settings_.host + ":" +
                                    std::to_string(settings_.port) + " failed: " + reason);
}

}  // namespace tagvane
