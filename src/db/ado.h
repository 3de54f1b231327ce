// The connection and record-set wrappers below the statement runners. Each
// one turns every failure, exceptions included, into a result code and an
// error text: no exception leaves them.
//
// A connection handle holds a connection leased from the pool of its
// string; closing it ends the lease (a connection whose link failed is
// closed for good, a sound one goes back to the pool).
//
// Thread-safe as far as distinct handles go; one handle is used by one
// thread at a time.
#ifndef ZELVAR_DB_ADO_H_
#define ZELVAR_DB_ADO_H_

#include <memory>
#include <string>

#include "db/pool.h"
#include "db/runner.h"
#include "db/sql.h"

namespace zelvar::db {

// Empty, or one leased connection.
class ConnectionHandle {
 public:
  explicit operator bool() const { return static_cast<bool>(lease_); }
  Lease& lease() { return lease_; }

 private:
  Lease lease_;
};

// Leases a connection for `connection_string` (null counts as a string
// that does not open). `fresh` opens a new one even when one is idle. 0,
// or -1 with the backend's text; on failure the handle is empty.
int AdoConnOpen(ConnectionHandle& connection, std::shared_ptr<const std::string> connection_string,
                std::u16string* error_text, bool fresh = false);

// Runs a statement without rows. 0, or a failure code with the backend's
// text (an empty handle gives E_POINTER and no text).
int AdoConnExecute(ConnectionHandle& connection, const Sql& statement,
                   std::u16string* error_text);

// Ends the lease; the handle is empty after. 0, or E_POINTER for an empty
// handle.
int AdoConnClose(ConnectionHandle& connection);

// Runs a query on `active_connection` and puts its rows into `recordset`
// (whatever it held is released first). 0, or a failure code with the
// backend's text; on failure `recordset` is empty.
int AdoRstOpen(RecordsetHandle& recordset, const Sql& statement,
               ConnectionHandle& active_connection, std::u16string* error_text);

}  // namespace zelvar::db

#endif  // ZELVAR_DB_ADO_H_
