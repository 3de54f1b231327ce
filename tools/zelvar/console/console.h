// zelvar console: a web app for support staff and the JSON API under it,
// served by one process. The API runs the tool's own commands (their JSON
// output is the API's answer), behind logins with roles, session cookies,
// CSRF tokens on writes and a limit on failed logins; every write goes to
// the audit trail under the login's name.
#ifndef ZELVAR_TOOLS_ZELVAR_CONSOLE_CONSOLE_H_
#define ZELVAR_TOOLS_ZELVAR_CONSOLE_CONSOLE_H_

#include <functional>
#include <map>
#include <string>

#include "tools/zelvar/session.h"

namespace CLI {
class App;
}  // namespace CLI

namespace zelvar::console {

struct ConsoleOptions {
  std::string listen = "127.0.0.1:8470";
  std::string tls_cert, tls_key;
  bool insecure_http = false;  // plain HTTP on an address other than loopback
  std::string users_file;      // empty: DefaultLoginsPath
  int session_minutes = 480;
  std::string schema_dir;      // for the health page's checks
};

// Where the console listens, from "HOST:PORT" or "[V6]:PORT".
struct ListenAddress {
  std::string host;
  int port = 0;
  bool loopback = false;
};
// False with `error` set when `text` is not HOST:PORT.
bool ParseListen(const std::string& text, ListenAddress* address, std::string* error);

// Serves until SIGINT or SIGTERM; returns the exit status.
int RunConsole(const cli::GlobalOptions& global, const ConsoleOptions& options);

// 'zelvar console user add|remove|list'.
int RunUserAdd(const std::string& users_file, const std::string& name, const std::string& role,
               bool password_stdin, const cli::GlobalOptions& global);
int RunUserRemove(const std::string& users_file, const std::string& name, const cli::GlobalOptions& global);
int RunUserList(const std::string& users_file, const cli::GlobalOptions& global);

// Adds 'console' and its 'user' commands to the tool's command line.
using Commands = std::map<CLI::App*, std::function<int()>>;
void AddConsoleCommands(CLI::App* app, const cli::GlobalOptions* global, Commands* commands);

}  // namespace zelvar::console

#endif  // ZELVAR_TOOLS_ZELVAR_CONSOLE_CONSOLE_H_
