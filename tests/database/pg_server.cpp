#include "database/pg_server.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace tagvane::test {
namespace {
constexpr const char* kPort = "5433";
}

PgServer::PgServer() : bin_("/usr/lib/postgresql/15/bin/") {
  if (geteuid() == 0) {
    // The server refuses to run as root.
    as_postgres_ = "runuser -u postgres -- ";
    if (const passwd* pw = getpwnam("postgres")) {
      // A failure shows as initdb's own error below.
      if (chown(dir_.Path().c_str(), pw->pw_uid, pw->pw_gid) != 0) error_.clear();
    }
  }
  if (!Run(as_postgres_ + bin_ + "initdb -D " + (dir_ / "data").string() +
           " -U tagvane -A trust --no-sync -E UTF8 > " + (dir_ / "initdb.log").string() +
           " 2>&1")) {
    error_ = "initdb failed: " + ReadFile(dir_ / "initdb.log");
    return;
  }
  Start();
}

PgServer::~PgServer() {
  if (running_) Stop();
}

bool PgServer::Run(const std::string& command) { return std::system(command.c_str()) == 0; }

bool PgServer::Start() {
  const std::string options = "-k " + dir_.Path().string() + " -p " + kPort +
                              " -c listen_addresses= -c fsync=off -c full_page_writes=off";
  running_ = Run(as_postgres_ + bin_ + "pg_ctl -D " + (dir_ / "data").string() + " -l " +
                 (dir_ / "server.log").string() + " -w -s -o \"" + options + "\" start");
  if (!running_) error_ = "pg_ctl start failed: " + ReadFile(dir_ / "server.log");
  return running_;
}

bool PgServer::Stop() {
  const bool ok = Run(as_postgres_ + bin_ + "pg_ctl -D " + (dir_ / "data").string() +
                      " -m fast -w -s stop");
  running_ = !ok;
  return ok;
}

std::string PgServer::Source() const {
  return "host=" + dir_.Path().string() + " port=" + kPort + " user=tagvane";
}

std::vector<std::string> PgServer::Query(const std::string& dbname, const std::string& sql) const {
  std::vector<std::string> rows;
  PGconn* conn = PQconnectdb((Source() + " dbname=" + dbname).c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    rows.push_back(std::string("<cannot connect> ") + PQerrorMessage(conn));
    PQfinish(conn);
    return rows;
  }
  PGresult* res = PQexec(conn, sql.c_str());
  const auto status = PQresultStatus(res);
  if (status == PGRES_TUPLES_OK) {
    for (int r = 0; r < PQntuples(res); ++r) {
      std::string row;
      for (int c = 0; c < PQnfields(res); ++c) {
        if (c) row += "|";
        row += PQgetisnull(res, r, c) ? "NULL" : PQgetvalue(res, r, c);
      }
      rows.push_back(row);
    }
  } else if (status != PGRES_COMMAND_OK) {
    rows.push_back(std::string("<error> ") + PQresultErrorMessage(res));
  }
  PQclear(res);
  PQfinish(conn);
  return rows;
}

}  // namespace tagvane::test
