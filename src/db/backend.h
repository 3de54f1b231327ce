// The backend interface behind the runners: one open database connection
// of SQLite (sqlite3 C API) or of a server (ODBC), which runs statements
// with bound values and hands back every row of a query at once.
//
// A Connection is used by one thread at a time (the pool hands it to one
// lease at a time).
#ifndef ZELVAR_DB_BACKEND_H_
#define ZELVAR_DB_BACKEND_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/connection_string.h"
#include "db/sql.h"
#include "db/status.h"
#include "db/variant.h"

namespace zelvar::db {

// Every row of one query, in the order the database gave them.
struct ResultSet {
  std::vector<std::string> column_names;  // as the database reports them
  std::vector<int> column_types;          // AdoType codes
  std::vector<std::vector<Variant>> rows;
};

// The outcome of one query of a batch.
struct BatchResult {
  Status status;
  ResultSet rows;  // when `status` is OK
};

// The family of SQL a connection's database speaks, for the statements
// each family writes its own way.
enum class SqlFamily { kSqlite, kPostgres, kMySql, kOther };

class Connection {
 public:
  virtual ~Connection() = default;

  // Runs `sql` with its values bound. `rows` (null for statements without
  // rows) receives the query's rows.
  virtual Status Run(const Sql& sql, ResultSet* rows) = 0;

  // The rows the last successful Run without rows inserted, changed or
  // deleted.
  virtual int64_t Changes() const = 0;

  // Runs queries that only read, in order. `results` receives one entry per
  // query whose outcome is known. A server backend may send them in one
  // round trip; this one runs them one by one with Run. OK when every
  // outcome is known; when the batch broke off, the failure that ended it,
  // and `results` holds only the leading outcomes known: the caller runs
  // the rest otherwise (a query there may have run already, which only
  // reading makes harmless).
  virtual Status RunBatch(const std::vector<const Sql*>& queries,
                          std::vector<BatchResult>* results);

  // Transactions: Begin starts one with the strongest isolation for a
  // read-modify-write (BEGIN IMMEDIATE; SERIALIZABLE).
  virtual Status Begin() = 0;
  virtual Status Commit() = 0;
  virtual Status Rollback() = 0;

  // Whether texts travel whole both ways: a text bound as UTF-16 and read
  // back as UTF-16 arrives unchanged. A failure when the driver can't (an
  // ODBC driver of the ANSI kind refuses wide values).
  virtual Status CheckTexts() { return Status::OK(); }

  // The queries from `first` on, one by one with Run, their outcomes
  // appended to `results`; as RunBatch. Stops after a link failure.
  Status RunEachOf(const std::vector<const Sql*>& queries, size_t first,
                   std::vector<BatchResult>* results);

  // False when the connection is known to be unusable, checked before a
  // statement is sent on a pooled connection. Sends nothing the server
  // would run.
  virtual bool IsAlive() = 0;

  // True when the database this connection opened is no longer the one
  // its connection string names: an SQLite file replaced, renamed or
  // removed under it. Such a connection is dead (IsAlive is false) and is
  // never pooled again. Cheap (one look at the file's status); a server's
  // connection is never superseded.
  virtual bool Superseded() { return false; }

  // The family of the database's SQL, known from the connection's start.
  virtual SqlFamily Family() const = 0;

  // The database product: "SQLite", or the server's name as its ODBC
  // driver reports it ("PostgreSQL", "MariaDB", ...); empty when unknown.
  virtual std::string ProductName() { return std::string(); }

  // The client library the connection goes through and its version: "SQLite
  // 3.40.1", or the ODBC driver's file name and version as it reports them
  // ("psqlodbcw.so 16.00.0000"); empty when unknown.
  virtual std::string DriverName() { return std::string(); }
};

// Opens a connection for one connection string (connection_string.h) into
// `connection`. A link failure, `connection` untouched, when it can't be
// opened.
Status OpenConnection(const std::string& connection_string,
                      std::unique_ptr<Connection>* connection);

// The two backends.
Status OpenSqliteConnection(const std::string& path, std::unique_ptr<Connection>* connection,
                            const ConnectionOptions& options = ConnectionOptions());
Status OpenOdbcConnection(const std::string& odbc_string,
                          std::unique_ptr<Connection>* connection,
                          const ConnectionOptions& options = ConnectionOptions());

// The module's own settings of a connection string (its time bounds),
// defaults where it names none or can't be read. Thread-safe; cheap when
// asked again for the same string.
ConnectionOptions OptionsOf(const std::string& connection_string);

}  // namespace zelvar::db

#endif  // ZELVAR_DB_BACKEND_H_
