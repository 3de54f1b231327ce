// zelvar audit: the audit trail of the tool's writes, oldest first.
#include <cstdio>
#include <ctime>

#include "tools/zelvar/commands.h"
#include "tools/zelvar/ops/audit.h"
#include "tools/zelvar/table.h"
#include "tools/zelvar/text_util.h"

namespace zelvar::cli {
namespace {

// "2026-12-01", "2026-12-01 08:30[:15]" in local time, or an age: "90m",
// "12h", "7d". Seconds since 1970, or nullopt.
std::optional<int64_t> ParseSince(const std::string& text, int64_t now) {
  if (text.size() >= 2 && (text.back() == 'm' || text.back() == 'h' || text.back() == 'd')) {
    const auto count = ParseInt32(text.substr(0, text.size() - 1));
    if (!count || *count < 0) return std::nullopt;
    const int64_t unit = text.back() == 'm' ? 60 : text.back() == 'h' ? 3600 : 86400;
    return now - *count * unit;
  }
  for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d"}) {
    std::tm tm {};
    const char* end = strptime(text.c_str(), format, &tm);
    if (end != nullptr && *end == '\0') {
      tm.tm_isdst = -1;
      return static_cast<int64_t>(std::mktime(&tm));
    }
  }
  return std::nullopt;
}

}  // namespace

int RunAudit(const GlobalOptions& options, const std::string& since_text) {
  int64_t since = 0;
  if (!since_text.empty()) {
    const auto parsed = ParseSince(since_text, static_cast<int64_t>(std::time(nullptr)));
    if (!parsed) {
      return Fail(kExitUsage, "--since '" + since_text +
                                  "' is neither a local time (2026-12-01 or 2026-12-01 08:30) nor an age (90m, 12h, 7d)");
    }
    since = *parsed;
  }
  std::string error;
  const std::string path = options.audit_file.empty() ? ops::DefaultAuditPath(&error) : options.audit_file;
  if (path.empty()) return Fail(kExitUsage, error);
  std::vector<ops::AuditRecord> records;
  if (!ops::ReadAudit(path, since, &records, &error)) return Fail(kExitFailed, error);

  if (options.json) {
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const ops::AuditRecord& record : records) rows.push_back(record.Json());
    PrintJson({{"request", "audit"}, {"file", path}, {"count", records.size()}, {"rows", rows}});
    return kExitOk;
  }
  Table table({{"TIME"}, {"OPERATOR"}, {"COMMAND"}, {"OUTCOME"}, {"ROWS", Table::Align::kRight},
               {"ARGUMENTS", Table::Align::kLeft, 70}});
  for (const ops::AuditRecord& record : records) {
    table.AddRow({LocalTimeText(record.seconds), record.operator_name, record.command, record.outcome,
                  std::to_string(record.rows_changed),
                  record.args.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)});
  }
  if (!options.csv) {
    std::printf("Audit trail %s: %zu %s%s\n", path.c_str(), records.size(), records.size() == 1 ? "write" : "writes",
                since_text.empty() ? "" : (" since " + LocalTimeText(since)).c_str());
    if (records.empty()) {
      std::printf("  (no writes recorded)\n");
      return kExitOk;
    }
  }
  table.Print(stdout);
  return kExitOk;
}

}  // namespace zelvar::cli
