// What every runner does around its statements: leasing a connection for
// the connection string in force within the request's time, the failure
// of a connection that can't be opened, and the one error-log record of a
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

// Runs `run` on `lease`; while the server did not serve it (it ran
// nothing: Status::NotServing), again on a fresh connection (another
// server's, when the string names several), within the request's time.
Status RunServed(Lease& lease, const std::function<Status(Lease&)>& run);

// After a failure: writes the record of a request that ran out of time,
// once per request. True when the failure was the request's time running
// out.
bool NoteIfTimedOut();

}  // namespace zelvar::db

#endif  // ZELVAR_DB_REQUEST_H_
