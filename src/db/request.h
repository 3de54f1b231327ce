// What every runner does around its statements: leasing a connection for
// the connection string in force within the request's time, and the one
// error-log record of a request that ran out of time.
#ifndef ZELVAR_DB_REQUEST_H_
#define ZELVAR_DB_REQUEST_H_

#include <string>

#include "db/ado.h"

namespace zelvar::db {

// The error text and error-log record of a request that ran out of time.
inline constexpr char16_t kTimedOutLogText[] =
    u"the request ran out of time (Command Timeout) and was abandoned";

// Starts the request's clock (the command timeout of the string in force)
// and leases a connection for that string. 0, or -1 with the backend's
// reason in `error_text` (may be null).
int LeaseForRequest(ConnectionHandle& connection, std::u16string* error_text, bool fresh = false);

// After a failure: writes the record of a request that ran out of time,
// once per request.
void NoteIfTimedOut();

}  // namespace zelvar::db

#endif  // ZELVAR_DB_REQUEST_H_
