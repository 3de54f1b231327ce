// Failover: a connection string may name several servers (Server=a,b,c or
// Failover=..., connection_string.h); each gets a string of its own that
// names it alone. A new connection goes to the first of them, in the
// order listed, that answers, within the request's time: the first listed
// server is preferred whenever it answers. A server that failed lately (its
// connect failed, or it said it does not serve, as a Galera node outside
// the primary component does) is tried only after the others until its
// back-off is over (50 ms, doubling with each failure in a row up to 30 s),
// then first again. Connections already open stay where they are until
// they fail or go idle too long.
//
// Thread-safe: what is known of the servers is process-wide.
#ifndef ZELVAR_DB_FAILOVER_H_
#define ZELVAR_DB_FAILOVER_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/status.h"

namespace zelvar::db {

class Connection;

// Opens a connection to one server, given its own string.
using ServerOpener =
    std::function<Status(const std::string& server_string, std::unique_ptr<Connection>* connection)>;

// Opens a connection to the first of `servers` (one string per server, in
// the order listed) that answers, as above. Each connect is bounded by its
// connect timeout; no further server is tried once the request's time is
// up (the first always is). The failures of every server tried, one a
// line, when none answered.
Status OpenFirstAnswering(const std::vector<std::string>& servers, const ServerOpener& open,
                          std::unique_ptr<Connection>* connection);

// A connection opened with `server_string` found its server not serving:
// new connections try that server after the others for a while. Nothing
// for a string that is no server of a list.
void NoteNotServing(const std::string& server_string);

// Before running work again on another connection after a server did not
// serve it (`retry` counts from 0): no pause the first time, so that a
// list's next server takes over at once; then 50 ms, doubling up to 1 s,
// never past the request's deadline, so that a lone server that does not
// serve is not asked in a tight loop.
void PauseBeforeServingAgain(int retry);

}  // namespace zelvar::db

#endif  // ZELVAR_DB_FAILOVER_H_
