#include "db/write_guard.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "db/backend.h"
#include "db/sql.h"

namespace zelvar::db {
namespace {

// One statement where the server has an upsert; elsewhere (SQL Server and
// any other ODBC server) an UPDATE, then an INSERT when it found no row.
// Under SERIALIZABLE the UPDATE's range lock makes a racing second INSERT
// a deadlock, which the transaction runs again.
constexpr char kUpsertStandard[] =
    "INSERT INTO tblWriteGuard (nKind, nUserId, nOtherId, nVersion) VALUES (%d, %d, %d, 1) "
    "ON CONFLICT (nKind, nUserId, nOtherId) DO UPDATE SET nVersion = tblWriteGuard.nVersion + 1";
constexpr char kUpsertMySql[] =
    "INSERT INTO tblWriteGuard (nKind, nUserId, nOtherId, nVersion) VALUES (%d, %d, %d, 1) "
    "ON DUPLICATE KEY UPDATE nVersion = nVersion + 1";
constexpr char kUpdate[] =
    "UPDATE tblWriteGuard SET nVersion = nVersion + 1 WHERE nKind = %d AND nUserId = %d AND "
    "nOtherId = %d";
constexpr char kInsert[] =
    "INSERT INTO tblWriteGuard (nKind, nUserId, nOtherId, nVersion) VALUES (%d, %d, %d, 1)";

}  // namespace

int WriteGuard(Transaction& transaction, GuardKind kind, int user_id, int other_id,
               std::u16string* error_text) {
  if (kind == GuardKind::kFriendship && other_id < user_id) std::swap(user_id, other_id);
  const std::vector<SqlValue> key = {SqlValue::Integer(static_cast<int>(kind)), SqlValue::Integer(user_id),
                         SqlValue::Integer(other_id)};
  switch (transaction.Family()) {
    case SqlFamily::kSqlite:
    case SqlFamily::kPostgres:
      return transaction.Execute(Sql(kUpsertStandard, key), error_text);
    case SqlFamily::kMySql:
      return transaction.Execute(Sql(kUpsertMySql, key), error_text);
    case SqlFamily::kOther:
      break;
  }
  int64_t changed = 0;
  if (transaction.Execute(Sql(kUpdate, key), error_text, &changed) != 0) return -1;
  if (changed > 0) return 0;
  return transaction.Execute(Sql(kInsert, key), error_text);
}

}  // namespace zelvar::db
