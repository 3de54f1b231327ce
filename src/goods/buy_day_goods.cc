// AddBuyDayGoods: quota goods, kept as one live quota row per player in
// tblUserGoods and as the speak counters in the player's face text.

#include <optional>
#include <string>

#include "db/recordset.h"
#include "db/runner.h"
#include "db/sql.h"
#include "db/transaction.h"
#include "db/variant.h"
#include "goods/grant_attempt.h"
#include "goods/grants.h"
#include "goods/speak_entry.h"
#include "util/time_text.h"

namespace zelvar::goods {
namespace {

using db::Sql;
using db::SqlValue;

int WriteQuotaRow(db::Transaction& transaction, int goods_id, int goods_type, int user_id,
                  int count, const std::string& now_text, GrantAttempt& attempt) {
  const Sql live(
      "SELECT nId, nType,nBuyDay FROM tblUserGoods WHERE (tDueTime > '%s') AND (nUserId = %d) "
      "AND (nType >= 3000) AND (nType < 4000)",
      {SqlValue::DateTime(now_text), SqlValue::Integer(user_id)});
  db::RecordsetHandle rows;
  std::u16string error_text;
  if (transaction.Query(live, rows, &error_text) != 0) return attempt.Fail(error_text);

  if (db::AdoRstIsEOF(rows) != 0) {
    const Sql insert(
        "INSERT INTO tblUserGoods (nType, nUserId,nGoodsId,tAddTime,tDueTime,nBuyDay,nLevel,"
        "nUsing,sHeadColor) VALUES ('%d', '%d', '%d', '%s','%s','%d','%d','%d','%s')",
        {SqlValue::Integer(goods_type), SqlValue::Integer(user_id), SqlValue::Integer(goods_id),
         SqlValue::DateTime(now_text), SqlValue::DateTime(kQuotaDueTime),
         SqlValue::Integer(count), SqlValue::Integer(kQuotaLevel),
         SqlValue::Integer(kQuotaUsing), SqlValue::Text(kQuotaHeadColor)});
    if (transaction.Execute(insert, &error_text) != 0) return attempt.Fail(error_text);
    return 0;
  }

  // The count replaces nBuyDay of whichever live quota row came first.
  db::Variant id_field;
  if (db::AdoRstGetField(rows, "nId", &id_field) != 0) {
    return attempt.FailUnlogged();
  }
  // Row ids are 64-bit: cut to 32 bits, the id could name another
  // player's row.
  const std::optional<int64_t> row_id = id_field.RowId();
  if (!row_id) return attempt.FailUnlogged();
  const Sql update("UPDATE tblUserGoods SET nBuyDay = %d WHERE (nId = %d)",
                   {SqlValue::Integer(count), SqlValue::Integer(*row_id)});
  int64_t changed = 0;
  if (transaction.Execute(update, &error_text, &changed) != 0) return attempt.Fail(error_text);
  if (changed != 1) return attempt.Fail(update.Text());
  return 0;
}

int WriteSpeakCounters(db::Transaction& transaction, int goods_type, int user_id, int count,
                       GrantAttempt& attempt) {
  const Sql face_query("select sFacePic from tblUser where nId = %d",
                       {SqlValue::Integer(user_id)});
  db::RecordsetHandle rows;
  std::u16string error_text;
  if (transaction.Query(face_query, rows, &error_text) != 0) return attempt.Fail(error_text);
  // No such user reads as an unreadable field.
  db::Variant face_field;
  if (db::AdoRstGetField(rows, "sFacePic", &face_field) != 0) {
    return attempt.FailUnlogged();
  }
  // A NULL face text (possible in a column whose NULL stays null) holds no
  // entry yet: it is rewritten like an empty one.
  std::u16string face;
  face_field.ToText(&face);

  std::u16string rewritten;
  try {
    rewritten = RewriteSpeakEntry(face, goods_type, count);
  } catch (...) {
    return attempt.FailUnlogged();
  }

  const Sql update("Update tblUser set sFacePic = '%s' where nid = %d",
                   {SqlValue::Text(std::move(rewritten)), SqlValue::Integer(user_id)});
  int64_t changed = 0;
  if (transaction.Execute(update, &error_text, &changed) != 0) return attempt.Fail(error_text);
  if (changed != 1) return attempt.Fail(update.Text());
  return 0;
}

}  // namespace

int AddBuyDayGoods(int goods_id, int goods_type, int user_id, int count,
                   const OrderEntry* order) {
  return RunGrant(
      user_id,
      [&](db::Transaction& transaction, GrantAttempt& attempt) {
        // Read on every attempt: "live" means live when the grant commits.
        const std::string now_text = NowText();
        if (WriteQuotaRow(transaction, goods_id, goods_type, user_id, count, now_text,
                          attempt) != 0) {
          return -1;
        }
        return WriteSpeakCounters(transaction, goods_type, user_id, count, attempt);
      },
      order);
}

}  // namespace zelvar::goods
