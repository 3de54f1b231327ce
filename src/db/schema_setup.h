// Setting a database up: the new SQLite file, the tables from a schema
// script, and the names of the tables a database holds. The module itself
// creates no file and no table and never calls these; the zelvar tool's
// init does, through the same pools, runners and transactions as the
// module's requests.
//
// Every function but CreateSqliteFile works on the
// connection string in force (current_connection.h). Thread-safe.
#ifndef ZELVAR_DB_SCHEMA_SETUP_H_
#define ZELVAR_DB_SCHEMA_SETUP_H_

#include <string>
#include <vector>

namespace zelvar::db {

// Creates an empty SQLite database file at `path` unless a file is there
// already; `created` tells whether this call made it. False with `error`
// saying why when it can't be created. The file is only made, not
// checked: whether a file that was there is a database shows when a
// connection opens it.
bool CreateSqliteFile(const std::string& path, bool* created, std::string* error);

// The database product behind the connection string in force: "SQLite",
// or the server's name as its ODBC driver reports it ("PostgreSQL",
// "MariaDB", "Microsoft SQL Server", ...). False with `error` (the
// backend's reason) when no connection opens.
bool DatabaseProduct(std::string* product, std::u16string* error);

// The client library of the connection string in force and its version:
// "SQLite 3.40.1", or the ODBC driver's name and version as it reports
// them. False with `error` when no connection opens.
bool DatabaseDriver(std::string* driver, std::u16string* error);

// The server's version as the server gives it ("16.4 (Debian 16.4-1)",
// "10.11.6-MariaDB", SQLite's library version); `product` as
// DatabaseProduct gives it. False with `error` when the query fails.
bool ServerVersion(const std::string& product, std::string* version, std::u16string* error);

// The names of the indexes of the database in force, its own tables' only
// (a server may lower their case); `product` as DatabaseProduct gives it.
// False with `error` when the listing fails.
bool ListIndexes(const std::string& product, std::vector<std::string>* names,
                 std::u16string* error);

// The names of the tables of the database in force (the connection's own
// database on a server, not every database it may see); `product` as
// DatabaseProduct gives it. False with `error` when the listing fails.
bool ListTables(const std::string& product, std::vector<std::string>* names,
                std::u16string* error);

// Runs a schema script on the database in force: its leading PRAGMA
// statements one by one (SQLite's journal mode can't change inside a
// transaction), then every other statement in one transaction, so that a
// failure leaves none of the script's tables behind where the server's
// DDL is transactional (SQLite, PostgreSQL, SQL Server). False with
// `error` naming the statement that failed and why.
bool RunSchemaScript(const std::string& script, std::string* error);

}  // namespace zelvar::db

#endif  // ZELVAR_DB_SCHEMA_SETUP_H_
