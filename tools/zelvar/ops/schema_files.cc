// The shipped schema scripts.
#include "tools/zelvar/ops/schema_files.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "db/schema_setup.h"
#include "tools/zelvar/text_util.h"
#include "util/sql_script.h"
#include "util/text.h"

namespace zelvar::ops {
namespace {

std::string ExecutableFolder() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  std::string text(path, static_cast<size_t>(n));
  return text.substr(0, text.rfind('/'));
}

}  // namespace

std::string DefaultSchemaFolder() {
  const std::string installed =
      std::filesystem::path(ExecutableFolder() + "/" + ZELVAR_SCHEMA_FROM_BIN).lexically_normal().string();
  if (access((installed + "/sqlite.sql").c_str(), R_OK) == 0) return installed;
  return ZELVAR_SOURCE_SCHEMA_DIR;
}

std::string SchemaFileName(const std::string& product) {
  const std::string name = cli::Lower(product);
  if (name.find("sqlite") != std::string::npos) return "sqlite.sql";
  if (name.find("postgres") != std::string::npos) return "postgresql.sql";
  if (name.find("sql server") != std::string::npos) return "sqlserver.sql";
  if (name.find("mariadb") != std::string::npos || name.find("mysql") != std::string::npos) return "mariadb.sql";
  return "";
}

bool ReadSchemaScript(const std::string& product, const std::string& schema_dir, std::string* path,
                      std::string* script, std::string* error) {
  const std::string file_name = SchemaFileName(product);
  if (file_name.empty()) {
    *error = "there is no schema for " + product + "; the shipped ones are for SQLite, PostgreSQL, SQL Server and MariaDB";
    return false;
  }
  *path = (schema_dir.empty() ? DefaultSchemaFolder() : schema_dir) + "/" + file_name;
  std::ifstream in(*path, std::ios::binary);
  if (!in) {
    *error = "cannot read '" + *path + "': " + std::strerror(errno) + "; name the schema folder with --schema DIR";
    return false;
  }
  script->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

namespace {

// The database's table names in lower case.
bool ListLowerTables(const std::string& product, std::set<std::string>* tables, std::string* error) {
  std::vector<std::string> names;
  std::u16string reason;
  if (!db::ListTables(product, &names, &reason)) {
    *error = "cannot list the tables: " + cli::OneLine(ToNarrow(reason));
    return false;
  }
  for (const std::string& name : names) tables->insert(cli::Lower(name));
  return true;
}

}  // namespace

bool ReadSchemaTables(const std::string& product, const std::string& script, SchemaTables* tables,
                      std::string* error) {
  *tables = SchemaTables();
  std::set<std::string> existing;
  if (!ListLowerTables(product, &existing, error)) return false;
  for (const std::string& table : CreatedTables(script)) {
    (existing.count(cli::Lower(table)) != 0 ? tables->present : tables->missing).push_back(table);
  }
  return true;
}

std::optional<bool> DatabaseHasTable(const std::string& product, const std::string& table, std::string* error) {
  std::set<std::string> existing;
  if (!ListLowerTables(product, &existing, error)) return std::nullopt;
  return existing.count(cli::Lower(table)) != 0;
}

}  // namespace zelvar::ops
