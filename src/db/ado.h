// The connection and record-set wrappers below the statement runners. Each
// one turns every failure, exceptions included, into a result code and an
// error text: no exception leaves them.
//
// A connection is a Lease (pool.h) of the pool of its string; closing it
// ends the lease (a connection whose link failed is closed for good, a
// sound one goes back to the pool).
//
// Below the wrappers are their steps without the exception capture, each
// reporting a Status, for the runners, which capture once for the whole
// call.
//
// Thread-safe as far as distinct leases go; one lease is used by one
// thread at a time.
#ifndef ZELVAR_DB_ADO_H_
#define ZELVAR_DB_ADO_H_

#include <memory>
#include <string>

#include "db/pool.h"
#include "db/runner.h"
#include "db/sql.h"
#include "db/status.h"

namespace zelvar::db {

// Leases a connection for `connection_string` (null counts as a string
// that does not open). `fresh` opens a new one even when one is idle. 0,
// or -1 with the backend's text; on failure the lease is empty.
int AdoConnOpen(Lease& connection, std::shared_ptr<const std::string> connection_string,
                std::u16string* error_text, bool fresh = false);

// Runs a statement without rows. 0, or a failure code with the backend's
// text (an empty lease gives E_POINTER and no text).
int AdoConnExecute(Lease& connection, const Sql& statement, std::u16string* error_text);

// Ends the lease; the lease is empty after. 0, or E_POINTER for an empty
// lease.
int AdoConnClose(Lease& connection);

// Runs a query on `active_connection` and puts its rows into `recordset`
// (whatever it held is released first). 0, or a failure code with the
// backend's text; on failure `recordset` is empty.
int AdoRstOpen(RecordsetHandle& recordset, const Sql& statement, Lease& active_connection,
               std::u16string* error_text);

// The steps. OpenLease: as AdoConnOpen. RunStatement: as AdoConnExecute on
// a lease that holds a connection. RunQuery: as AdoRstOpen on a lease that
// holds a connection. A failure of a statement is noted on the lease
// (Lease::Note).
Status OpenLease(const std::shared_ptr<const std::string>& connection_string, bool fresh,
                 Lease* lease);
Status RunStatement(Lease& lease, const Sql& statement);
Status RunQuery(Lease& lease, const Sql& statement, RecordsetHandle& recordset);

}  // namespace zelvar::db

#endif  // ZELVAR_DB_ADO_H_
