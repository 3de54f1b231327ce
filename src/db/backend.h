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
#include "db/variant.h"

namespace zelvar::db {

enum class FailureKind {
  kNone,
  // The statement failed; the connection is sound.
  kStatement,
  // A serialization failure or deadlock: the transaction may be run again.
  kRetryable,
  // The link failed: the connection is broken and must not be pooled again.
  kLink,
};

struct BackendError {
  FailureKind kind = FailureKind::kNone;
  std::u16string text;  // the backend's description
};

// Every row of one query, in the order the database gave them.
struct ResultSet {
  std::vector<std::string> column_names;  // as the database reports them
  std::vector<int> column_types;          // AdoType codes
  std::vector<std::vector<Variant>> rows;
};

// The outcome of one query of a batch.
struct BatchResult {
  bool ok = false;
  ResultSet rows;
};

class Connection {
 public:
  virtual ~Connection() = default;

  // Runs `sql` with its values bound. `rows` (null for statements without
  // rows) receives the query's rows. False with `error` filled on failure.
  virtual bool Run(const Sql& sql, ResultSet* rows, BackendError* error) = 0;

  // The rows the last successful Run without rows inserted, changed or
  // deleted.
  virtual int64_t Changes() const = 0;

  // Runs queries that only read, in order. `results` receives one entry per
  // query. A server backend may send them in one round trip; this one runs
  // them one by one with Run. Returns how many leading entries of `results`
  // hold a known outcome: all of them, or fewer when the batch broke off,
  // with `error` telling why; the caller then runs the rest otherwise (a
  // query there may have run already, which only reading makes harmless).
  virtual size_t RunBatch(const std::vector<const Sql*>& queries,
                          std::vector<BatchResult>* results, BackendError* error);

  // Transactions: Begin starts one with the strongest isolation for a
  // read-modify-write (BEGIN IMMEDIATE; SERIALIZABLE).
  virtual bool Begin(BackendError* error) = 0;
  virtual bool Commit(BackendError* error) = 0;
  virtual bool Rollback(BackendError* error) = 0;

  // Whether texts travel whole both ways: a text bound as UTF-16 and read
  // back as UTF-16 arrives unchanged. False with `error` filled when the
  // driver can't (an ODBC driver of the ANSI kind refuses wide values).
  virtual bool CheckTexts(BackendError* error) { return true; }

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
};

// Opens a connection for one connection string (connection_string.h).
// Null with `error` (kind kLink) filled when it can't be opened.
std::unique_ptr<Connection> OpenConnection(const std::string& connection_string,
                                           BackendError* error);

// The two backends.
std::unique_ptr<Connection> OpenSqliteConnection(
    const std::string& path, BackendError* error,
    const ConnectionOptions& options = ConnectionOptions());
std::unique_ptr<Connection> OpenOdbcConnection(
    const std::string& odbc_string, BackendError* error,
    const ConnectionOptions& options = ConnectionOptions());

// The module's own settings of a connection string (its time bounds),
// defaults where it names none or can't be read. Thread-safe; cheap when
// asked again for the same string.
ConnectionOptions OptionsOf(const std::string& connection_string);

}  // namespace zelvar::db

#endif  // ZELVAR_DB_BACKEND_H_
