// AddUserGoods: time-limited goods, one row per period of ownership in
// tblUserGoods.

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "db/recordset.h"
#include "db/runner.h"
#include "db/sql.h"
#include "db/transaction.h"
#include "db/variant.h"
#include "goods/grant_attempt.h"
#include "goods/grants.h"
#include "util/time_text.h"

namespace zelvar::goods {
namespace {

using db::Sql;
using db::SqlValue;

int AddRow(db::Transaction& transaction, int goods_id, int user_id, int goods_type,
           int seconds, GrantAttempt& attempt) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const std::string add_time = LocalTimeText(now);
  const std::string due_time =
      seconds == kPermanentSeconds ? std::string(kPermanentDueTime) : LocalTimeText(now + seconds);
  const Sql insert(
      kInsertUserGoods,
      {SqlValue::Integer(goods_type), SqlValue::Integer(user_id), SqlValue::Integer(goods_id),
       SqlValue::DateTime(add_time), SqlValue::DateTime(due_time)});
  // A failed INSERT is logged as the statement with its values.
  std::u16string error_text;
  if (transaction.Execute(insert, &error_text) != 0) return attempt.Fail(insert.Text());
  return 0;
}

int GrantInTransaction(db::Transaction& transaction, int goods_id, int user_id, int goods_type,
                       int seconds, GrantAttempt& attempt) {
  const Sql newest(
      "SELECT * FROM tblUserGoods WHERE (nUserId = %d) AND (nGoodsId = %d) order by nid desc",
      {SqlValue::Integer(user_id), SqlValue::Integer(goods_id)});
  db::RecordsetHandle rows;
  std::u16string error_text;
  if (transaction.Query(newest, rows, &error_text) != 0) return attempt.Fail(error_text);
  if (db::AdoRstIsEOF(rows) != 0) {
    return AddRow(transaction, goods_id, user_id, goods_type, seconds, attempt);
  }

  db::Variant due_field;
  db::Variant id_field;
  if (db::AdoRstGetField(rows, "tDueTime", &due_field) != 0 ||
      db::AdoRstGetField(rows, "nId", &id_field) != 0) {
    return attempt.FailUnlogged();
  }
  // Row ids are 64-bit (SQLite's rowid, bigint identities on servers).
  const std::optional<int64_t> row_id = id_field.RowId();
  if (!row_id) return attempt.FailUnlogged();
  rows.reset();

  if (seconds == kPermanentSeconds) {
    return AddRow(transaction, goods_id, user_id, goods_type, seconds, attempt);
  }

  // A due time without a text form (NULL) reads like one that can't be
  // parsed: time 0, so the row counts as expired.
  std::u16string due_text;
  const int64_t due = due_field.ToText(&due_text) ? ParseTimeText(due_text) : 0;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (due < now) {
    return AddRow(transaction, goods_id, user_id, goods_type, seconds, attempt);
  }

  // Adding seconds, not calendar days: the clock time moves with a change
  // of daylight saving time in between.
  const int64_t extended = due + static_cast<int64_t>(seconds);
  const std::string extended_text =
      extended > kDueTimeCap ? std::string(kPermanentDueTime) : LocalTimeText(extended);
  const Sql update(
      "UPDATE tblUserGoods set tDueTime = '%s' where (nUserId = %d and ngoodsid = %d and "
      "nId = %d)",
      {SqlValue::DateTime(extended_text), SqlValue::Integer(user_id), SqlValue::Integer(goods_id),
       SqlValue::Integer(*row_id)});
  int64_t changed = 0;
  if (transaction.Execute(update, &error_text, &changed) != 0) return attempt.Fail(error_text);
  // The row was read in this transaction: an extension that changed
  // nothing granted nothing.
  if (changed != 1) return attempt.Fail(update.Text());
  return 0;
}

}  // namespace

int AddUserGoods(int goods_id, int user_id, int goods_type, int seconds,
                 const OrderEntry* order) {
  return RunGrant(
      user_id,
      [&](db::Transaction& transaction, GrantAttempt& attempt) {
        return GrantInTransaction(transaction, goods_id, user_id, goods_type, seconds, attempt);
      },
      order);
}

}  // namespace zelvar::goods
