// What every command of the zelvar tool shares: the global options, exit
// codes, the one-line failure messages, and a Session holding the loaded
// module with its logger and database.
//
// One Session per process, used from the main thread.
#ifndef ZELVAR_TOOLS_ZELVAR_SESSION_H_
#define ZELVAR_TOOLS_ZELVAR_SESSION_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/zelvar/module_host.h"
#include "tools/zelvar/ops/audit.h"

namespace zelvar::cli {

// Exit statuses. 2 for a database that can't be reached, as psql has it;
// usage errors take the BSD sysexits value EX_USAGE.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;       // the module or the database answered a failure
inline constexpr int kExitNoDatabase = 2;   // the database can't be reached or opened
inline constexpr int kExitUsage = 64;       // the command line is wrong
inline constexpr int kExitInterrupted = 130;  // stopped by SIGINT (128 + 2)

inline constexpr const char kDefaultDatabase[] = "Provider=SQLite;Data Source=zelvar.db";

struct GlobalOptions {
  std::string db = kDefaultDatabase;
  std::string module;        // empty: the library next to the tool
  bool verbose = false;      // module log lines to stderr
  std::string log_file;      // module log lines to this file
  bool json = false;
  std::string save_request;  // write the request packet's image here
  std::string save_reply;    // write the reply packet's image here
  bool csv = false;          // tables as CSV
  std::string by;            // the operator named in the audit trail (default: the login name)
  std::string audit_file;    // the audit trail (default: ops::DefaultAuditPath)
  bool yes = false;          // writes run without asking
  bool dry_run = false;      // writes only say what they would do
};

// --db takes a plain SQLite file path too: a text without "=" becomes
// "Provider=SQLite;Data Source=PATH". False for a path the connection
// string can't carry (one holding ';').
bool PlainPathToConnectionString(std::string* db);

// The database a connection string reaches, in words: "SQLite file PATH"
// or "PostgreSQL through ODBC" (`product` as db::DatabaseProduct gives it).
std::string DatabaseInWords(const std::string& connection_string, const std::string& product);

// Asks on the terminal whether `action` ("Grant 2 entries to lina") is to
// run, unless --yes was given. False after printing why when it is not to
// run: not confirmed (exit 1), or no terminal to ask on (usage, 64).
bool Confirm(const GlobalOptions& options, const std::string& action, int* exit_code);

// Prints "zelvar: MESSAGE" on stderr and returns `code`. With JSON errors
// on (--json), also prints {"error": MESSAGE, "status": CODE} on stdout.
int Fail(int code, const std::string& message);
// Prints "zelvar: warning: MESSAGE" on stderr, or keeps it with the
// captured output: something went wrong after the work was done.
void Warn(const std::string& message);
// Fail for a user or account that does not exist.
int FailNotFound(const std::string& message);
void SetJsonErrors(bool on);

// Writes `bytes` to `path` ("-": standard output). False with `error` set.
bool WriteFile(const std::string& path, const std::string& bytes, std::string* error);
// Reads a whole file ("-": standard input).
bool ReadFile(const std::string& path, std::string* bytes, std::string* error);

// Prints JSON on standard output, indented.
void PrintJson(const nlohmann::ordered_json& json);

// What a command printed with PrintJson and Fail while its thread's output
// was captured: the web console runs the commands for its requests and
// answers with this, so both speak the same JSON.
struct CapturedOutput {
  std::vector<nlohmann::ordered_json> documents;  // each PrintJson, in order
  std::string error;                              // the last Fail's message
  int error_code = 0;                             // and its exit status
  std::vector<std::string> warnings;              // e.g. an audit line not written
  bool not_found = false;                         // the failure was a user that does not exist
};
// Sends this thread's PrintJson and Fail to `output` (null: back to
// standard output and standard error).
void CaptureOutput(CapturedOutput* output);

// A user as a command names it: a number is a user id, anything else a
// user name looked up with the account request.
struct User {
  int32_t id = 0;
  std::string name;   // empty when given as an id
  std::string nick;   // known when looked up by name
  // "lina (#1)" or "user 7".
  std::string Label() const;
  nlohmann::ordered_json Json() const;
};

class Session {
 public:
  // Loads the module, hands it the logger and opens the database. On
  // failure prints the reason and returns null; `exit_code` tells which.
  static std::unique_ptr<Session> Open(const GlobalOptions& options, int* exit_code);

  ModuleHost& module() { return *host_; }
  // The database product the connection string reaches ("SQLite",
  // "PostgreSQL", "MariaDB", ...). The tool's own connections (direct
  // reads, checks after a write) use the same connection string as the
  // module's.
  const std::string& product() const { return product_; }
  ModuleLog& log() { return *log_; }
  const GlobalOptions& options() const { return options_; }

  // Resolves USER; on failure prints why and returns nullopt with
  // `exit_code` set.
  std::optional<User> ResolveUser(const std::string& text, int* exit_code);

  // The newest record of ZelvarError.log written since this session
  // started, or empty.
  std::string NewErrorLogRecord() const;
  // " (module: LINE; ZelvarError.log: RECORD)" from what the module wrote
  // since the last call, or empty.
  std::string TakeModuleReasons();

  // Opens the audit trail before a write; false after printing why (the
  // write must then not run), with `exit_code` set.
  bool OpenAudit(int* exit_code);
  // Appends the write's line to the audit trail opened by OpenAudit. A line
  // that can't be written is reported on stderr (the write itself stays
  // done): false then.
  bool Audit(const std::string& command, nlohmann::ordered_json args, const std::string& outcome,
             int64_t rows_changed);

  // Saves request and reply images where the options ask for them.
  // Returns false (after printing why) when a file can't be written.
  bool SaveImages(CKParam* request, const std::string* reply);

 private:
  Session() = default;

  GlobalOptions options_;
  std::unique_ptr<ModuleLog> log_;
  std::unique_ptr<ModuleHost> host_;
  long error_log_start_ = 0;
  std::string product_;
  std::unique_ptr<ops::AuditTrail> audit_;
};

}  // namespace zelvar::cli

#endif  // ZELVAR_TOOLS_ZELVAR_SESSION_H_
