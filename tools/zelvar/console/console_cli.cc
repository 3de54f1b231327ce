// 'zelvar console' on the command line, and its 'user' commands that
// manage the console's logins.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <iostream>

#include <CLI/CLI.hpp>

#include "tools/zelvar/console/console.h"
#include "tools/zelvar/console/logins.h"
#include "tools/zelvar/ops/audit.h"

namespace zelvar::console {
namespace {

using cli::Fail;
using cli::kExitFailed;
using cli::kExitOk;
using cli::kExitUsage;

// Reads a line from the terminal without echoing it.
bool ReadHidden(const char* prompt, std::string* line) {
  std::FILE* tty = std::fopen("/dev/tty", "r+");
  if (tty == nullptr) return false;
  termios before {};
  const bool have_terminal = tcgetattr(fileno(tty), &before) == 0;
  if (have_terminal) {
    termios quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fileno(tty), TCSAFLUSH, &quiet);
  }
  std::fputs(prompt, tty);
  std::fflush(tty);
  char buffer[512];
  const bool read = std::fgets(buffer, sizeof buffer, tty) != nullptr;
  if (have_terminal) tcsetattr(fileno(tty), TCSAFLUSH, &before);
  std::fputs("\n", tty);
  std::fclose(tty);
  if (!read) return false;
  *line = buffer;
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  return true;
}

bool ReadPassword(bool from_stdin, std::string* password, int* exit_code) {
  if (from_stdin) {
    if (!std::getline(std::cin, *password)) {
      *exit_code = Fail(kExitUsage, "--password-stdin: no password line on standard input");
      return false;
    }
    if (!password->empty() && password->back() == '\r') password->pop_back();
    return true;
  }
  std::string again;
  if (!ReadHidden("Password: ", password) || !ReadHidden("Password again: ", &again)) {
    *exit_code = Fail(kExitUsage, "no terminal to ask for the password on; give it with --password-stdin");
    return false;
  }
  if (*password != again) {
    *exit_code = Fail(kExitUsage, "the two passwords differ; nothing was changed");
    return false;
  }
  return true;
}

std::string UsersFile(const std::string& given, int* exit_code) {
  if (!given.empty()) return given;
  std::string error;
  const std::string path = DefaultLoginsPath(&error);
  if (path.empty()) *exit_code = Fail(kExitUsage, error);
  return path;
}

int ChangeLogins(const cli::GlobalOptions& global, const std::string& users_file, const std::string& command,
                 const nlohmann::ordered_json& args, const std::function<bool(std::string*)>& change) {
  std::string error;
  const LoginChangeFailure failure =
      AuditedLoginChange(global.audit_file, ops::OperatorName(global.by), users_file, command, args, change, &error);
  return failure == LoginChangeFailure::kNone ? kExitOk : Fail(kExitFailed, error);
}

}  // namespace

int RunUserAdd(const std::string& users_file, const std::string& name, const std::string& role_text,
               bool password_stdin, const cli::GlobalOptions& global) {
  int exit_code = kExitOk;
  const std::string path = UsersFile(users_file, &exit_code);
  if (path.empty()) return exit_code;
  const std::optional<Role> role = ParseRole(role_text);
  if (!role) return Fail(kExitUsage, "--role takes viewer, support or admin");
  if (std::string why = CheckLoginName(name); !why.empty()) return Fail(kExitUsage, why);
  std::string password;
  if (!ReadPassword(password_stdin, &password, &exit_code)) return exit_code;
  if (std::string why = CheckPassword(password); !why.empty()) return Fail(kExitUsage, why + "; nothing was changed");
  LoginStore store(path);
  exit_code = ChangeLogins(global, path, "console user add", {{"name", name}, {"role", role_text}},
                           [&](std::string* error) { return store.Add(name, *role, password, error); });
  if (exit_code != kExitOk) return exit_code;
  std::printf("Login %s (%s) saved in %s\n", name.c_str(), RoleName(*role), path.c_str());
  return kExitOk;
}

