// MariaDB test databases on the server that scripts/with-mariadb starts
// (ZELVAR_TEST_MARIADB: an ODBC string for it as a role that may create
// databases, naming no database).
#ifndef ZELVAR_TESTS_SUPPORT_MARIADB_H_
#define ZELVAR_TESTS_SUPPORT_MARIADB_H_

#include <string>

namespace zelvar::test {

// True when ZELVAR_TEST_MARIADB is set.
bool MariaDbAvailable();

// Creates a database with a new name and the tables of schema/mariadb.sql
// (read from `schema_path`); returns its ODBC connection string, or empty
// with `error` filled.
std::string CreateMariaDbDatabase(const std::string& schema_path, std::string* error);

// Drops a database made above.
void DropMariaDbDatabase(const std::string& connection_string);

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_SUPPORT_MARIADB_H_
