// MqttConnection: one libmosquitto client driven by the program's event loop.
// The client's socket is watched through Asio (read always, write while the
// library has something to send) and mosquitto_loop_read/write/misc are
// called from those handlers and from a one-second timer; the library never
// runs a thread of its own. The connect is non-blocking; after the broker
// goes away, refuses the connection or fails the TLS handshake it reconnects
// with a delay of 1 s doubling to 60 s. The first failure of an outage is
// logged with its reason (the broker's refusal, the TLS error).
#pragma once

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <functional>
#include <memory>
#include <string>

#include "mqtt/mqtt_settings.h"

struct mosquitto;
struct mosquitto_message;

namespace tagvane {

class Logger;

class MqttConnection {
 public:
  struct Callbacks {
    std::function<void()> connected;     // CONNACK accepted
    std::function<void()> disconnected;  // the connection is gone
    std::function<void(const std::string& topic, const std::string& payload)> message;
    std::function<void()> confirmed;  // a publish was sent (QoS 0) or acknowledged
  };

  MqttConnection(asio::io_context& io, Logger& log, Callbacks callbacks);
  ~MqttConnection();
  MqttConnection(const MqttConnection&) = delete;
  MqttConnection& operator=(const MqttConnection&) = delete;

  // Sets up the client (identity, credentials, TLS, last will "offline"
  // retained on will_topic) and starts connecting. Returns false when the
  // client cannot be made; a broker that cannot be reached is retried.
  bool Start(const MqttSettings& settings, const std::string& will_topic);
  // Publishes (QoS 1 or 0); false when not connected or refused.
  bool Publish(const std::string& topic, std::string_view payload, bool retain, int qos = 1);
  bool Subscribe(const std::string& topic);
  // Publishes payload on topic, disconnects and lets the last packets go out
  // (a bounded wait of at most wait_ms), then stops for good.
  void Close(const std::string& topic, std::string_view payload, int wait_ms = 500);

  bool Connected() const { return connected_; }
  // Seconds until the next attempt while waiting to reconnect, else 0.
  int RetryDelay() const { return retrying_ ? backoff_s_ : 0; }
  uint64_t Connects() const { return connects_; }
  // Publishes of this connection not yet sent or acknowledged. The library
  // goes over all of them at each read, so a long queue makes long reads.
  size_t Unconfirmed() const { return unconfirmed_; }
  const std::string& LastError() const { return last_error_; }

  static constexpr int kFirstBackoffS = 1;
  static constexpr int kMaxBackoffS = 60;

 private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
  static void OnPublish(mosquitto*, void* self, int mid);
  static void OnLog(mosquitto*, void* self, int level, const char* text);
  // An attempt failed (refused, TLS, socket): keeps the first reason of the
  // attempt for the status line and logs the first failure of an outage.
  void Failed(const std::string& reason);

  void Connect();
  // Sets the client up afresh (callbacks, options, credentials, TLS, will).
  // A reconnect starts from here too, so messages that were in flight when
  // the broker went away are not sent again after the current states.
  bool Configure();
  void ScheduleReconnect();
  void Watch();
  void Unwatch();
  void ArmRead();
  void ArmWrite();
  void AfterCall(int rc);
  void Tick();

  asio::io_context& io_;
  Logger& log_;
  Callbacks callbacks_;
  mosquitto* client_ = nullptr;
  MqttSettings settings_;
  std::string will_topic_;
  asio::posix::stream_descriptor descriptor_;
  asio::steady_timer misc_timer_;
  asio::steady_timer retry_timer_;
  int watched_fd_ = -1;
  uint64_t watch_generation_ = 0;
  bool reading_ = false;
  bool writing_ = false;
  bool connected_ = false;
  size_t unconfirmed_ = 0;
  bool retrying_ = false;
  bool closed_ = false;
  int backoff_s_ = kFirstBackoffS;
  uint64_t connects_ = 0;
  bool reconnecting_ = false;
  std::string last_error_;
  // The library's last error line (the TLS reason of a failed handshake).
  std::string library_error_;
  // The current attempt already has its reason (a refusal, a TLS failure);
  // the generic errors that follow it do not replace it.
  bool attempt_failed_ = false;
  bool outage_logged_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace tagvane
