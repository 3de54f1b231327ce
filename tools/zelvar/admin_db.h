// AdminDb: the tool's own connection for setting a database up (tables
// from the shipped schema, the demo world), outside the module: the module
// creates no file and no table. SQLite through the sqlite3 C API, servers
// through unixODBC.
//
// An AdminDb is used by one thread at a time.
#ifndef ZELVAR_TOOLS_ZELVAR_ADMIN_DB_H_
#define ZELVAR_TOOLS_ZELVAR_ADMIN_DB_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zelvar::cli {

// A value bound to a statement's "?" place.
struct SqlValue {
  enum class Kind { kInt, kDouble, kText, kTime, kBool };
  Kind kind = Kind::kInt;
  int64_t number = 0;   // kInt, kBool; kTime: seconds since 1970, shown as local time
  double real = 0;      // kDouble
  std::string text;     // kText, UTF-8

  static SqlValue Int(int64_t v) { return {Kind::kInt, v, 0, {}}; }
  static SqlValue Double(double v) { return {Kind::kDouble, 0, v, {}}; }
  static SqlValue Text(std::string v) { return {Kind::kText, 0, 0, std::move(v)}; }
  static SqlValue Time(int64_t seconds) { return {Kind::kTime, seconds, 0, {}}; }
  // A fixed local time text, YYYY-MM-DD HH:MM:SS (the far due times).
  static SqlValue TimeText(std::string v) { return {Kind::kTime, 0, 0, std::move(v)}; }
  static SqlValue Bool(bool v) { return {Kind::kBool, v ? 1 : 0, 0, {}}; }
};

class AdminDb {
 public:
  virtual ~AdminDb() = default;

  // "SQLite", "PostgreSQL", "Microsoft SQL Server", "MariaDB", ...
  virtual std::string ProductName() = 0;
  // The schema file of schema/ for this product; empty when none fits.
  std::string SchemaFileName();

  // Names of the tables the database holds.
  virtual bool TableNames(std::vector<std::string>* names, std::string* error) = 0;
  // Runs a whole schema script (several statements).
  virtual bool RunScript(const std::string& script, std::string* error) = 0;
  virtual bool Exec(const std::string& sql, const std::vector<SqlValue>& values, std::string* error) = 0;
  // The first column of the first row as an integer; `found` false when
  // the query gives no row.
  virtual bool QueryInt(const std::string& sql, const std::vector<SqlValue>& values, int64_t* value,
                        bool* found, std::string* error) = 0;

  virtual bool Begin(std::string* error) = 0;
  virtual bool Commit(std::string* error) = 0;
  virtual void Rollback() = 0;
};

// Opens the SQLite file at `path`, creating it when `create` is true;
// `created` tells whether the file is new. Refuses a file that is not an
// SQLite database.
std::unique_ptr<AdminDb> OpenSqliteAdmin(const std::string& path, bool create, bool* created,
                                         std::string* error);
std::unique_ptr<AdminDb> OpenOdbcAdmin(const std::string& odbc_string, std::string* error);

// Splits a server's schema script into statements: at ";" outside quotes
// and comments, and at lines holding only GO (SQL Server's scripts).
std::vector<std::string> SplitSqlScript(const std::string& script);

// The tables a schema script creates, in order.
std::vector<std::string> CreatedTables(const std::string& script);

}  // namespace zelvar::cli

#endif  // ZELVAR_TOOLS_ZELVAR_ADMIN_DB_H_
