// A real PostgreSQL server for the tests: a fresh cluster made with initdb in
// a temporary folder, listening only on a Unix socket in that folder (no
// network at all, so it works inside a private network namespace). When the
// tests run as root the server runs as the "postgres" user.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.h"

namespace tagvane::test {

class PgServer {
 public:
  PgServer();
  ~PgServer();
  bool Start();
  bool Stop();
  // libpq connection string of the server (role "tagvane", no database).
  std::string Source() const;
  // Runs sql on database dbname (blocking; tests only). Rows as "a|b".
  std::vector<std::string> Query(const std::string& dbname, const std::string& sql) const;
  const std::string& Error() const { return error_; }

 private:
  bool Run(const std::string& command);

  TempDir dir_;
  std::string bin_;
  std::string as_postgres_;
  std::string error_;
  bool running_ = false;
};

}  // namespace tagvane::test
