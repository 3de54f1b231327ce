// The module session shared by the request commands.
#include "tools/zelvar/session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "db/connection_string.h"
#include "db/current_connection.h"
#include "db/schema_setup.h"
#include "codec/keys.h"
#include "codec/replies.h"
#include "codec/requests.h"
#include "tools/zelvar/ops/writes.h"
#include "tools/zelvar/request_support.h"
#include "tools/zelvar/text_util.h"
#include "util/error_log.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

long FileSize(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 ? static_cast<long>(info.st_size) : 0;
}

}  // namespace

namespace {
bool json_errors = false;
thread_local CapturedOutput* captured = nullptr;
}  // namespace

void SetJsonErrors(bool on) { json_errors = on; }

void CaptureOutput(CapturedOutput* output) { captured = output; }

int Fail(int code, const std::string& message) {
  if (captured != nullptr) {
    captured->error = message;
    captured->error_code = code;
    return code;
  }
  if (json_errors) PrintJson({{"error", message}, {"status", code}});
  std::fflush(stdout);
  std::fprintf(stderr, "zelvar: %s\n", message.c_str());
  return code;
}

void Warn(const std::string& message) {
  if (captured != nullptr) {
    captured->warnings.push_back(message);
    return;
  }
  std::fflush(stdout);
  std::fprintf(stderr, "zelvar: warning: %s\n", message.c_str());
}

int FailNotFound(const std::string& message) {
  if (captured != nullptr) captured->not_found = true;
  return Fail(kExitFailed, message);
}

