// A raw database client for tests, benchmarks and fuzzers: SQLite through
// the sqlite3 C API, servers through the ODBC driver manager directly. It
// shares no code with the module's database layer, so a fault there can't
// hide itself by reading back what it wrote wrong.
//
// Statements take their values bound to "?" places; queries give rows as
// UTF-8 texts (NULL as nullopt, date-times as YYYY-MM-DD HH:MM:SS).
//
// A RawDb is one open connection, used by one thread at a time.
#ifndef ZELVAR_TESTS_KIT_RAW_DB_H_
#define ZELVAR_TESTS_KIT_RAW_DB_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace zelvar::kit {

// A value bound to a statement's "?" place.
struct Value {
  enum class Kind { kNull, kInt, kDouble, kText, kTime, kBool };
  Kind kind = Kind::kNull;
  int64_t number = 0;  // kInt, kBool
  double real = 0;     // kDouble
  std::string text;    // kText (UTF-8), kTime (local time YYYY-MM-DD HH:MM:SS)

  static Value Null() { return {}; }
  static Value Int(int64_t v) { return {Kind::kInt, v, 0, {}}; }
  static Value Double(double v) { return {Kind::kDouble, 0, v, {}}; }
  static Value Text(std::string v) { return {Kind::kText, 0, 0, std::move(v)}; }
  // SQLite stores the text as it stands (whatever it holds); a server
  // gets a date-time, so there the text must be one.
  static Value Time(std::string v) { return {Kind::kTime, 0, 0, std::move(v)}; }
  static Value Bool(bool v) { return {Kind::kBool, v ? 1 : 0, 0, {}}; }
};

using Row = std::vector<std::optional<std::string>>;
using Rows = std::vector<Row>;

class RawDb {
 public:
  virtual ~RawDb() = default;
  RawDb(const RawDb&) = delete;
  RawDb& operator=(const RawDb&) = delete;

  // "SQLite", "PostgreSQL", "MariaDB", ...; empty when unknown.
  virtual std::string ProductName() = 0;

  // Runs `sql`. Without values it may hold several statements (as one
  // script on SQLite; as the server takes them on ODBC).
  virtual bool Exec(const std::string& sql, const std::vector<Value>& values,
                    std::string* error) = 0;
  bool Exec(const std::string& sql, std::string* error) { return Exec(sql, {}, error); }

  // Runs a query; its rows are appended to `rows`.
  virtual bool Query(const std::string& sql, const std::vector<Value>& values, Rows* rows,
                     std::string* error) = 0;

  // A schema script: statement by statement, in one transaction where the
  // database's DDL is transactional. A failure rolls back what it can.
  virtual bool RunScript(const std::string& script, std::string* error) = 0;

  virtual bool Begin(std::string* error) = 0;
  virtual bool Commit(std::string* error) = 0;
  virtual void Rollback() = 0;

 protected:
  RawDb() = default;
};

// An SQLite connection, with its handle for callers that need the C API
// itself (arbitrary stored values, PRAGMAs). The handle stays valid while
// the object lives.
class SqliteDb : public RawDb {
 public:
  virtual sqlite3* handle() = 0;
};

// Opens the SQLite file at `path` (creating it when `create` is true) with
// a busy timeout of 5 s. Null with `error` filled when it can't.
std::unique_ptr<SqliteDb> OpenSqlite(const std::string& path, bool create, std::string* error);

// Connects with an ODBC connection string (a driver's or a DSN's).
// `login_timeout` in seconds, 0 for the driver's own. Null with `error`
// filled (each diagnostic record as "SQLSTATE: message") when it can't.
std::unique_ptr<RawDb> OpenOdbc(const std::string& connection_string, std::string* error,
                                int login_timeout = 0);

}  // namespace zelvar::kit

#endif  // ZELVAR_TESTS_KIT_RAW_DB_H_
