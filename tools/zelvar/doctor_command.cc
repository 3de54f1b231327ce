// zelvar doctor: the health of the database the connection string names,
// check by check.
#include <cstdio>

#include "db/current_connection.h"
#include "tools/zelvar/commands.h"
#include "tools/zelvar/ops/doctor.h"
#include "tools/zelvar/table.h"

namespace zelvar::cli {
namespace {

void PrintReport(const ops::DoctorReport& report) {
  Table checks({{"STATUS"}, {"CHECK"}, {"DETAIL"}});
  int problems = 0, warnings = 0;
  for (const ops::Check& check : report.checks) {
    checks.AddRow({ops::CheckLevelName(check.level), check.name, check.detail});
    problems += check.level == ops::CheckLevel::kProblem;
    warnings += check.level == ops::CheckLevel::kWarning;
  }
  std::printf("Database: %s %s (driver: %s)\n", report.backend.c_str(),
              report.server_version.empty() ? "(version unknown)" : report.server_version.c_str(),
              report.driver.empty() ? "unknown" : report.driver.c_str());
  checks.Print(stdout);
  if (!report.row_counts.empty()) {
    std::printf("Rows:\n");
    Table rows({{"TABLE"}, {"ROWS", Table::Align::kRight}});
    for (const ops::TableRows& table : report.row_counts) rows.AddRow({table.table, std::to_string(table.rows)});
    rows.Print(stdout);
  }
  if (!report.error_log.empty()) {
    std::printf("Newest records of ZelvarError.log:\n");
    for (const ErrorLogRecord& record : report.error_log) {
      std::printf("  %s  %s\n", record.time.c_str(), record.message.c_str());
    }
  }
  if (problems == 0 && warnings == 0) {
    std::printf("All well.\n");
  } else {
    std::printf("%d %s, %d %s.\n", problems, problems == 1 ? "problem" : "problems", warnings,
                warnings == 1 ? "warning" : "warnings");
  }
}

}  // namespace

int RunDoctor(const GlobalOptions& options, const std::string& schema_dir) {
  int exit_code = kExitOk;
  auto session = Session::Open(options, &exit_code);
  if (!session) return exit_code;
  ops::DoctorInput input;
  input.product = session->product();
  input.connection_string = *CurrentConnectionString();
  input.schema_dir = schema_dir;
  const ops::DoctorReport report = ops::RunDoctor(input);
  if (options.json) {
    PrintJson(report.Json());
  } else {
    PrintReport(report);
  }
  return report.HasProblem() ? kExitFailed : kExitOk;
}

}  // namespace zelvar::cli
