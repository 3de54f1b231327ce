// Where the shipped schema scripts lie and which one fits a database
// product, for init (which runs it) and doctor (which checks a database
// against it). Thread-safe.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_SCHEMA_FILES_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_SCHEMA_FILES_H_

#include <string>

namespace zelvar::ops {

// The installed schema folder (relative to the installed tool), else the
// source tree's.
std::string DefaultSchemaFolder();

// The schema file of the schema folder for a database product
// ("sqlite.sql", "postgresql.sql", ...); empty when none fits.
std::string SchemaFileName(const std::string& product);

// Reads the schema script for `product` from `schema_dir` (empty: the
// default folder) into `script`, its path into `path`. False with `error`
// saying why when there is none for the product or it can't be read.
bool ReadSchemaScript(const std::string& product, const std::string& schema_dir, std::string* path,
                      std::string* script, std::string* error);

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_SCHEMA_FILES_H_
