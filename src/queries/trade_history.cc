// Kind 1605: the trades the user took part in, on either side, newest
// first. Row r (from 1) is written at keys 100r to 100r + 4; key 10 closes
// with the number of rows, -1 when there is none.

#include "codec/keys.h"
#include "codec/reply_packet.h"
#include "db/sql.h"
#include "queries/kinds.h"
#include "queries/reply.h"

namespace zelvar::queries {

int QueryTradeHistory(int32_t user_id, char** reply, int* reply_length) {
  codec::ReplyPacket packet(codec::kTradeHistoryKind);
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
                       using codec::TradeKey;
                       ++rows;
                       packet.SetInt(TradeKey(rows, codec::kTradePlayerField), field[1].Int32());
                       packet.SetInt(TradeKey(rows, codec::kTradeOtherField), field[2].Int32());
                       packet.SetInt(TradeKey(rows, codec::kTradePlayIdField), field[3].Int32());
                       packet.SetInt(TradeKey(rows, codec::kTradeTimeField),
                                     Low32(SecondsOf(field[4])));
                       packet.SetInt(TradeKey(rows, codec::kTradeIdField), field[0].Int32());
                     });
  packet.SetInt(codec::kTradeCountKey, rows == 0 ? -1 : rows);
  return codec::HandOut(packet, reply, reply_length);
}

}  // namespace zelvar::queries
