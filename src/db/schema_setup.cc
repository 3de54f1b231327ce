// Setting a database up: the new SQLite file, schema scripts and the
// listing of tables.
#include "db/schema_setup.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <memory>

#include "db/current_connection.h"
#include "db/pool.h"
#include "db/runner.h"
#include "db/transaction.h"
#include "util/sql_script.h"
#include "util/text.h"

namespace zelvar::db {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A statement of a script as a Sql of no values: a "%" of its text stays
// itself.
Sql Verbatim(const std::string& text) {
  std::string format;
  format.reserve(text.size());
  for (char c : text) {
    format.push_back(c);
    if (c == '%') format.push_back('%');
  }
  return Sql(std::move(format));
}

// "'CREATE TABLE tblUser (' failed: REASON": the statement's first line,
// cut short at a character's start.
bool StatementFailed(const std::string& statement, const std::u16string& reason,
                     std::string* error) {
  constexpr size_t kShown = 60;
  std::string line = statement.substr(0, statement.find('\n'));
  if (line.size() > kShown) {
    size_t cut = kShown - 1;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line = line.substr(0, cut) + "\u2026";
  }
  *error = "'" + line + "' failed: " + ToNarrow(reason);
  return false;
}

// The catalogue queries of a product: its tables, its indexes and the
// server's version. A server's catalogue views may show other databases'
// tables too: only the connection's own.
struct Catalogue {
  const char* tables;
  const char* indexes;
  const char* version;
};

const Catalogue& CatalogueOf(const std::string& product) {
  static const Catalogue kSqlite = {"SELECT name FROM sqlite_master WHERE type = 'table'",
                                    "SELECT name FROM sqlite_master WHERE type = 'index'",
                                    "SELECT sqlite_version()"};
  static const Catalogue kPostgres = {
      "SELECT table_name FROM information_schema.tables WHERE table_type = 'BASE TABLE' "
      "AND table_schema NOT IN ('pg_catalog', 'information_schema')",
      "SELECT indexname FROM pg_indexes WHERE schemaname NOT IN ('pg_catalog', 'information_schema')",
      "SHOW server_version"};
  static const Catalogue kMySql = {
      "SELECT table_name FROM information_schema.tables WHERE table_type = 'BASE TABLE' "
      "AND table_schema = DATABASE()",
      "SELECT DISTINCT index_name FROM information_schema.statistics WHERE table_schema = DATABASE()",
      "SELECT VERSION()"};
  // SQL Server's INFORMATION_SCHEMA and sys.indexes show the current
  // database only.
  static const Catalogue kSqlServer = {
      "SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_TYPE = 'BASE TABLE'",
      "SELECT name FROM sys.indexes WHERE name IS NOT NULL",
      "SELECT CAST(SERVERPROPERTY('ProductVersion') AS NVARCHAR(128))"};
  const std::string name = Lower(product);
  if (name.find("sqlite") != std::string::npos) return kSqlite;
  if (name.find("postgres") != std::string::npos) return kPostgres;
  if (name.find("mariadb") != std::string::npos || name.find("mysql") != std::string::npos) return kMySql;
  return kSqlServer;
}

// What `ask` reads from a connection leased for the connection string in
// force; false with `error` when none opens.
bool AskConnection(const std::function<std::string(Connection&)>& ask, std::string* answer,
                   std::u16string* error) {
  const std::shared_ptr<const std::string> connection_string = CurrentConnectionString();
  Lease lease;
  const Status status = Pool::Instance().Acquire(*connection_string, false, &lease);
  if (!status.ok()) {
    *error = status.text();
    return false;
  }
  *answer = ask(*lease);
  return true;
}

// The first column of every row of `query`, as text.
bool FirstColumn(const char* query, std::vector<std::string>* values, std::u16string* error) {
  values->clear();
  RecordsetHandle rows;
  if (QuerySql(Sql(query), rows, error) != 0) return false;
  for (; !rows->IsEOF(); rows->MoveNext()) {
    Variant value;
    std::u16string text;
    if (rows->GetFieldAt(0, &value) && value.ToText(&text)) values->push_back(ToNarrow(text));
  }
  return true;
}

}  // namespace

bool CreateSqliteFile(const std::string& path, bool* created, std::string* error) {
  struct stat info {};
  *created = false;
  if (stat(path.c_str(), &info) == 0) return true;
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close_v2);
  if (rc != SQLITE_OK) {
    *error = "cannot open '" + path + "': " + (db ? sqlite3_errmsg(db.get()) : "out of memory");
    return false;
  }
  *created = true;
  return true;
}

bool DatabaseProduct(std::string* product, std::u16string* error) {
  return AskConnection([](Connection& connection) { return connection.ProductName(); }, product, error);
}

bool DatabaseDriver(std::string* driver, std::u16string* error) {
  return AskConnection([](Connection& connection) { return connection.DriverName(); }, driver, error);
}

bool ServerVersion(const std::string& product, std::string* version, std::u16string* error) {
  std::vector<std::string> values;
  if (!FirstColumn(CatalogueOf(product).version, &values, error)) return false;
  *version = values.empty() ? std::string() : values.front();
  return true;
}

bool ListIndexes(const std::string& product, std::vector<std::string>* names,
                 std::u16string* error) {
  return FirstColumn(CatalogueOf(product).indexes, names, error);
}

bool ListTables(const std::string& product, std::vector<std::string>* names,
                std::u16string* error) {
  return FirstColumn(CatalogueOf(product).tables, names, error);
}

bool RunSchemaScript(const std::string& script, std::string* error) {
  const std::vector<std::string> statements = SplitSqlScript(script);
  std::u16string reason;
  size_t first = 0;
  for (; first < statements.size() && FirstWord(statements[first]) == "pragma"; ++first) {
    if (ExecuteSql(Verbatim(statements[first]), &reason) != 0) {
      return StatementFailed(statements[first], reason, error);
    }
  }
  const std::string* failed = nullptr;
  const int result = RunTransaction(
      [&](Transaction& transaction) {
        failed = nullptr;
        for (size_t i = first; i < statements.size(); ++i) {
          if (transaction.Execute(Verbatim(statements[i]), &reason) != 0) {
            failed = &statements[i];
            return -1;
          }
        }
        return 0;
      },
      &reason);
  if (result == 0) return true;
  if (failed != nullptr) return StatementFailed(*failed, reason, error);
  *error = ToNarrow(reason);
  return false;
}

}  // namespace zelvar::db
