// The servers of a connection string that names several (connection_string.h):
// "host", "host:port" or "[v6 address]:port", separated by commas.
#ifndef ZELVAR_DB_SERVER_LIST_H_
#define ZELVAR_DB_SERVER_LIST_H_

#include <string>
#include <string_view>
#include <vector>

namespace zelvar::db {

struct ServerAddress {
  std::string host;
  std::string port;  // digits; empty: the driver's default
};

// Appends the servers of `list` to `servers`, a bare host with
// `default_port` (may be empty). False with `why` filled for an empty
// entry or a port that is not a number from 1 to 65535; `servers` may then
// hold some of them.
bool ParseServerList(std::string_view list, const std::string& default_port,
                     std::vector<ServerAddress>* servers, std::string* why);

}  // namespace zelvar::db

#endif  // ZELVAR_DB_SERVER_LIST_H_
