// The statement runners: every statement of the handlers goes through
// ExecuteSql (no rows) or QuerySql (rows read back), or through a
// Transaction (transaction.h) where statements belong together.
//
// Each call leases a connection for the module-wide connection string from
// that string's pool and gives it back before it returns. A connection that
// can't be opened gives -1, the error text "数据库没能打开" and one record
// with it in the error log. A failed statement gives -1 and the backend's
// description as error text; the runner logs nothing for it.
//
// Thread-safe: any number of host threads may run statements at once.
#ifndef ZELVAR_DB_RUNNER_H_
#define ZELVAR_DB_RUNNER_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/backend.h"
#include "db/sql.h"

namespace zelvar::db {

class Recordset;

// A record set owned by one handler call. Empty when no query filled it.
using RecordsetHandle = std::unique_ptr<Recordset>;

// The error text of a connection that can't be opened.
inline constexpr char16_t kOpenFailedText[] = u"数据库没能打开";

// Runs a statement that returns no rows. 0, or -1 with `error_text` (may
// be null) filled.
int ExecuteSql(const Sql& sql, std::u16string* error_text);

// Runs a query. On 0, `recordset` holds its rows, standing on the first
// (or at the end when there is none); whatever it held before is released.
// On an open failure `recordset` is untouched; on a failed statement it is
// empty.
int QuerySql(const Sql& sql, RecordsetHandle& recordset, std::u16string* error_text);

// Runs the query `choose` gives for the family of the leased connection's
// database, as QuerySql does. When it gives none, -1 with nothing run and
// nothing logged, `recordset` empty. `refused` (may be null) tells whether
// a -1 came from the statement itself (none for the family, or one the
// database refused) rather than from the link, the open or the time.
int QuerySqlOf(const std::function<std::optional<Sql>(SqlFamily)>& choose,
               RecordsetHandle& recordset, std::u16string* error_text, bool* refused = nullptr);

// Runs queries that only read, with the results QuerySql would give each
// in turn: `recordsets` receives one handle per query, holding its rows
// (standing on the first), or empty where the query failed. The queries
// share one leased connection and, where the backend can, one round trip;
// those whose outcome a broken-off batch leaves unknown run again through
// QuerySql, and so do all of them when no connection opens (which then
// logs as QuerySql does). REQUIRES: none of the queries changes data.
void QuerySqlBatch(const std::vector<Sql>& queries, std::vector<RecordsetHandle>* recordsets);

// Opens a test connection with `connection_string`; on success it becomes
// the module-wide string. 0 or -1; nothing is logged.
int TestAndSetConnectionString(const std::string& connection_string);

// Closes every idle pooled connection (of all strings). Connections leased
// at the time are closed when they come back. For tests and unload.
void CloseIdleConnections();

}  // namespace zelvar::db

// Whoever holds a RecordsetHandle also destroys one, which needs the whole
// class.
#include "db/recordset.h"

#endif  // ZELVAR_DB_RUNNER_H_