bool WriteFile(const std::string& path, const std::string& bytes, std::string* error) {
  if (path == "-") {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
    return true;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr ||
      std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fclose(file) != 0) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

bool ReadFile(const std::string& path, std::string* bytes, std::string* error) {
  if (path == "-") {
    bytes->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    *error = "'" + path + "' is a folder, not a file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read '" + path + "': " + std::strerror(errno);
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

void PrintJson(const nlohmann::ordered_json& json) {
  if (captured != nullptr) {
    captured->documents.push_back(json);
    return;
  }
  std::printf("%s\n", json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

std::string User::Label() const {
  if (name.empty()) return "user " + std::to_string(id);
  return name + " (#" + std::to_string(id) + ")";
}

nlohmann::ordered_json User::Json() const {
  nlohmann::ordered_json json = {{"id", id}};
  if (!name.empty()) json["name"] = name;
  if (!nick.empty()) json["nick"] = nick;
  return json;
}

std::unique_ptr<Session> Session::Open(const GlobalOptions& options, int* exit_code) {
  std::unique_ptr<Session> session(new Session);
  session->options_ = options;
  session->error_log_start_ = FileSize(kErrorLogName);

  const db::ConnectionTarget target = db::ResolveConnectionString(options.db);
  if (target.kind == db::ConnectionTarget::Kind::kInvalid) {
    *exit_code = Fail(kExitUsage, "the connection string '" + MaskPassword(options.db) +
                                      "' is not usable: " + target.error +
                                      "; see 'zelvar --help' for the forms it takes");
    return nullptr;
  }
  if (target.kind == db::ConnectionTarget::Kind::kSqlite && access(target.sqlite_path.c_str(), F_OK) != 0) {
    *exit_code = Fail(kExitNoDatabase, "there is no database file '" + target.sqlite_path +
                                           "'; create one with 'zelvar init --demo' or name another with --db");
    return nullptr;
  }
  // The tool's own connection first: the module answers only that it
  // could not open the database, the driver says why.
  SetConnectionString(options.db);
  std::u16string reason;
  if (!db::DatabaseProduct(&session->product_, &reason)) {
    *exit_code = Fail(kExitNoDatabase, "cannot reach the database '" + MaskPassword(options.db) + "': " +
                                           OneLine(ToNarrow(reason)) + "; check the server, the login and the connection string");
    return nullptr;
  }

  session->log_ = std::make_unique<ModuleLog>(options.verbose, options.log_file);
  std::string error;
  if (!session->log_->ok(&error)) {
    *exit_code = Fail(kExitUsage, error);
    return nullptr;
  }
  session->host_ = ModuleHost::Load(options.module, &error);
  if (session->host_ == nullptr) {
    *exit_code = Fail(kExitUsage, error);
    return nullptr;
  }
  if (options.verbose) std::fprintf(stderr, "zelvar: module %s\n", session->host_->path().c_str());
  session->host_->OpenLog(session->log_->tool());
  if (session->host_->OpenDatabase(options.db) != 0) {
    const std::string record = session->NewErrorLogRecord();
    *exit_code = Fail(kExitNoDatabase, "the module cannot open the database '" + MaskPassword(options.db) + "'" +
                                       (record.empty() ? "" : " (" + record + ")") +
                                       "; check the connection string and that the database is reachable");
    return nullptr;
  }
  return session;
}

std::optional<User> Session::ResolveUser(const std::string& text, int* exit_code) {
  User user;
  if (const auto id = ParseInt32(text)) {
    // The module answers an unknown id as a user with nothing: ask the
    // table.
    std::string error;
    const auto exists = ops::UserExists(*id, &error);
    if (!exists) {
      *exit_code = Fail(kExitFailed, "cannot look up the user id " + text + ": " + error);
      return std::nullopt;
    }
    if (!*exists) {
      *exit_code = FailNotFound("there is no user with the id " + std::to_string(*id) +
                                         " (no row in tblUser); give a user id or user name that exists");
      return std::nullopt;
    }
    user.id = *id;
    return user;
  }
  if (text.empty()) {
    *exit_code = Fail(kExitUsage, "a user must be a user id or a user name, not empty text");
    return std::nullopt;
  }
  CKParam request = codec::AccountRequest(ToWide(text));
  std::string image;
  host_->Record(0, codec::kAccountLookup, request, &image);
  log_->TakeLines();  // the lookup's own log lines say nothing the user asked about
  CKParam reply;
  codec::Account account;
  std::string error;
  if (image.empty() || reply.SetBufferPtr(image.data(), static_cast<int>(image.size())) != 0 ||
      !codec::ReadAccount(reply, codec::kAccountLookup, &account, &error)) {
    *exit_code = Fail(kExitFailed, "the module gave no usable answer to the lookup of '" + text + "'" +
                                       (error.empty() ? "" : ": " + error));
    return std::nullopt;
  }
  if (account.result != 0 || !account.id) {
    *exit_code = FailNotFound("there is no account with the user name '" + text +
                                       "'; user names are matched exactly (try 'zelvar users " + text + "', or give the user id)" +
                                       DidYouMean(text));
    return std::nullopt;
  }
  user.id = *account.id;
  user.name = text;
  if (account.nick) user.nick = ToNarrow(*account.nick);
  return user;
}

std::string Session::NewErrorLogRecord() const {
  std::string bytes, error;
  if (FileSize(kErrorLogName) <= error_log_start_ || !ReadFile(kErrorLogName, &bytes, &error)) return "";
  const auto records = ReadErrorLogRecords(bytes, static_cast<size_t>(error_log_start_));
  return records.empty() ? "" : records.back().message;
}

std::string Session::TakeModuleReasons() {
  std::string reasons;
  const auto lines = log_->TakeLines();
  // The first line names the cause; the module's closing line of an error
  // reply only repeats the request code.
  if (!lines.empty()) {
    const std::string& first = lines.front();
    reasons = "module: " + first.substr(std::min(first.find_first_not_of(' '), first.size()));
  }
  const std::string record = NewErrorLogRecord();
  if (!record.empty()) reasons += (reasons.empty() ? "" : "; ") + std::string(kErrorLogName) + ": " + record;
  error_log_start_ = FileSize(kErrorLogName);
  return reasons.empty() ? "" : " (" + reasons + ")";
}

bool PlainPathToConnectionString(std::string* db) {
  if (db->empty() || db->find('=') != std::string::npos) return true;
  if (db->find(';') != std::string::npos) return false;
  *db = "Provider=SQLite;Data Source=" + *db;
  return true;
}

std::string DatabaseInWords(const std::string& connection_string, const std::string& product) {
  const db::ConnectionTarget target = db::ResolveConnectionString(connection_string);
  if (target.kind == db::ConnectionTarget::Kind::kSqlite) return "SQLite file " + target.sqlite_path;
  return product + " through ODBC";
}

bool Confirm(const GlobalOptions& options, const std::string& action, int* exit_code) {
  if (options.yes) return true;
  if (!isatty(STDIN_FILENO)) {
    *exit_code = Fail(kExitUsage, action + ": not confirmed, and there is no terminal to ask on; add --yes to run it "
                                           "(or --dry-run to see what it would do)");
    return false;
  }
  std::fflush(stdout);
  std::fprintf(stderr, "%s? [y/N] ", action.c_str());
  std::fflush(stderr);
  std::string answer;
  std::getline(std::cin, answer);
  answer = Lower(answer);
  if (answer == "y" || answer == "yes") return true;
  *exit_code = Fail(kExitFailed, "not confirmed; nothing was changed");
  return false;
}

bool Session::OpenAudit(int* exit_code) {
  std::string error;
  audit_ = ops::AuditTrail::Open(options_.audit_file, &error);
  if (audit_ == nullptr) {
    *exit_code = Fail(kExitFailed, error);
    return false;
  }
  return true;
}

bool Session::Audit(const std::string& command, nlohmann::ordered_json args, const std::string& outcome,
                    int64_t rows_changed) {
  if (audit_ == nullptr) return false;
  ops::AuditRecord record;
  record.operator_name = ops::OperatorName(options_.by);
  record.command = command;
  record.args = std::move(args);
  record.outcome = outcome;
  record.rows_changed = rows_changed;
  record.database = MaskPassword(options_.db);
  std::string error;
  if (!audit_->Append(std::move(record), &error)) {
    Warn(error);
    return false;
  }
  return true;
}

bool Session::SaveImages(CKParam* request, const std::string* reply) {
  std::string error;
  if (request != nullptr && !options_.save_request.empty() &&
      !WriteFile(options_.save_request,
                 std::string(request->GetBufferPtr(), static_cast<size_t>(request->GetLength())), &error)) {
    Fail(kExitUsage, error);
    return false;
  }
  if (reply != nullptr && !options_.save_reply.empty() && !WriteFile(options_.save_reply, *reply, &error)) {
    Fail(kExitUsage, error);
    return false;
  }
  return true;
}

}  // namespace zelvar::cli