int RunUserRemove(const std::string& users_file, const std::string& name, const cli::GlobalOptions& global) {
  int exit_code = kExitOk;
  const std::string path = UsersFile(users_file, &exit_code);
  if (path.empty()) return exit_code;
  LoginStore store(path);
  exit_code = ChangeLogins(global, path, "console user remove", {{"name", name}},
                           [&](std::string* error) { return store.Remove(name, error); });
  if (exit_code != kExitOk) return exit_code;
  std::printf("Login %s removed from %s\n", name.c_str(), path.c_str());
  return kExitOk;
}

int RunUserList(const std::string& users_file, const cli::GlobalOptions& global) {
  int exit_code = kExitOk;
  const std::string path = UsersFile(users_file, &exit_code);
  if (path.empty()) return exit_code;
  LoginStore store(path);
  std::vector<Login> logins;
  std::string error;
  if (!store.List(&logins, &error)) return Fail(kExitFailed, error);
  if (global.json) {
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const Login& login : logins) rows.push_back({{"name", login.name}, {"role", RoleName(login.role)}});
    cli::PrintJson({{"count", rows.size()}, {"rows", rows}});
    return kExitOk;
  }
  for (const Login& login : logins) std::printf("%-24s %s\n", login.name.c_str(), RoleName(login.role));
  return kExitOk;
}

void AddConsoleCommands(CLI::App* app, const cli::GlobalOptions* global, Commands* commands) {
  struct Values {
    ConsoleOptions options;
    std::string name, role;
    bool password_stdin = false;
  };
  static Values values;  // filled in by the parse, read when the command runs
  Values* v = &values;
  CLI::App* console = app->add_subcommand(
      "console", "Serve the web console for support staff (and its JSON API) until Ctrl-C");
  console->fallthrough();
  console->require_subcommand(0, 1);
  console->footer(
      "Example:\n"
      "  zelvar console user add ana --role admin\n"
      "  zelvar --db zelvar.db console          then open http://127.0.0.1:8470/\n"
      "Listens on loopback unless --listen names another address; there it needs --tls-cert and\n"
      "--tls-key, or --insecure-http. The API is described in docs/console.md.");
  console->add_option("--listen", v->options.listen, "HOST:PORT to serve on (port 0: any free port)");
  console->add_option("--tls-cert", v->options.tls_cert, "PEM certificate: serve HTTPS");
  console->add_option("--tls-key", v->options.tls_key, "PEM private key of --tls-cert");
  console->add_flag("--insecure-http", v->options.insecure_http,
                    "Serve plain HTTP on an address other than loopback");
  console->add_option("--users", v->options.users_file,
                      "The console's logins (default: ~/.local/state/zelvar/console-users.json)");
  console->add_option("--session-minutes", v->options.session_minutes, "How long a sign-in lasts (default 480)");
  console->add_option("--schema", v->options.schema_dir, "Folder of the schema files the health page checks against");
  (*commands)[console] = [v, global] { return RunConsole(*global, v->options); };

  CLI::App* user = console->add_subcommand("user", "Manage the console's logins");
  user->fallthrough();
  user->require_subcommand(1);
  CLI::App* add = user->add_subcommand("add", "Add a login, or give an existing one a new role and password");
  add->fallthrough();
  add->add_option("NAME", v->name, "The login's name (A-Z a-z 0-9 . _ -)")->required();
  add->add_option("--role", v->role, "viewer, support or admin")->required();
  add->add_flag("--password-stdin", v->password_stdin, "Read the password from standard input");
  (*commands)[add] = [v, global] {
    return RunUserAdd(v->options.users_file, v->name, v->role, v->password_stdin, *global);
  };
  CLI::App* remove = user->add_subcommand("remove", "Remove a login; its sessions end");
  remove->fallthrough();
  remove->add_option("NAME", v->name, "The login's name")->required();
  (*commands)[remove] = [v, global] { return RunUserRemove(v->options.users_file, v->name, *global); };
  CLI::App* list = user->add_subcommand("list", "List the logins and their roles");
  list->fallthrough();
  (*commands)[list] = [v, global] { return RunUserList(v->options.users_file, *global); };
}

}  // namespace zelvar::console
