// Databases for tests and benchmarks: the shipped schema loaded into a new
// SQLite file, or a database of its own on the test servers that
// scripts/with-postgres and scripts/with-mariadb start.
//
// PostgreSQL (ZELVAR_TEST_PG_ADMIN: an ODBC string for the server's
// "postgres" database): each database is a copy of the template that
// scripts/with-postgres filled with schema/postgresql.sql. Behind
// scripts/with-pgbouncer (ZELVAR_TEST_PG_DIRECT_ADMIN names the server
// itself) they are made and dropped on the server: CREATE DATABASE ...
// TEMPLATE refuses while any session is on the template, and DROP
// DATABASE ... WITH (FORCE) must end the pooler's sessions, not be one.
//
// MariaDB (ZELVAR_TEST_MARIADB: an ODBC string for a role that may create
// databases, naming none): each database is created empty and filled from
// schema/mariadb.sql.
//
// Thread-safe.
#ifndef ZELVAR_TESTS_KIT_SCHEMA_H_
#define ZELVAR_TESTS_KIT_SCHEMA_H_

#include <memory>
#include <string>
#include <vector>

#include "kit/raw_db.h"

namespace zelvar::kit {

enum class Backend { kSqlite, kPostgres, kMariaDb };

// The source tree: $ZELVAR_SOURCE_DIR, else the one the kit was built from.
std::string SourceDir();
// schema/<backend>.sql of the source tree.
std::string SchemaPath(Backend backend);
// The file's bytes; empty when it can't be read.
std::string ReadWholeFile(const std::string& path);
// A new folder under the temporary folder; empty when none can be made.
std::string MakeTempDir(const std::string& prefix);

// Creates the SQLite file `path` with the tables of schema/sqlite.sql and
// returns a connection to it; null with `error` filled.
std::unique_ptr<SqliteDb> CreateSqliteDatabase(const std::string& path, std::string* error);

// The value of `keyword` (case-insensitive) in an ODBC connection string;
// empty when it is not there.
std::string ConnectionValue(const std::string& connection_string, const std::string& keyword);

// True when ZELVAR_TEST_PG_ADMIN is set.
bool PostgresAvailable();
// Creates a database with a new name (`prefix` and a unique tail) from the
// template; returns its ODBC connection string, or empty with `error`
// filled.
std::string CreatePostgresDatabase(std::string* error, const std::string& prefix = "zelvar_t_");
// The same database straight on the server, when the string above goes
// through scripts/with-pgbouncer's pooler; else `connection_string` itself.
std::string DirectPostgresString(const std::string& connection_string);
// Drops a database made above (FORCE ends the sessions still on it).
void DropPostgresDatabase(const std::string& connection_string,
                          const std::string& prefix = "zelvar_t_");

// True when ZELVAR_TEST_MARIADB is set.
bool MariaDbAvailable();
// Creates a database with a new name and the tables of the schema at
// `schema_path`; returns its ODBC connection string, or empty with `error`
// filled.
std::string CreateMariaDbDatabase(const std::string& schema_path, std::string* error);
// Drops a database made above.
void DropMariaDbDatabase(const std::string& connection_string);

}  // namespace zelvar::kit

#endif  // ZELVAR_TESTS_KIT_SCHEMA_H_
