// One libpq connection driven by the daemon's event loop: the connection is
// made with PQconnectStartParams/PQconnectPoll, then put in non-blocking
// mode; the socket is watched with an Asio descriptor and every command is
// sent and its results read only when the socket is ready. Nothing here ever
// waits on the network, and there is no thread.
#pragma once

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct pg_conn;
struct pg_result;

namespace tagvane {

// One command of a sequence: SQL text with its parameters bound as text
// ($1, $2 ...), or a COPY ... FROM STDIN with the data to send.
struct PgStep {
  std::string sql;
  std::vector<std::string> params;
  std::optional<std::string> copy_data;
  // Called with each result that carries rows or a command count.
  std::function<void(pg_result*)> on_result;
};

class PgLink {
 public:
  using Done = std::function<void(bool ok, const std::string& error)>;
  using Params = std::vector<std::pair<std::string, std::string>>;

  explicit PgLink(asio::io_context& io);
  ~PgLink();
  PgLink(const PgLink&) = delete;
  PgLink& operator=(const PgLink&) = delete;

  // Starts connecting with the given keywords and values (a "dbname" whose
  // value is a connection string is expanded); done runs from the loop.
  void Connect(const Params& params, Done done);
  // Runs the steps in order; stops at the first failure. done runs from the
  // loop. The link must be connected and idle.
  void Run(std::vector<PgStep> steps, Done done);
  // Closes the connection; a pending operation is dropped without its
  // callback.
  void Close();
  bool Connected() const { return conn_ != nullptr && phase_ != Phase::kConnecting; }
  bool Idle() const { return phase_ == Phase::kIdle; }

 static constexpr std::chrono::seconds kConnectTimeout{10};
  static constexpr std::chrono::seconds kRunTimeout{30};

 private:
  enum class Phase { kClosed, kConnecting, kIdle, kRunning };

  void Drive();
  void DriveConnect();
  void DriveRun();
  bool SendStep();
  // Hands libpq's output to the socket as far as it takes it.
  bool Flush();
  void ArmDeadline(std::chrono::seconds after, const char* what);
  // Makes sure the descriptor watches libpq's current socket.
  bool Track();
  void Wait(bool read, bool write);
  void Finish(bool ok, const std::string& error);
  std::string ConnError() const;

  asio::io_context& io_;
  asio::posix::stream_descriptor socket_;
  // A server that stops answering fails the operation instead of holding
  // it for ever.
  asio::steady_timer deadline_;
  int fd_ = -1;
  pg_conn* conn_ = nullptr;
  Phase phase_ = Phase::kClosed;
  bool read_waiting_ = false;
  bool write_waiting_ = false;
  bool flush_pending_ = false;
  uint64_t generation_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  std::vector<PgStep> steps_;
  size_t step_ = 0;
  std::string step_error_;
  Done done_;
};

// The text of a libpq failure without its trailing line end.
std::string PgMessage(const char* text);

}  // namespace tagvane
