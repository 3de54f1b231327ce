// A PostgreSQL server of a test's own, for faults that would disturb other
// tests on the shared one (a restart): a fresh cluster in a temporary
// folder on 127.0.0.1 and a free port, one database "zelvar" holding
// schema/postgresql.sql, trust authentication. It uses the binaries and
// the system user that scripts/with-postgres names (ZELVAR_TEST_PG_BIN,
// ZELVAR_TEST_PG_USER). Commits are synchronous, so a commit reported
// survives a crash of the server.
//
// One thread at a time.
#ifndef ZELVAR_TESTS_FAULTS_PRIVATE_POSTGRES_H_
#define ZELVAR_TESTS_FAULTS_PRIVATE_POSTGRES_H_

#include <memory>
#include <string>

namespace zelvar::test {

class PrivatePostgres {
 public:
  // True when the variables above are set.
  static bool Available();

  // Starts the server; null with `error` filled when it can't.
  static std::unique_ptr<PrivatePostgres> Start(std::string* error);

  // Stops the server at once and removes its folder.
  ~PrivatePostgres();
  PrivatePostgres(const PrivatePostgres&) = delete;
  PrivatePostgres& operator=(const PrivatePostgres&) = delete;

  // An ODBC string for the database "zelvar".
  const std::string& connection_string() const { return connection_string_; }

  // pg_ctl restart with `mode` ("fast", "immediate"), waiting until the
  // server takes connections again. False when it did not come back.
  bool Restart(const std::string& mode);

 private:
  PrivatePostgres() = default;
  // Runs `command` as the server's system user; true on status 0.
  bool AsServerUser(const std::string& command) const;

  std::string bin_;
  std::string user_;
  std::string folder_;
  std::string connection_string_;
  bool started_ = false;
};

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_FAULTS_PRIVATE_POSTGRES_H_
