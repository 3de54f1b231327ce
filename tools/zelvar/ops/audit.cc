// The audit trail.
#include "tools/zelvar/ops/audit.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

namespace zelvar::ops {
namespace {

using json = nlohmann::ordered_json;

}  // namespace

std::string IsoLocalTime(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local {};
  localtime_r(&t, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  std::string out = text;
  if (out.size() >= 5) out.insert(out.size() - 2, ":");  // +0100 -> +01:00
  return out;
}

json AuditRecord::Json() const {
  return {{"time", time},        {"operator", operator_name}, {"command", command},  {"args", args},
          {"outcome", outcome},  {"rows_changed", rows_changed}, {"database", database}};
}

std::string DefaultAuditPath(std::string* error) {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/zelvar/audit.jsonl";
  const char* home = std::getenv("HOME");
  std::string home_text = home != nullptr ? home : "";
  if (home_text.empty()) {
    if (const passwd* pw = getpwuid(geteuid()); pw != nullptr && pw->pw_dir != nullptr) home_text = pw->pw_dir;
  }
  if (home_text.empty() || home_text[0] != '/') {
    *error = "there is no home folder for the audit file; name one with --audit FILE";
    return "";
  }
  return home_text + "/.local/state/zelvar/audit.jsonl";
}

std::string OperatorName(const std::string& by) {
  if (!by.empty()) return by;
  if (const passwd* pw = getpwuid(geteuid()); pw != nullptr && pw->pw_name != nullptr) return pw->pw_name;
  if (const char* user = std::getenv("USER"); user != nullptr && user[0] != '\0') return user;
  return "uid " + std::to_string(geteuid());
}

std::unique_ptr<AuditTrail> AuditTrail::Open(const std::string& given, std::string* error) {
  const std::string path = given.empty() ? DefaultAuditPath(error) : given;
  if (path.empty()) return nullptr;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::error_code ec;
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot write the audit file '" + path + "': " + std::strerror(errno) +
             "; nothing was changed (name another file with --audit FILE)";
    return nullptr;
  }
  return std::unique_ptr<AuditTrail>(new AuditTrail(path, fd));
}

AuditTrail::~AuditTrail() { close(fd_); }

bool AuditTrail::Append(AuditRecord record, std::string* error) {
  record.seconds = static_cast<int64_t>(std::time(nullptr));
  record.time = IsoLocalTime(record.seconds);
  const std::string line = record.Json().dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  const ssize_t written = write(fd_, line.data(), line.size());
  if (written != static_cast<ssize_t>(line.size()) || fsync(fd_) != 0) {
    *error = "the audit line could not be written to '" + path_ + "': " +
             (written < 0 ? std::strerror(errno) : std::string("short write"));
    return false;
  }
  return true;
}

bool ReadAudit(const std::string& path, int64_t since, std::vector<AuditRecord>* records, std::string* error) {
  std::ifstream in(path);
  if (!in) return true;  // nothing written yet
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty()) continue;
    const json parsed = json::parse(line, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || !parsed.contains("time")) {
      *error = path + " line " + std::to_string(number) + " is not an audit record";
      return false;
    }
    AuditRecord record;
    record.time = parsed.value("time", "");
    std::tm tm {};
    if (strptime(record.time.c_str(), "%Y-%m-%dT%H:%M:%S", &tm) != nullptr) {
      tm.tm_isdst = -1;
      record.seconds = static_cast<int64_t>(std::mktime(&tm));
      // The offset written with the time makes it exact across zones.
      if (record.time.size() >= 25) {
        const int sign = record.time[19] == '-' ? -1 : 1;
        const int offset = sign * (std::atoi(record.time.substr(20, 2).c_str()) * 3600 +
                                   std::atoi(record.time.substr(23, 2).c_str()) * 60);
        record.seconds = static_cast<int64_t>(timegm(&tm)) - offset;
      }
    }
    if (record.seconds < since) continue;
    record.operator_name = parsed.value("operator", "");
    record.command = parsed.value("command", "");
    if (parsed.contains("args")) record.args = parsed["args"];
    record.outcome = parsed.value("outcome", "");
    record.rows_changed = parsed.value("rows_changed", int64_t{0});
    record.database = parsed.value("database", "");
    records->push_back(std::move(record));
  }
  return true;
}

}  // namespace zelvar::ops
