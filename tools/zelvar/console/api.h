// The console's JSON API: logins, the reads and writes of a player, the
// audit trail, the health checks and the console's own logins. Each read
// or write runs the tool's command for it with its output captured, one
// command at a time (the commands share the tool's single-threaded
// session code).
#ifndef ZELVAR_TOOLS_ZELVAR_CONSOLE_API_H_
#define ZELVAR_TOOLS_ZELVAR_CONSOLE_API_H_

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tools/zelvar/console/console.h"
#include "tools/zelvar/console/logins.h"
#include "tools/zelvar/console/web_sessions.h"

namespace zelvar::console {

class ConsoleApi {
 public:
  ConsoleApi(const cli::GlobalOptions& global, const ConsoleOptions& options, bool secure_cookie);

  void Register(httplib::Server* server);

 private:
  using json = nlohmann::ordered_json;
  // A handler of a signed-in request; `body` is the parsed JSON body of a write.
  using Handler = std::function<void(const httplib::Request&, httplib::Response&, const WebSession&, const json&)>;

  // Wraps `handler` with the checks every API request passes: a session,
  // the CSRF token on writes, the role, a JSON object as a write's body.
  httplib::Server::Handler Guarded(Role least, bool write, Handler handler);

  void SignIn(const httplib::Request& request, httplib::Response& response);
  void SignOut(const httplib::Request& request, httplib::Response& response, const WebSession& session);
  void PlayerRead(const httplib::Request& request, httplib::Response& response, const std::string& what);
  void Audit(const httplib::Request& request, httplib::Response& response);
  void Health(httplib::Response& response);
  void Grant(const httplib::Request& request, httplib::Response& response, const WebSession& session,
             const json& body);
  void ChangeGoods(const httplib::Request& request, httplib::Response& response, const WebSession& session,
                   const json& body, bool revoke);
  void SendMessage(const httplib::Request& request, httplib::Response& response, const WebSession& session,
                   const json& body);
  void Unfriend(const httplib::Request& request, httplib::Response& response, const WebSession& session,
                const json& body);
  void ListLogins(httplib::Response& response);
  void AddLogin(httplib::Response& response, const WebSession& session, const json& body);
  void RemoveLogin(const httplib::Request& request, httplib::Response& response, const WebSession& session);

  // An HTTP status and its JSON.
  struct Answer {
    int status = 200;
    json body;
  };
  // Runs a command of the tool with its output captured: its JSON on
  // success, {"error", "status"} on failure (with `report_on_failure`, the
  // JSON it printed even so). `session`: the login a write is audited under.
  Answer Run(const WebSession* session, const std::function<int(const cli::GlobalOptions&)>& command,
             bool report_on_failure = false);
  // Run, answered on `response`.
  void RunCommand(httplib::Response& response, const WebSession* session,
                  const std::function<int(const cli::GlobalOptions&)>& command, bool report_on_failure = false);
  // Makes a change of the console's own logins with its audit line;
  // false after answering why it was not made.
  bool ChangeLogins(httplib::Response& response, const WebSession& session, const std::string& command,
                    const json& args, const std::function<bool(std::string*)>& change);
  std::optional<WebSession> SessionOf(const httplib::Request& request);
  std::string Cookie(const std::string& token, long long max_age) const;

  const cli::GlobalOptions global_;
  const ConsoleOptions options_;
  const bool secure_cookie_;
  LoginStore logins_;
  SessionTable sessions_;
  LoginLimiter limiter_;
  std::mutex command_mutex_;
};

// Answers `status` with {"error": message, "status": status}.
void AnswerError(httplib::Response& response, int status, const std::string& message);

}  // namespace zelvar::console

#endif  // ZELVAR_TOOLS_ZELVAR_CONSOLE_API_H_
