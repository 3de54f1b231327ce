// What every runner does around its statements: leasing a connection for
// the connection string in force within the request's time, running work
// again that the server undid whole or never ran, the failure of a
// connection that can't be opened, and the one error-log record of a
// request that ran out of time.
#ifndef ZELVAR_DB_REQUEST_H_
#define ZELVAR_DB_REQUEST_H_

#include <functional>
#include <string>

#include "db/ado.h"
#include "db/status.h"

namespace zelvar::db {

// The error text and error-log record of a request that ran out of time.
inline constexpr char16_t kTimedOutLogText[] =
    u"the request ran out of time (Command Timeout) and was abandoned";

// Starts the request's clock (the command timeout of the string in force)
// and leases a connection for that string into `lease`. The backend's
// reason when none opens.
Status LeaseForRequest(Lease* lease, bool fresh = false);

// What a runner reports when no connection opens: writes the error-log
// record and gives a failure with the text "数据库没能打开".
Status OpenFailed();

// Attempts go on until the request's time is up: a count of them says
// nothing (on MariaDB, a busy machine let one grant of two hundred lose
// fifty times in a row within three seconds). The count is only a fuse for
// a request without a time bound.
inline constexpr int kMaxAttempts = 5000;

// Sleeps a random time below a ceiling that doubles with each attempt
// (counted from 1), so that colliding writers drift apart.
void BackOff(int attempt);

// Runs `run`, one statement outside a transaction, on `lease`, and runs it
// again within the request's time:
//  - after the server undid it whole (Status::Retryable: a deadlock
//    victim, a lock wait timeout, a serialization or certification
//    failure; alone, the statement was its own transaction), after a
//    pause (BackOff), on the same connection;
//  - while the server did not serve it (it ran nothing:
//    Status::NotServing), on a fresh connection (another server's, when
//    the string names several).
// Never after any other failure: a statement whose link broke may have
// been stored.
Status RunServed(Lease& lease, const std::function<Status(Lease&)>& run);

// After a failure: writes the record of a request that ran out of time,
// once per request. True when the failure was the request's time running
// out.
bool NoteIfTimedOut();

}  // namespace zelvar::db

#endif  // ZELVAR_DB_REQUEST_H_
