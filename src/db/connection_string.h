// Connection strings: ";"-separated keyword=value pairs, keywords without
// regard to case, values possibly braced ({...}, "}}" for "}") or quoted
// ("..." or '...', the quote doubled inside).
//
//   Provider=SQLite;Data Source=PATH    an existing SQLite database file
//   ...Driver=...; or ...DSN=...;       handed to the ODBC driver manager
//   Provider=sqloledb (SQLOLEDB.1, MSOLEDBSQL, SQLNCLI, SQLNCLI11)
//                                       translated to ODBC for SQL Server
//
// Keywords of the module itself, on every backend (taken out of the
// string before a driver sees it):
//   Connect Timeout=S (also Connection Timeout)   seconds a connect may
//        take, handshake included; 15 by default
//   Command Timeout=S   seconds one request may take, its statements, lock
//        waits and retries together; 30 by default
//   Named Statements=yes   keep statements prepared under a name on the
//        server between requests (a direct connection only: a pooler in
//        transaction mode would run them on other sessions)
//   Failover=host[:port],...   servers to try after the one Server= names
//
// Several servers (MariaDB's, MySQL's and PostgreSQL's drivers): a new
// connection goes to the first of them that answers (failover.h).
//   ...;Server=host1,host2:3307,[::1]:3308;Port=3306;...
//   ...;Server=host1;Port=3306;Failover=host2:3307,host3;...
// Each entry is host, host:port or [IPv6 address]:port; a bare host takes
// Port= (the driver's default without one). The driver gets one string
// per server, naming it alone (Server=host;Port=port). A list with an
// empty entry or a port that is not a number from 1 to 65535 is refused.
// For SQL Server, "Server=host,1433" stays one server and its port, and
// Failover= is refused.
#ifndef ZELVAR_DB_CONNECTION_STRING_H_
#define ZELVAR_DB_CONNECTION_STRING_H_

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelvar::db {

struct ConnectionOptions {
  std::chrono::milliseconds connect_timeout{15000};
  std::chrono::milliseconds command_timeout{30000};
  bool named_statements = false;
};

struct ConnectionTarget {
  enum class Kind { kInvalid, kSqlite, kOdbc };
  Kind kind = Kind::kInvalid;
  std::string sqlite_path;  // kSqlite
  std::string odbc;         // kOdbc: the string for SQLDriverConnect (the first server's)
  std::vector<std::string> servers;  // kOdbc naming several servers: one string each, in order
  std::string error;        // kInvalid: why
  ConnectionOptions options;
};

// The keyword=value pairs in order, keywords as written, values unquoted.
// False for text that is not such a list.
bool SplitConnectionString(const std::string& text,
                           std::vector<std::pair<std::string, std::string>>* pairs);

// Whether an ODBC driver name (as written after Driver=) names
// PostgreSQL's driver, whatever its case.
bool NamesPostgresDriver(std::string_view driver);

// `installed_drivers` are the ODBC driver names the driver manager knows;
// the first SQL Server driver among "ODBC Driver 18 for SQL Server",
// "ODBC Driver 17 for SQL Server", "FreeTDS" is chosen for the sqloledb
// family.
ConnectionTarget ResolveConnectionString(const std::string& text,
                                         const std::vector<std::string>& installed_drivers);

// As above with the driver manager's own list of installed drivers.
ConnectionTarget ResolveConnectionString(const std::string& text);

}  // namespace zelvar::db

#endif  // ZELVAR_DB_CONNECTION_STRING_H_
