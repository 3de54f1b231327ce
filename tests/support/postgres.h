// PostgreSQL test databases on the server that scripts/with-postgres starts
// (ZELVAR_TEST_PG_ADMIN: an ODBC string for its "postgres" database, which
// scripts/with-pgbouncer points at its pooler).
#ifndef ZELVAR_TESTS_SUPPORT_POSTGRES_H_
#define ZELVAR_TESTS_SUPPORT_POSTGRES_H_

#include <string>

namespace zelvar::test {

// True when ZELVAR_TEST_PG_ADMIN is set.
bool PostgresAvailable();

// Creates a database with a new name and the tables of
// schema/postgresql.sql; returns its ODBC connection string, or empty with
// `error` filled.
std::string CreatePostgresDatabase(std::string* error);

// The same database straight on the server, when the string above goes
// through scripts/with-pgbouncer's pooler (ZELVAR_TEST_PG_DIRECT_ADMIN);
// else `connection_string` itself.
std::string DirectPostgresString(const std::string& connection_string);

// Drops a database made above; every connection to it must be closed.
void DropPostgresDatabase(const std::string& connection_string);

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_SUPPORT_POSTGRES_H_
