// Schema scripts taken apart into statements, for the zelvar tool's set-up
// and the tests' schema loader. Pure functions; safe on any thread.
#ifndef ZELVAR_UTIL_SQL_SCRIPT_H_
#define ZELVAR_UTIL_SQL_SCRIPT_H_

#include <string>
#include <vector>

namespace zelvar {

// Splits a schema script into statements: at ";" outside quotes and
// comments, and at lines holding only GO (SQL Server's scripts).
std::vector<std::string> SplitSqlScript(const std::string& script);

// The statement's first word in lower case, past blanks and comments
// ("pragma", "create", ...); empty when there is none.
std::string FirstWord(const std::string& sql);

// The tables a schema script creates, in order.
std::vector<std::string> CreatedTables(const std::string& script);

// The columns of `table` as the script's CREATE TABLE of it defines them,
// in order; none when the script does not create it.
std::vector<std::string> CreatedColumns(const std::string& script, const std::string& table);

struct CreatedIndex {
  std::string table;
  std::string name;
};

// The named indexes a schema script creates, in order: CREATE [UNIQUE]
// INDEX statements, and INDEX or KEY lines inside a CREATE TABLE (MariaDB's
// form).
std::vector<CreatedIndex> CreatedIndexes(const std::string& script);

}  // namespace zelvar

#endif  // ZELVAR_UTIL_SQL_SCRIPT_H_
