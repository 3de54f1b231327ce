// The health checks of a Zelvar database for operators: the backend, its
// server and driver, the shipped schema's tables, columns and indexes,
// the rows each table holds, the module's error log, and whether the
// connection string is safe behind a connection pooler.
//
// Runs on the connection string in force (current_connection.h); prints
// nothing. One thread at a time.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_DOCTOR_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_DOCTOR_H_

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "util/error_log.h"

namespace zelvar::ops {

enum class CheckLevel { kOk, kWarning, kProblem };

// "ok", "warning", "problem".
const char* CheckLevelName(CheckLevel level);

struct Check {
  std::string name;    // "tables", "indexes", ...
  CheckLevel level = CheckLevel::kOk;
  std::string detail;  // one line
};

struct TableRows {
  std::string table;
  int64_t rows = 0;
};

struct DoctorReport {
  std::string backend;         // "SQLite", "PostgreSQL", ...
  std::string server_version;  // empty when it could not be read
  std::string driver;          // "SQLite 3.40.1", "psqlodbcw.so 16.00.0000"
  std::string schema_path;     // the schema file the database was checked against
  std::vector<Check> checks;
  std::vector<TableRows> row_counts;
  std::vector<ErrorLogRecord> error_log;  // the newest records, oldest first

  // A check has a problem (warnings alone are not).
  bool HasProblem() const;
  nlohmann::ordered_json Json() const;
};

struct DoctorInput {
  std::string product;            // as db::DatabaseProduct gives it
  std::string connection_string;  // the one in force, for the pooler check
  std::string schema_dir;         // empty: the shipped schema folder
  std::string error_log_path = kErrorLogName;
  size_t error_log_records = 5;   // how many of the newest records to keep
};

DoctorReport RunDoctor(const DoctorInput& input);

// The pooler check of a connection string alone.
Check PoolerCheck(const std::string& connection_string);

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_DOCTOR_H_
