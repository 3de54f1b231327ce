// Where the shipped schema scripts lie and which one fits a database
// product, for init (which runs it), migrate (which adds what a database
// lacks) and doctor (which checks a database against it). Thread-safe;
// SchemaTables reads the database in force.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_SCHEMA_FILES_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_SCHEMA_FILES_H_

#include <optional>
#include <string>
#include <vector>

namespace zelvar::ops {

// The installed schema folder (relative to the installed tool), else the
// source tree's.
std::string DefaultSchemaFolder();

// The schema file of the schema folder for a database product
// ("sqlite.sql", "postgresql.sql", ...); empty when none fits.
std::string SchemaFileName(const std::string& product);

// Reads the schema script for `product` from `schema_dir` (empty: the
// default folder) into `script`, its path into `path`. False with `error`
// saying why (and that --schema names another folder) when there is none
// for the product or it can't be read.
bool ReadSchemaScript(const std::string& product, const std::string& schema_dir, std::string* path,
                      std::string* script, std::string* error);

// The tables a schema script creates, split by whether the database in
// force holds them (compared without regard to case: servers may fold
// unquoted names); each list in the script's order, named as the script
// names them.
struct SchemaTables {
  std::vector<std::string> present;
  std::vector<std::string> missing;
};

// `product` as db::DatabaseProduct gives it. False with `error` when the
// database's tables can't be listed.
bool ReadSchemaTables(const std::string& product, const std::string& script, SchemaTables* tables,
                      std::string* error);

// Whether the database in force holds `table` (without regard to case);
// nullopt with `error` when its tables can't be listed.
std::optional<bool> DatabaseHasTable(const std::string& product, const std::string& table, std::string* error);

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_SCHEMA_FILES_H_
