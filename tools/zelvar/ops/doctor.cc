// The health checks of a Zelvar database.
#include "tools/zelvar/ops/doctor.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>

#include "db/connection_string.h"
#include "db/runner.h"
#include "db/schema_setup.h"
#include "tools/zelvar/ops/schema_files.h"
#include "tools/zelvar/ops/rows.h"
#include "tools/zelvar/text_util.h"
#include "util/sql_script.h"
#include "util/text.h"

namespace zelvar::ops {
namespace {

using json = nlohmann::ordered_json;

std::string LowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A driver's reason as one line.
std::string Reason(const std::u16string& reason) { return cli::OneLine(ToNarrow(reason)); }

Check ServerCheck(const std::string& product, DoctorReport* report) {
  std::u16string reason;
  if (!db::DatabaseDriver(&report->driver, &reason)) {
    return {"server", CheckLevel::kProblem, "no connection opens: " + Reason(reason)};
  }
  if (!db::ServerVersion(product, &report->server_version, &reason)) {
    return {"server", CheckLevel::kWarning, product + " did not give its version: " + Reason(reason)};
  }
  return {"server", CheckLevel::kOk,
          product + " " + report->server_version + ", driver " + (report->driver.empty() ? "unnamed" : report->driver)};
}

// Whether `names` holds `name`, without regard to case (servers may fold
// unquoted names).
bool Holds(const std::set<std::string>& lower_names, const std::string& name) {
  return lower_names.count(LowerAscii(name)) != 0;
}

std::set<std::string> LowerSet(const std::vector<std::string>& names) {
  std::set<std::string> lower;
  for (const std::string& name : names) lower.insert(LowerAscii(name));
  return lower;
}

// The columns the script gives the tables that exist, read from an empty
// query of each.
Check ColumnsCheck(const std::string& script, const std::vector<std::string>& tables) {
  std::vector<std::string> missing;
  size_t checked = 0;
  for (const std::string& table : tables) {
    db::RecordsetHandle rows;
    std::string error;
    if (!QueryRows(db::Sql("SELECT * FROM " + table + " WHERE 1 = 0"), &rows, &error)) {
      return {"columns", CheckLevel::kProblem, table + " can't be read: " + error};
    }
    for (const std::string& column : CreatedColumns(script, table)) {
      ++checked;
      if (rows->ColumnIndex(column) < 0) missing.push_back(table + "." + column);
    }
  }
  if (!missing.empty()) return {"columns", CheckLevel::kProblem, "missing: " + cli::JoinNames(missing)};
  return {"columns", CheckLevel::kOk, "all " + std::to_string(checked) + " columns of the tables there"};
}

Check IndexesCheck(const std::string& product, const std::string& script, const std::set<std::string>& tables) {
  std::vector<std::string> names;
  std::u16string reason;
  if (!db::ListIndexes(product, &names, &reason)) {
    return {"indexes", CheckLevel::kProblem, "cannot list the indexes: " + Reason(reason)};
  }
  const std::set<std::string> existing = LowerSet(names);
  const std::vector<CreatedIndex> wanted = CreatedIndexes(script);
  std::vector<std::string> missing;
  for (const CreatedIndex& index : wanted) {
    // A missing table is reported once, under tables.
    if (Holds(tables, index.table) && !Holds(existing, index.name)) missing.push_back(index.name + " on " + index.table);
  }
  if (!missing.empty()) {
    return {"indexes", CheckLevel::kProblem,
            "missing: " + cli::JoinNames(missing) + " (requests on these tables get slow)"};
  }
  return {"indexes", CheckLevel::kOk, "all " + std::to_string(wanted.size()) + " indexes of the schema there"};
}

// Tables, columns, indexes against the shipped schema, and the rows of
// each table there.
void SchemaChecks(const DoctorInput& input, DoctorReport* report) {
  std::string script, error;
  if (!ReadSchemaScript(input.product, input.schema_dir, &report->schema_path, &script, &error)) {
    report->checks.push_back({"tables", CheckLevel::kProblem, error});
    return;
  }
  SchemaTables tables;
  if (!ReadSchemaTables(input.product, script, &tables, &error)) {
    report->checks.push_back({"tables", CheckLevel::kProblem, error});
    return;
  }
  const std::vector<std::string>& present = tables.present;
  if (!tables.missing.empty()) {
    // A database holding none of them was never set up; one holding some
    // predates the schema's newer tables.
    report->checks.push_back(
        {"tables", CheckLevel::kProblem,
         "missing: " + cli::JoinNames(tables.missing) +
             (present.empty() ? " (set the database up with 'zelvar init')" : " (add them with 'zelvar migrate')")});
  } else {
    report->checks.push_back({"tables", CheckLevel::kOk, "all " + std::to_string(present.size()) + " tables of " +
                                                             report->schema_path + " there"});
  }
  report->checks.push_back(ColumnsCheck(script, present));
  report->checks.push_back(IndexesCheck(input.product, script, LowerSet(present)));

  for (const std::string& table : present) {
    const std::optional<int64_t> rows = QueryCount(db::Sql("SELECT COUNT(*) FROM " + table), &error);
    if (!rows) {
      report->checks.push_back({"rows", CheckLevel::kProblem, table + " can't be counted: " + error});
      return;
    }
    report->row_counts.push_back({table, *rows});
  }
}

Check ErrorLogCheck(const DoctorInput& input, DoctorReport* report) {
  std::ifstream in(input.error_log_path, std::ios::binary);
  if (!in) return {"error log", CheckLevel::kOk, "no " + input.error_log_path + " in this folder"};
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::vector<ErrorLogRecord> records = ReadErrorLogRecords(bytes);
  if (records.empty()) return {"error log", CheckLevel::kOk, input.error_log_path + " holds no record"};
  const ErrorLogRecord newest = records.back();
  const size_t total = records.size();
  if (records.size() > input.error_log_records) {
    records.erase(records.begin(), records.end() - static_cast<std::ptrdiff_t>(input.error_log_records));
  }
  report->error_log = std::move(records);
  return {"error log", CheckLevel::kWarning,
          input.error_log_path + " holds " + std::to_string(total) + (total == 1 ? " record" : " records") +
              "; the newest, " + newest.time + ": " + newest.message};
}

}  // namespace

const char* CheckLevelName(CheckLevel level) {
  switch (level) {
    case CheckLevel::kOk: return "ok";
    case CheckLevel::kWarning: return "warning";
    case CheckLevel::kProblem: return "problem";
  }
  return "?";
}

bool DoctorReport::HasProblem() const {
  return std::any_of(checks.begin(), checks.end(), [](const Check& c) { return c.level == CheckLevel::kProblem; });
}

json DoctorReport::Json() const {
  json out = {{"backend", backend}, {"server_version", server_version}, {"driver", driver}, {"schema", schema_path}};
  json check_list = json::array();
  for (const Check& check : checks) {
    check_list.push_back({{"check", check.name}, {"status", CheckLevelName(check.level)}, {"detail", check.detail}});
  }
  out["checks"] = check_list;
  json counts = json::object();
  for (const TableRows& table : row_counts) counts[table.table] = table.rows;
  out["row_counts"] = counts;
  json records = json::array();
  for (const ErrorLogRecord& record : error_log) records.push_back({{"time", record.time}, {"message", record.message}});
  out["error_log"] = records;
  out["status"] = HasProblem() ? "problem" : "ok";
  return out;
}

Check PoolerCheck(const std::string& connection_string) {
  const db::ConnectionTarget target = db::ResolveConnectionString(connection_string);
  if (target.kind == db::ConnectionTarget::Kind::kSqlite) {
    return {"pooler", CheckLevel::kOk, "an SQLite file: no pooler in between"};
  }
  if (!target.options.named_statements) {
    return {"pooler", CheckLevel::kOk,
            "statements run unnamed and keep no session state: safe directly and behind a pooler in any mode "
            "(PgBouncer transaction mode included)"};
  }
  // PgBouncer's own port: a pooler is almost surely in between.
  std::vector<std::pair<std::string, std::string>> pairs;
  db::SplitConnectionString(connection_string, &pairs);
  bool pooler_port = false;
  for (const auto& [keyword, value] : pairs) {
    const std::string key = LowerAscii(keyword);
    if ((key == "port" && value == "6432") ||
        ((key == "server" || key == "servername") && value.size() > 5 && value.substr(value.size() - 5) == ",6432")) {
      pooler_port = true;
    }
  }
  const std::string rule =
      "Named Statements=yes keeps statements prepared on the server session: safe on a direct connection or a "
      "session-mode pooler, not through a transaction-mode pooler (PgBouncer pool_mode=transaction), which runs them "
      "on other sessions";
  if (pooler_port) return {"pooler", CheckLevel::kProblem, rule + "; port 6432 is PgBouncer's: take the option out"};
  return {"pooler", CheckLevel::kWarning, rule + "; take it out if a pooler sits in between"};
}

DoctorReport RunDoctor(const DoctorInput& input) {
  DoctorReport report;
  report.backend = input.product;
  const Check server = ServerCheck(input.product, &report);
  report.checks.push_back(server);
  if (server.level != CheckLevel::kProblem) SchemaChecks(input, &report);
  report.checks.push_back(ErrorLogCheck(input, &report));
  report.checks.push_back(PoolerCheck(input.connection_string));
  return report;
}

}  // namespace zelvar::ops
