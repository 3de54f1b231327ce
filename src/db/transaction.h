// Transactions: statements that belong together (a check and the change
// after it, a read and the mark-read after it, a grant and its counters)
// run on one leased connection in one transaction, with the strongest
// isolation the backend offers for a read-modify-write (BEGIN IMMEDIATE on
// SQLite, SERIALIZABLE on servers).
#ifndef ZELVAR_DB_TRANSACTION_H_
#define ZELVAR_DB_TRANSACTION_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "db/runner.h"
#include "db/sql.h"

namespace zelvar::db {

// The statements of one attempt. Same results and texts as ExecuteSql and
// QuerySql, on the transaction's connection. A record set from Query holds
// its rows already and may outlive the transaction.
class Transaction {
 public:
  virtual ~Transaction() = default;
  // `changed` (may be null) receives the rows the statement inserted,
  // changed or deleted.
  virtual int Execute(const Sql& sql, std::u16string* error_text, int64_t* changed = nullptr) = 0;
  virtual int Query(const Sql& sql, RecordsetHandle& recordset, std::u16string* error_text) = 0;
  // The SQL family of the transaction's connection, for statements whose
  // text differs between servers.
  virtual SqlFamily Family() const = 0;
};

// How a transaction waits for its write lock.
struct TransactionOptions {
  // Bounds the wait for the write lock that starts the transaction (on
  // SQLite, BEGIN IMMEDIATE waits while another connection or process
  // holds that lock). When the lock can't be had within it,
  // RunTransaction gives up at once with kWriteLockBusy: `body` did not
  // run and nothing was changed; nothing is logged unless the request's
  // time ran out meanwhile. Zero: the wait ends only with the request's
  // time. A server's transaction takes no lock at its start, so there it
  // changes nothing; the row locks a body meets wait for the request's
  // time as ever.
  std::chrono::milliseconds write_lock_wait{0};
};

// RunTransaction's result when the write lock could not be had within
// TransactionOptions::write_lock_wait. No body returns it.
inline constexpr int kWriteLockBusy = -2;

// Runs `body` in a transaction. `body` returns 0 to commit and anything
// else to roll back. When a statement or the commit fails with a
// serialization failure, deadlock or lock wait timeout (SQLITE_BUSY,
// SQLSTATE 40001 or 40P01, SQL Server's 1205, MariaDB's 1205 and 1213) the
// transaction is rolled back and `body` runs again from the start, until
// the request's time is up; when a statement fails because its server does
// not serve (Status::NotServing: a Galera node that is not ready), `body`
// runs again on a fresh connection, another server's when the string
// names several. So `body` must have no effect outside the database except
// on state it resets itself. A commit whose link failed is never run
// again: it may have taken effect.
//
// Returns 0 when committed. Otherwise the result is the body's own when it
// asked to roll back, or -1 when a statement or the commit failed, the
// retries ran out, or the
// connection could not be opened (then with "数据库没能打开" and an
// error-log record, as the runners do). `error_text` (may be null) gets the
// failing statement's error text. After -1 nothing of the body's
// statements stays, except when the link failed during the commit: then
// the transaction may have been committed, and the caller can't know.
int RunTransaction(const std::function<int(Transaction&)>& body, std::u16string* error_text,
                   const TransactionOptions& options = TransactionOptions());

}  // namespace zelvar::db

#endif  // ZELVAR_DB_TRANSACTION_H_
