// Creating the tables of the shipped schema that a database lacks.
#include "tools/zelvar/ops/migrate.h"

#include "db/schema_setup.h"
#include "tools/zelvar/ops/schema_files.h"
#include "tools/zelvar/text_util.h"
#include "util/sql_script.h"

namespace zelvar::ops {
namespace {

// The statements as one script that SplitSqlScript takes apart into the
// same statements again.
std::string Script(const std::vector<std::string>& statements) {
  std::string script;
  for (const std::string& statement : statements) script += statement + ";\n";
  return script;
}

// The CREATE TABLE of `table` and the CREATE INDEX statements on it.
TableCreation CreationOf(const std::vector<std::string>& statements, const std::string& table) {
  TableCreation creation;
  creation.table = table;
  const std::string name = cli::Lower(table);
  for (const std::string& statement : statements) {
    const std::vector<std::string> created = CreatedTables(statement);
    const std::vector<CreatedIndex> indexes = CreatedIndexes(statement);
    const bool creates_table = !created.empty() && cli::Lower(created.front()) == name;
    const bool indexes_table = created.empty() && !indexes.empty() && cli::Lower(indexes.front().table) == name;
    if (!creates_table && !indexes_table) continue;
    creation.statements.push_back(statement);
    for (const CreatedIndex& index : indexes) creation.indexes.push_back(index.name);
  }
  return creation;
}

}  // namespace

std::vector<std::string> MigrationPlan::Tables() const {
  std::vector<std::string> tables;
  for (const TableCreation& creation : creations) tables.push_back(creation.table);
  return tables;
}

nlohmann::ordered_json MigrationPlan::Json() const {
  nlohmann::ordered_json create = nlohmann::ordered_json::array();
  for (const TableCreation& creation : creations) {
    create.push_back({{"table", creation.table}, {"indexes", creation.indexes}});
  }
  return {{"schema", schema_path}, {"tables_present", present}, {"create", create},
          {"one_transaction", one_transaction}};
}

bool PlanMigration(const std::string& product, const std::string& schema_dir, MigrationPlan* plan, bool* refused,
                   std::string* error) {
  *plan = MigrationPlan();
  *refused = false;
  std::string script;
  if (!ReadSchemaScript(product, schema_dir, &plan->schema_path, &script, error)) return false;
  SchemaTables tables;
  if (!ReadSchemaTables(product, script, &tables, error)) return false;
  if (tables.present.empty()) {
    *refused = true;
    *error = "the database holds none of the tables of " + plan->schema_path +
             ", so there is nothing to bring up to date; set it up with 'zelvar init'";
    return false;
  }
  plan->present = tables.present;
  const std::vector<std::string> statements = SplitSqlScript(script);
  for (const std::string& table : tables.missing) plan->creations.push_back(CreationOf(statements, table));
  const std::string name = cli::Lower(product);
  plan->one_transaction = name.find("mariadb") == std::string::npos && name.find("mysql") == std::string::npos;
  return true;
}

MigrationResult ApplyMigration(const std::string& product, const MigrationPlan& plan) {
  MigrationResult result;
  std::vector<std::string> all;
  for (const TableCreation& creation : plan.creations) {
    all.insert(all.end(), creation.statements.begin(), creation.statements.end());
  }
  std::string error;
  if (plan.one_transaction) {
    if (db::RunSchemaScript(Script(all), &error)) result.tables_created = plan.Tables();
  } else {
    for (const TableCreation& creation : plan.creations) {
      if (!db::RunSchemaScript(Script(creation.statements), &error)) break;
      result.tables_created.push_back(creation.table);
    }
  }
  if (error.empty()) return result;
  result.error = cli::OneLine(error);
  // The failure may have left more or less than the steps told.
  SchemaTables now;
  std::string list_error;
  if (ReadSchemaTables(product, Script(all), &now, &list_error)) {
    result.tables_created = now.present;
  } else {
    result.error += "; " + list_error + " again to tell which were created";
  }
  return result;
}

}  // namespace zelvar::ops
