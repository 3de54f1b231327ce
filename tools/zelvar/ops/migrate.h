// Bringing a database set up from an older schema up to the shipped one:
// every table of the schema script that the database lacks is created with
// its indexes, as the script defines them. Tables already there are left
// as they are; rows are never touched.
//
// Runs on the connection string in force (current_connection.h); prints
// nothing. One thread at a time.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_MIGRATE_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_MIGRATE_H_

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zelvar::ops {

// One table to create: the script's CREATE TABLE of it and its CREATE INDEX
// statements (on MariaDB the indexes stand inside the CREATE TABLE).
struct TableCreation {
  std::string table;
  std::vector<std::string> indexes;     // their names
  std::vector<std::string> statements;  // in the script's order
};

struct MigrationPlan {
  std::string schema_path;
  std::vector<std::string> present;      // the schema's tables the database holds
  std::vector<TableCreation> creations;  // the ones it lacks, in the script's order
  // False where the server commits each CREATE itself (MariaDB, MySQL):
  // the tables are then created one by one.
  bool one_transaction = true;

  std::vector<std::string> Tables() const;
  nlohmann::ordered_json Json() const;
};

// Reads the schema script for `product` (as db::DatabaseProduct gives it)
// from `schema_dir` (empty: the shipped folder) and what the database
// lacks of it. False with `error` saying why when the script or the
// database's tables can't be read, or when the database holds none of the
// schema's tables: it was never set up, and init is what sets it up
// (`refused` is then true).
bool PlanMigration(const std::string& product, const std::string& schema_dir, MigrationPlan* plan, bool* refused,
                   std::string* error);

struct MigrationResult {
  std::vector<std::string> tables_created;  // those the database holds now
  std::string error;                        // empty when all were created

  bool ok() const { return error.empty(); }
};

// Creates the plan's tables: all in one transaction where the server's DDL
// is transactional, so that a failure leaves none behind; else table by
// table, stopping at the first failure. After a failure the tables are
// listed again, so that `tables_created` names exactly those that exist.
MigrationResult ApplyMigration(const std::string& product, const MigrationPlan& plan);

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_MIGRATE_H_
