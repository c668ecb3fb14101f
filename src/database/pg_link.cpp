#include "database/pg_link.h"

#include <libpq-fe.h>

#include <asio/post.hpp>

namespace tagvane {

std::string PgMessage(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  for (char& c : s) {
    if (c == '\n') c = ' ';
  }
  return s.empty() ? "unknown failure" : s;
}

PgLink::PgLink(asio::io_context& io) : io_(io), socket_(io), deadline_(io) {}

PgLink::~PgLink() {
  *alive_ = false;
  Close();
}

std::string PgLink::ConnError() const {
  return conn_ ? PgMessage(PQerrorMessage(conn_)) : "no connection";
}

void PgLink::Close() {
  ++generation_;
  deadline_.cancel();
  if (socket_.is_open()) socket_.release();  // libpq owns the descriptor
  fd_ = -1;
  read_waiting_ = write_waiting_ = flush_pending_ = false;
  if (conn_) PQfinish(conn_);
  conn_ = nullptr;
  phase_ = Phase::kClosed;
  steps_.clear();
  done_ = nullptr;
}

void PgLink::Connect(const Params& params, Done done) {
  Close();
  std::vector<const char*> keys, values;
  for (const auto& [k, v] : params) {
    keys.push_back(k.c_str());
    values.push_back(v.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  done_ = std::move(done);
  phase_ = Phase::kConnecting;
  conn_ = PQconnectStartParams(keys.data(), values.data(), 1);
  if (!conn_ || PQstatus(conn_) == CONNECTION_BAD) {
    const std::string error = ConnError();
    std::weak_ptr<bool> alive = alive_;
    const uint64_t generation = generation_;
    asio::post(io_, [this, alive, generation, error] {
      auto token = alive.lock();
      if (token && *token && generation == generation_) Finish(false, error);
    });
    return;
  }
  ArmDeadline(kConnectTimeout, "timeout expired while connecting");
  // The first poll comes once the socket can be written.
  if (!Track()) return Finish(false, ConnError());
  Wait(false, true);
}

void PgLink::Run(std::vector<PgStep> steps, Done done) {
  steps_ = std::move(steps);
  step_ = 0;
  step_error_.clear();
  done_ = std::move(done);
  phase_ = Phase::kRunning;
  ArmDeadline(kRunTimeout, "no answer from the server");
  if (steps_.empty() || !SendStep()) {
    const std::string error = steps_.empty() ? "" : ConnError();
    std::weak_ptr<bool> alive = alive_;
    const uint64_t generation = generation_;
    asio::post(io_, [this, alive, generation, error] {
      auto token = alive.lock();
      if (!token || !*token || generation != generation_) return;
      if (error.empty()) {
        phase_ = Phase::kIdle;
        deadline_.cancel();
      }
      Finish(error.empty(), error);
    });
    return;
  }
  Wait(true, flush_pending_);
}

void PgLink::ArmDeadline(std::chrono::seconds after, const char* what) {
  deadline_.expires_after(after);
  std::weak_ptr<bool> alive = alive_;
  const uint64_t generation = generation_;
  std::string error = what;
  deadline_.async_wait([this, alive, generation, error](const std::error_code& ec) {
    auto token = alive.lock();
    if (ec || !token || !*token || generation != generation_) return;
    if (phase_ == Phase::kConnecting || phase_ == Phase::kRunning) Finish(false, error);
  });
}

bool PgLink::Track() {
  const int fd = PQsocket(conn_);
  if (fd == fd_) return fd >= 0;
  if (socket_.is_open()) socket_.release();
  ++generation_;
  read_waiting_ = write_waiting_ = false;
  fd_ = fd;
  if (fd < 0) return false;
  std::error_code ec;
  socket_.assign(fd, ec);
  return !ec;
}

void PgLink::Wait(bool read, bool write) {
  std::weak_ptr<bool> alive = alive_;
  const uint64_t generation = generation_;
  auto arm = [&](asio::posix::stream_descriptor::wait_type type, bool& waiting) {
    if (waiting) return;
    waiting = true;
    socket_.async_wait(type, [this, alive, generation, &waiting](const std::error_code& ec) {
      auto token = alive.lock();
      if (!token || !*token || generation != generation_) return;
      waiting = false;
      if (ec) return;
      Drive();
    });
  };
  if (read) arm(asio::posix::stream_descriptor::wait_read, read_waiting_);
  if (write) arm(asio::posix::stream_descriptor::wait_write, write_waiting_);
}

void PgLink::Drive() {
  if (phase_ == Phase::kConnecting) DriveConnect();
  else if (phase_ == Phase::kRunning) DriveRun();
}

void PgLink::DriveConnect() {
  switch (PQconnectPoll(conn_)) {
    case PGRES_POLLING_OK:
      if (PQsetnonblocking(conn_, 1) != 0) return Finish(false, ConnError());
      phase_ = Phase::kIdle;
      deadline_.cancel();
      Track();
      return Finish(true, "");
    case PGRES_POLLING_READING:
      if (!Track()) return Finish(false, ConnError());
      return Wait(true, false);
    case PGRES_POLLING_WRITING:
      if (!Track()) return Finish(false, ConnError());
      return Wait(false, true);
    default:
      return Finish(false, ConnError());
  }
}

bool PgLink::SendStep() {
  const PgStep& step = steps_[step_];
  int sent;
  if (step.params.empty()) {
    sent = PQsendQuery(conn_, step.sql.c_str());
  } else {
    std::vector<const char*> values;
    for (const auto& p : step.params) values.push_back(p.c_str());
    sent = PQsendQueryParams(conn_, step.sql.c_str(), static_cast<int>(values.size()), nullptr,
                             values.data(), nullptr, nullptr, 0);
  }
  if (!sent) return false;
  flush_pending_ = true;
  return Flush();
}

bool PgLink::Flush() {
  if (!flush_pending_) return true;
  const int r = PQflush(conn_);
  if (r < 0) return false;
  flush_pending_ = r == 1;
  return true;
}

void PgLink::DriveRun() {
  if (!Flush()) return Finish(false, ConnError());
  if (!PQconsumeInput(conn_)) return Finish(false, ConnError());
  while (!PQisBusy(conn_)) {
    PGresult* res = PQgetResult(conn_);
    if (!res) {
      // The step's results are complete.
      if (!step_error_.empty()) return Finish(false, step_error_);
      if (++step_ == steps_.size()) {
        phase_ = Phase::kIdle;
        deadline_.cancel();
        return Finish(true, "");
      }
      if (!SendStep()) return Finish(false, ConnError());
      continue;
    }
    const PgStep& step = steps_[step_];
    switch (PQresultStatus(res)) {
      case PGRES_COPY_IN: {
        const std::string& data = step.copy_data ? *step.copy_data : std::string();
        if (PQputCopyData(conn_, data.data(), static_cast<int>(data.size())) != 1 ||
            PQputCopyEnd(conn_, nullptr) != 1) {
          PQclear(res);
          return Finish(false, ConnError());
        }
        flush_pending_ = true;
        if (!Flush()) {
          PQclear(res);
          return Finish(false, ConnError());
        }
        break;
      }
      case PGRES_COMMAND_OK:
      case PGRES_TUPLES_OK:
        if (step.on_result) step.on_result(res);
        break;
      default:
        if (step_error_.empty()) step_error_ = PgMessage(PQresultErrorMessage(res));
        break;
    }
    PQclear(res);
  }
  Wait(true, flush_pending_);
}

void PgLink::Finish(bool ok, const std::string& error) {
  Done done = std::move(done_);
  done_ = nullptr;
  if (!ok) Close();
  if (done) done(ok, error);
}

}  // namespace tagvane
