// The process's one ODBC environment (ODBC 3.80) and what the driver
// manager knows about installed drivers. Thread-safe.
#ifndef ZELVAR_DB_ODBC_ENV_H_
#define ZELVAR_DB_ODBC_ENV_H_

#include <sql.h>

#include <memory>
#include <string>
#include <vector>

namespace zelvar::db {

// Owns an environment handle; freed when the last holder lets it go, so a
// connection that outlives every other user (a pooled one at exit) still
// frees its own handle before the environment.
class OdbcEnvironment {
 public:
  explicit OdbcEnvironment(SQLHENV handle) : handle_(handle) {}
  ~OdbcEnvironment();
  OdbcEnvironment(const OdbcEnvironment&) = delete;
  OdbcEnvironment& operator=(const OdbcEnvironment&) = delete;

  SQLHENV handle() const { return handle_; }

 private:
  SQLHENV handle_;
};

// The shared environment, allocated on first use; null when the driver
// manager can't allocate one.
std::shared_ptr<OdbcEnvironment> SharedOdbcEnvironment();

// The driver names the driver manager lists (SQLDrivers), in its order;
// empty when there is no environment.
std::vector<std::string> InstalledOdbcDrivers();

}  // namespace zelvar::db

#endif  // ZELVAR_DB_ODBC_ENV_H_
