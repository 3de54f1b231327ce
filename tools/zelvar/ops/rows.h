// Reading rows with the tool's own connection (the database the module
// uses, once Session::Open has run): a query run for its rows, and the
// fields of the current row as the tool shows them. One thread at a time.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_ROWS_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_ROWS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "db/runner.h"
#include "db/sql.h"

namespace zelvar::ops {

// Runs `sql` for its rows; false with `error` holding the database's
// reason.
bool QueryRows(const db::Sql& sql, db::RecordsetHandle* rows, std::string* error);

// The integer in the first column of the query's first row (a count, an
// id); nullopt with `error` set when the query fails or gives no number.
std::optional<int64_t> QueryCount(const db::Sql& query, std::string* error);

// Fields of the current row by position, in UTF-8: a NULL or a missing
// field reads as empty text, 0, false.
std::string FieldText(const db::Recordset& rows, int column);
int64_t FieldInt(const db::Recordset& rows, int column);

// A bound text value from UTF-8.
db::SqlValue TextValue(std::string_view utf8);

// `text` in ASCII lower case with the LIKE wildcards % and _ and the
// escape character ! escaped by "!", to be matched with ESCAPE '!', which
// every backend takes in the same way.
std::string LikeLiteral(std::string_view text);

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_ROWS_H_
