// Kind 1605: the trades the user took part in, on either side, newest
// first. Row r (from 1) is written at keys 100r to 100r + 4; key 10 closes
// with the number of rows, -1 when there is none.

#include "db/sql.h"
#include "queries/kinds.h"
#include "queries/reply.h"

namespace zelvar::queries {

int QueryTradeHistory(int32_t user_id, char** reply, int* reply_length) {
  ReplyPacket packet(kTradeHistoryKind);
  db::RecordsetHandle trades;
  const db::Sql query(
      "SELECT nId, nPlayUserId, nPlayedUserId, nPlayId, tTime, tDuration FROM "
      "tblFriendTradeHistory WHERE (nPlayUserId = %d) OR (nPlayedUserId = %d) ORDER BY tTime "
      "DESC",
      {db::SqlValue::Integer(user_id), db::SqlValue::Integer(user_id)});
  if (db::QuerySql(query, trades, nullptr) != 0) return -1;

  int32_t rows = 0;
  ForEachCompleteRow(trades, {"nId", "nPlayUserId", "nPlayedUserId", "nPlayId", "tTime"},
                     [&](const std::vector<db::Variant>& field) {
                       ++rows;
                       const int64_t base = int64_t{100} * rows;
                       packet.SetInt(base + 0, field[1].Int32());
                       packet.SetInt(base + 1, field[2].Int32());
                       packet.SetInt(base + 2, field[3].Int32());
                       packet.SetInt(base + 3, Low32(SecondsOf(field[4])));
                       packet.SetInt(base + 4, field[0].Int32());
                     });
  packet.SetInt(10, rows == 0 ? -1 : rows);
  return HandOut(packet, reply, reply_length);
}

}  // namespace zelvar::queries
