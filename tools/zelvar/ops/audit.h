// The audit trail of the tool's writes: one JSON line per write (send,
// revoke, expire, message, unfriend, trade, invite, migrate) appended to a
// file of the operator's, so that support staff can tell afterwards who
// changed what in a player's account or the database.
//
// A line: {"time", "operator", "command", "args", "outcome",
// "rows_changed", "database"}. Each line goes to the file with one
// write(2) in append mode, so lines of processes writing at once never
// mix. Thread-compatible.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_AUDIT_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_AUDIT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zelvar::ops {

struct AuditRecord {
  std::string time;           // local time with its offset, 2026-12-08T23:40:05+01:00
  int64_t seconds = 0;        // the same time as seconds since 1970
  std::string operator_name;  // who ran the command
  std::string command;        // "send", "revoke", ...
  nlohmann::ordered_json args = nlohmann::ordered_json::object();
  std::string outcome;        // "done", "failed", "partly done", "interrupted", "dry run"
  int64_t rows_changed = 0;
  std::string database;       // the connection string, password masked

  nlohmann::ordered_json Json() const;
};

// $XDG_STATE_HOME/zelvar/audit.jsonl, or ~/.local/state/zelvar/audit.jsonl;
// never the current folder. Empty with `error` set when there is no home.
std::string DefaultAuditPath(std::string* error);

// 2026-12-08T23:40:05+01:00 for `seconds` (since 1970) in local time.
std::string IsoLocalTime(int64_t seconds);

// `by` when given, else the login name of the process's user.
std::string OperatorName(const std::string& by);

class AuditTrail {
 public:
  // Opens `path` (empty: DefaultAuditPath) for appending, creating it
  // (and its folder) when missing.
  // Null with `error` set when it can't be written: a write must not run
  // when its audit line could not be kept.
  static std::unique_ptr<AuditTrail> Open(const std::string& path, std::string* error);
  ~AuditTrail();
  AuditTrail(const AuditTrail&) = delete;
  AuditTrail& operator=(const AuditTrail&) = delete;

  const std::string& path() const { return path_; }

  // Appends `record`, its time filled in with the present. False with
  // `error` set when the line could not be written whole.
  bool Append(AuditRecord record, std::string* error);

 private:
  AuditTrail(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  std::string path_;
  int fd_;
};

// The records of the audit file at `path` from `since` (seconds since 1970)
// on, oldest first. A missing file holds none. False with `error` naming
// the line that is not an audit record.
bool ReadAudit(const std::string& path, int64_t since, std::vector<AuditRecord>* records,
               std::string* error);

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_AUDIT_H_
