#include "tools/zelvar/console/api.h"

#include <charconv>

#include "tools/zelvar/commands.h"
#include "tools/zelvar/ops/audit.h"

namespace zelvar::console {
namespace {

using json = nlohmann::ordered_json;

constexpr char kCookieName[] = "zelvar_session";
constexpr int kLoginFailuresAllowed = 5;
constexpr std::chrono::minutes kLoginWindow{15};

void AnswerJson(httplib::Response& response, int status, const json& body) {
  response.status = status;
  response.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json; charset=utf-8");
}

// A whole number in [low, high], or nullopt.
std::optional<int64_t> WholeNumber(const std::string& text, int64_t low, int64_t high) {
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

// The player id of the path's first group; answers 400 when it is none.
std::optional<std::string> PlayerId(const httplib::Request& request, httplib::Response& response) {
  const std::string text = request.matches.size() > 1 ? request.matches[1].str() : "";
  if (!WholeNumber(text, 1, INT32_MAX)) {
    AnswerError(response, 400, "the player id '" + text + "' is not a user id (a whole number from 1)");
    return std::nullopt;
  }
  return text;
}

// A field of a write's body that must be a user id; answers 400 otherwise.
std::optional<std::string> IdField(const json& body, const char* field, httplib::Response& response) {
  const json value = body.value(field, json());
  if (!value.is_number_integer() || value.get<int64_t>() < 1 || value.get<int64_t>() > INT32_MAX) {
    AnswerError(response, 400, std::string("'") + field + "' must be a user id (a whole number from 1)");
    return std::nullopt;
  }
  return std::to_string(value.get<int64_t>());
}

// A field that must be a string; answers 400 otherwise. `optional`: an
// absent field is "".
std::optional<std::string> TextField(const json& body, const char* field, httplib::Response& response,
                                     bool optional = false) {
  const json value = body.value(field, json());
  if (value.is_null() && optional) return std::string();
  if (!value.is_string()) {
    AnswerError(response, 400, std::string("'") + field + "' must be a text");
    return std::nullopt;
  }
  return value.get<std::string>();
}

// A field that must be a list of 1 to `most` items, each of which `item`
// turns into a text (nullopt: not one); answers 400 with `what` otherwise.
std::optional<std::vector<std::string>> ListField(const json& body, const char* field, size_t most,
                                                  const std::function<std::optional<std::string>(const json&)>& item,
                                                  const std::string& what, httplib::Response& response) {
  const json list = body.value(field, json());
  std::vector<std::string> texts;
  for (const json& value : list.is_array() ? list : json::array()) {
    const std::optional<std::string> text = item(value);
    if (!text) break;
    texts.push_back(*text);
  }
  if (!list.is_array() || list.empty() || list.size() > most || texts.size() != list.size()) {
    AnswerError(response, 400, "'" + std::string(field) + "' must be a list of 1 to " + std::to_string(most) + " " +
                                   what + "; nothing was changed");
    return std::nullopt;
  }
  return texts;
}

int32_t PlayerNumber(const std::string& id) { return static_cast<int32_t>(*WholeNumber(id, 1, INT32_MAX)); }

int HttpStatusOf(const cli::CapturedOutput& out, int exit_code) {
  switch (exit_code) {
    case cli::kExitUsage: return 400;
    case cli::kExitNoDatabase: return 503;
    default: return out.not_found ? 404 : 422;
  }
}

std::string CookieToken(const httplib::Request& request) {
  const std::string cookies = request.get_header_value("Cookie");
  const std::string prefix = std::string(kCookieName) + "=";
  size_t at = 0;
  while (at < cookies.size()) {
    size_t end = cookies.find(';', at);
    if (end == std::string::npos) end = cookies.size();
    std::string part = cookies.substr(at, end - at);
    part.erase(0, part.find_first_not_of(' '));
    if (part.compare(0, prefix.size(), prefix) == 0) return part.substr(prefix.size());
    at = end + 1;
  }
  return "";
}

json LoginAnswer(const WebSession& session) {
  return {{"user", session.login}, {"role", RoleName(session.role)}, {"csrf", session.csrf},
          {"expires", session.expires_text}};
}

}  // namespace

void AnswerError(httplib::Response& response, int status, const std::string& message) {
  AnswerJson(response, status, {{"error", message}, {"status", status}});
}

ConsoleApi::ConsoleApi(const cli::GlobalOptions& global, const ConsoleOptions& options, bool secure_cookie)
    : global_(global),
      options_(options),
      secure_cookie_(secure_cookie),
      logins_(options.users_file),
      sessions_(std::chrono::minutes(options.session_minutes)),
      limiter_(kLoginFailuresAllowed, kLoginWindow) {}

std::string ConsoleApi::Cookie(const std::string& token, long long max_age) const {
  return std::string(kCookieName) + "=" + token + "; Path=/; Max-Age=" + std::to_string(max_age) +
         "; HttpOnly; SameSite=Strict" + (secure_cookie_ ? "; Secure" : "");
}

std::optional<WebSession> ConsoleApi::SessionOf(const httplib::Request& request) {
  const std::string token = CookieToken(request);
  if (token.empty()) return std::nullopt;
  std::optional<WebSession> session = sessions_.Find(token);
  if (!session) return std::nullopt;
  // A login removed, or given another role, since the session began.
  const std::optional<Login> login = logins_.Find(session->login);
  if (!login || login->role != session->role) {
    sessions_.EndLogin(session->login);
    return std::nullopt;
  }
  return session;
}

httplib::Server::Handler ConsoleApi::Guarded(Role least, bool write, Handler handler) {
  return [this, least, write, handler](const httplib::Request& request, httplib::Response& response) {
    const std::optional<WebSession> session = SessionOf(request);
    if (!session) return AnswerError(response, 401, "not signed in, or the session has ended; sign in again");
    if (write && !SameToken(request.get_header_value("X-CSRF-Token"), session->csrf)) {
      return AnswerError(response, 403, "the request lacks the session's CSRF token (header X-CSRF-Token)");
    }
    if (static_cast<int>(session->role) < static_cast<int>(least)) {
      return AnswerError(response, 403, std::string("the role ") + RoleName(session->role) + " may not do this; it takes " +
                                            RoleName(least));
    }
    json body = json::object();
    if (write && !request.body.empty()) {
      body = json::parse(request.body, nullptr, false);
      if (body.is_discarded() || !body.is_object()) {
        return AnswerError(response, 400, "the request's body is not a JSON object; nothing was changed");
      }
    }
    handler(request, response, *session, body);
  };
}

ConsoleApi::Answer ConsoleApi::Run(const WebSession* session,
                                   const std::function<int(const cli::GlobalOptions&)>& command,
                                   bool report_on_failure) {
  cli::GlobalOptions options = global_;
  options.json = true;
  options.yes = true;  // the web app asked for confirmation
  if (session != nullptr) options.by = session->login + "@console";
  cli::CapturedOutput out;
  int exit_code = 0;
  {
    std::lock_guard<std::mutex> lock(command_mutex_);
    // Output goes back to the terminal however the command ends.
    struct Capture {
      explicit Capture(cli::CapturedOutput* out) { cli::CaptureOutput(out); }
      ~Capture() { cli::CaptureOutput(nullptr); }
    } capture(&out);
    exit_code = command(options);
  }
  json body = out.documents.empty() ? json::object() : out.documents.back();
  if (!out.warnings.empty()) body["warnings"] = out.warnings;
  if (exit_code == cli::kExitOk || (report_on_failure && !out.documents.empty())) return {200, std::move(body)};
  const int status = HttpStatusOf(out, exit_code);
  json error = {{"error", out.error.empty() ? "the command failed" : out.error}, {"status", status}};
  if (!out.documents.empty()) error["output"] = std::move(body);
  return {status, std::move(error)};
}

void ConsoleApi::RunCommand(httplib::Response& response, const WebSession* session,
                            const std::function<int(const cli::GlobalOptions&)>& command, bool report_on_failure) {
  const Answer answer = Run(session, command, report_on_failure);
  AnswerJson(response, answer.status, answer.body);
}

void ConsoleApi::Register(httplib::Server* server) {
  server->Post("/api/login", [this](const httplib::Request& q, httplib::Response& r) { SignIn(q, r); });
  server->Post("/api/logout", Guarded(Role::kViewer, true, [this](auto& q, auto& r, auto& s, auto&) {
    SignOut(q, r, s);
  }));
  server->Get("/api/session", Guarded(Role::kViewer, false, [](auto&, auto& r, auto& s, auto&) {
    AnswerJson(r, 200, LoginAnswer(s));
  }));
  server->Get("/api/users", Guarded(Role::kViewer, false, [this](auto& q, auto& r, auto&, auto&) {
    const std::string search = q.get_param_value("search");
    const std::string limit_text = q.has_param("limit") ? q.get_param_value("limit") : "20";
    const auto limit = WholeNumber(limit_text, 1, 200);
    if (!limit) return AnswerError(r, 400, "limit must be a whole number from 1 to 200");
    RunCommand(r, nullptr, [&](const cli::GlobalOptions& o) { return cli::RunUsers(o, search, int(*limit)); });
  }));
  for (const char* what : {"", "friends", "goods", "messages", "trades", "invitations"}) {
    const std::string path = std::string("/api/players/([^/]+)") + (*what ? "/" : "") + what;
    server->Get(path, Guarded(Role::kViewer, false, [this, what](auto& q, auto& r, auto&, auto&) {
      PlayerRead(q, r, what);
    }));
  }
  server->Get("/api/audit", Guarded(Role::kViewer, false, [this](auto& q, auto& r, auto&, auto&) { Audit(q, r); }));
  server->Get("/api/health", Guarded(Role::kViewer, false, [this](auto&, auto& r, auto&, auto&) { Health(r); }));
  server->Post("/api/players/([^/]+)/goods", Guarded(Role::kSupport, true, [this](auto& q, auto& r, auto& s, auto& b) {
    Grant(q, r, s, b);
  }));
  server->Post("/api/players/([^/]+)/goods/revoke", Guarded(Role::kAdmin, true, [this](auto& q, auto& r, auto& s, auto& b) {
    ChangeGoods(q, r, s, b, true);
  }));
  server->Post("/api/players/([^/]+)/goods/expire", Guarded(Role::kAdmin, true, [this](auto& q, auto& r, auto& s, auto& b) {
    ChangeGoods(q, r, s, b, false);
  }));
  server->Post("/api/players/([^/]+)/messages", Guarded(Role::kSupport, true, [this](auto& q, auto& r, auto& s, auto& b) {
    SendMessage(q, r, s, b);
  }));
  server->Post("/api/players/([^/]+)/unfriend", Guarded(Role::kSupport, true, [this](auto& q, auto& r, auto& s, auto& b) {
    Unfriend(q, r, s, b);
  }));
  server->Get("/api/console-users", Guarded(Role::kAdmin, false, [this](auto&, auto& r, auto&, auto&) { ListLogins(r); }));
  server->Post("/api/console-users", Guarded(Role::kAdmin, true, [this](auto&, auto& r, auto& s, auto& b) {
    AddLogin(r, s, b);
  }));
  server->Post("/api/console-users/([^/]+)/remove", Guarded(Role::kAdmin, true, [this](auto& q, auto& r, auto& s, auto&) {
    RemoveLogin(q, r, s);
  }));
}

void ConsoleApi::SignIn(const httplib::Request& request, httplib::Response& response) {
  const json body = json::parse(request.body, nullptr, false);
  if (body.is_discarded() || !body.is_object() || !body.value("user", json()).is_string() ||
      !body.value("password", json()).is_string()) {
    return AnswerError(response, 400, "sign in with a JSON object {\"user\": NAME, \"password\": PASSWORD}");
  }
  const std::string name = body["user"].get<std::string>();
  const std::string name_key = "name:" + name.substr(0, 64);
  const std::string address_key = "address:" + request.remote_addr;
  const int64_t wait = std::max(limiter_.WaitSeconds(name_key), limiter_.WaitSeconds(address_key));
  if (wait > 0) {
    response.set_header("Retry-After", std::to_string(wait));
    return AnswerError(response, 429, "too many failed sign-ins; try again in " + std::to_string(wait) + " s");
  }
  const std::optional<Login> login = logins_.Check(name, body["password"].get<std::string>());
  if (!login) {
    limiter_.Failed(name_key);
    limiter_.Failed(address_key);
    return AnswerError(response, 401, "wrong name or password");
  }
  limiter_.Succeeded(name_key);
  const WebSession session = sessions_.Start(login->name, login->role);
  response.set_header("Set-Cookie", Cookie(session.token, sessions_.lifetime().count()));
  AnswerJson(response, 200, LoginAnswer(session));
}

void ConsoleApi::SignOut(const httplib::Request& request, httplib::Response& response, const WebSession& session) {
  sessions_.End(session.token);
  response.set_header("Set-Cookie", Cookie("", 0));
  AnswerJson(response, 200, {{"done", true}});
}

void ConsoleApi::PlayerRead(const httplib::Request& request, httplib::Response& response, const std::string& what) {
  const std::optional<std::string> id = PlayerId(request, response);
  if (!id) return;
  if (what.empty()) {
    return RunCommand(response, nullptr, [&](auto& o) { return cli::RunAccountById(o, PlayerNumber(*id)); });
  }
  if (what == "friends") return RunCommand(response, nullptr, [&](auto& o) { return cli::RunFriends(o, *id); });
  if (what == "goods") return RunCommand(response, nullptr, [&](auto& o) { return cli::RunGoods(o, *id, false); });
  if (what == "trades") return RunCommand(response, nullptr, [&](auto& o) { return cli::RunTrades(o, *id); });
  if (what == "invitations") {
    return RunCommand(response, nullptr, [&](auto& o) { return cli::RunInvitations(o, *id); });
  }
  const std::string limit_text = request.has_param("limit") ? request.get_param_value("limit") : "20";
  const auto limit = WholeNumber(limit_text, 1, 1000);
  if (!limit) return AnswerError(response, 400, "limit must be a whole number from 1 to 1000");
  RunCommand(response, nullptr, [&](auto& o) { return cli::RunInboxPeek(o, *id, int(*limit)); });
}

void ConsoleApi::Audit(const httplib::Request& request, httplib::Response& response) {
  const std::string since = request.get_param_value("since");
  Answer all = Run(nullptr, [&](auto& o) { return cli::RunAudit(o, since); });
  if (all.status != 200 || !all.body.contains("rows")) return AnswerJson(response, all.status, all.body);
  json& body = all.body;
  // Each filter keeps the rows whose field holds its text.
  const std::pair<const char*, const char*> filters[] = {
      {"operator", "operator"}, {"command", "command"}, {"outcome", "outcome"}};
  const std::string text = request.get_param_value("text");
  json rows = json::array();
  for (const json& row : body["rows"]) {
    bool keep = true;
    for (const auto& [param, field] : filters) {
      const std::string wanted = request.get_param_value(param);
      if (!wanted.empty() && row.value(field, "").find(wanted) == std::string::npos) keep = false;
    }
    if (!text.empty() && row.dump(-1, ' ', false, json::error_handler_t::replace).find(text) == std::string::npos) {
      keep = false;
    }
    if (keep) rows.push_back(row);
  }
  body["count"] = rows.size();
  body["rows"] = std::move(rows);
  AnswerJson(response, 200, body);
}

void ConsoleApi::Health(httplib::Response& response) {
  // A check with a problem still answers the report: it is what the page shows.
  RunCommand(response, nullptr, [&](auto& o) { return cli::RunDoctor(o, options_.schema_dir); }, true);
}

void ConsoleApi::Grant(const httplib::Request& request, httplib::Response& response, const WebSession& session,
                       const json& body) {
  const std::optional<std::string> id = PlayerId(request, response);
  if (!id) return;
  const auto entries = ListField(
      body, "entries", 100, [](const json& v) { return v.is_string() ? std::optional(v.get<std::string>()) : std::nullopt; },
      "goods entries GOODS:AMOUNT:TYPE (texts)", response);
  if (!entries) return;
  const std::optional<std::string> order = TextField(body, "order_id", response);
  if (!order) return;
  // The module grants by user name: the account's name first.
  const Answer account = Run(nullptr, [&](auto& o) { return cli::RunAccountById(o, PlayerNumber(*id)); });
  if (account.status != 200) return AnswerJson(response, account.status, account.body);
  const std::string user_name = account.body["account"].value("user_name", "");
  RunCommand(response, &session, [&](auto& o) { return cli::RunSend(o, user_name, *entries, 0, *order); });
}

void ConsoleApi::ChangeGoods(const httplib::Request& request, httplib::Response& response, const WebSession& session,
                             const json& body, bool revoke) {
  const std::optional<std::string> id = PlayerId(request, response);
  if (!id) return;
  const auto row_ids = ListField(
      body, "row_ids", 1000,
      [](const json& v) {
        return v.is_number_integer() && v.get<int64_t>() >= 1 ? std::optional(std::to_string(v.get<int64_t>()))
                                                              : std::nullopt;
      },
      "goods row ids (whole numbers from 1)", response);
  if (!row_ids) return;
  if (revoke) return RunCommand(response, &session, [&](auto& o) { return cli::RunRevoke(o, *id, *row_ids); });
  const std::optional<std::string> at = TextField(body, "at", response, true);
  if (!at) return;
  RunCommand(response, &session, [&](auto& o) { return cli::RunExpire(o, *id, *row_ids, *at); });
}

void ConsoleApi::SendMessage(const httplib::Request& request, httplib::Response& response, const WebSession& session,
                             const json& body) {
  const std::optional<std::string> id = PlayerId(request, response);
  if (!id) return;
  const std::optional<std::string> to = IdField(body, "to", response);
  if (!to) return;
  const std::optional<std::string> text = TextField(body, "text", response);
  if (!text) return;
  if (text->empty()) return AnswerError(response, 400, "the message text is empty; nothing was sent");
  RunCommand(response, &session, [&](auto& o) { return cli::RunMessage(o, *id, *to, *text); });
}

void ConsoleApi::Unfriend(const httplib::Request& request, httplib::Response& response, const WebSession& session,
                          const json& body) {
  const std::optional<std::string> id = PlayerId(request, response);
  if (!id) return;
  const std::optional<std::string> other = IdField(body, "friend", response);
  if (!other) return;
  RunCommand(response, &session, [&](auto& o) { return cli::RunUnfriend(o, *id, *other); });
}

void ConsoleApi::ListLogins(httplib::Response& response) {
  RunCommand(response, nullptr, [&](auto& o) { return RunUserList(options_.users_file, o); });
}

bool ConsoleApi::ChangeLogins(httplib::Response& response, const WebSession& session, const std::string& command,
                              const json& args, const std::function<bool(std::string*)>& change) {
  std::string error;
  switch (AuditedLoginChange(global_.audit_file, session.login + "@console", options_.users_file, command, args,
                             change, &error)) {
    case LoginChangeFailure::kNone: return true;
    case LoginChangeFailure::kNotAudited: AnswerError(response, 503, error); return false;
    case LoginChangeFailure::kNotMade:
      AnswerError(response, error.rfind("there is no login", 0) == 0 ? 404 : 422, error);
      return false;
  }
  return false;
}

void ConsoleApi::AddLogin(httplib::Response& response, const WebSession& session, const json& body) {
  const std::optional<std::string> name = TextField(body, "name", response);
  if (!name) return;
  const std::optional<std::string> role_text = TextField(body, "role", response);
  if (!role_text) return;
  const std::optional<std::string> password = TextField(body, "password", response);
  if (!password) return;
  const std::optional<Role> role = ParseRole(*role_text);
  std::string why = !role ? "the role must be viewer, support or admin" : CheckLoginName(*name);
  if (why.empty()) why = CheckPassword(*password);
  if (!why.empty()) return AnswerError(response, 400, why + "; nothing was changed");
  const json args = {{"name", *name}, {"role", *role_text}};
  if (!ChangeLogins(response, session, "console user add", args,
                    [&](std::string* error) { return logins_.Add(*name, *role, *password, error); })) {
    return;
  }
  sessions_.EndLogin(*name);  // a changed password or role signs the login out
  AnswerJson(response, 200, {{"name", *name}, {"role", *role_text}});
}

void ConsoleApi::RemoveLogin(const httplib::Request& request, httplib::Response& response, const WebSession& session) {
  const std::string name = request.matches[1].str();
  if (name == session.login) return AnswerError(response, 400, "a login can't remove itself; nothing was changed");
  if (!ChangeLogins(response, session, "console user remove", {{"name", name}},
                    [&](std::string* error) { return logins_.Remove(name, error); })) {
    return;
  }
  sessions_.EndLogin(name);
  AnswerJson(response, 200, {{"done", true}});
}

}  // namespace zelvar::console
