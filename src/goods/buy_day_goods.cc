// AddBuyDayGoods: quota goods, kept as one live quota row per player in
// tblUserGoods and as the speak counters in the player's face text.

#include <string>

#include "db/error_log.h"
#include "db/recordset.h"
#include "db/runner.h"
#include "db/sql.h"
#include "db/time_text.h"
#include "db/transaction.h"
#include "db/variant.h"
#include "goods/grants.h"
#include "goods/speak_entry.h"

namespace zelvar::goods {
namespace {

using db::Sql;
using db::SqlValue;

// What one attempt of the grant ran into; the error log is written once
// the outcome is known, since the body may run more than once.
struct Attempt {
  enum class Failure {
    kNone,
    kStatement,   // a statement failed: its error text is logged
    kUnreadable,  // a field could not be read: nothing is logged
    kRewrite,     // the speak entry could not be rebuilt: nothing is logged
  };

  Failure failure = Failure::kNone;
  std::u16string error_text;
};

int Fail(Attempt* attempt, Attempt::Failure failure) {
  attempt->failure = failure;
  return -1;
}

int WriteQuotaRow(db::Transaction& transaction, int goods_id, int goods_type, int user_id,
                  int count, const std::string& now_text, Attempt* attempt) {
  const Sql live(
      "SELECT nId, nType,nBuyDay FROM tblUserGoods WHERE (tDueTime > '%s') AND (nUserId = %d) "
      "AND (nType >= 3000) AND (nType < 4000)",
      {SqlValue::DateTime(now_text), SqlValue::Integer(user_id)});
  db::RecordsetHandle rows;
  if (transaction.Query(live, rows, &attempt->error_text) != 0) {
    return Fail(attempt, Attempt::Failure::kStatement);
  }

  if (db::AdoRstIsEOF(rows) != 0) {
    const Sql insert(
        "INSERT INTO tblUserGoods (nType, nUserId,nGoodsId,tAddTime,tDueTime,nBuyDay,nLevel,"
        "nUsing,sHeadColor) VALUES ('%d', '%d', '%d', '%s','%s','%d','%d','%d','%s')",
        {SqlValue::Integer(goods_type), SqlValue::Integer(user_id), SqlValue::Integer(goods_id),
         SqlValue::DateTime(now_text), SqlValue::DateTime(kQuotaDueTime),
         SqlValue::Integer(count), SqlValue::Integer(kQuotaLevel),
         SqlValue::Integer(kQuotaUsing), SqlValue::Text(kQuotaHeadColor)});
    if (transaction.Execute(insert, &attempt->error_text) != 0) {
      return Fail(attempt, Attempt::Failure::kStatement);
    }
    return 0;
  }

  // The count replaces nBuyDay of whichever live quota row came first.
  db::Variant row_id;
  if (db::AdoRstGetField(rows, "nId", &row_id) != 0) {
    return Fail(attempt, Attempt::Failure::kUnreadable);
  }
  const Sql update("UPDATE tblUserGoods SET nBuyDay = %d WHERE (nId = %d)",
                   {SqlValue::Integer(count), SqlValue::Integer(row_id.Int32())});
  if (transaction.Execute(update, &attempt->error_text) != 0) {
    return Fail(attempt, Attempt::Failure::kStatement);
  }
  return 0;
}

int WriteSpeakCounters(db::Transaction& transaction, int goods_type, int user_id, int count,
                       Attempt* attempt) {
  const Sql face_query("select sFacePic from tblUser where nId = %d",
                       {SqlValue::Integer(user_id)});
  db::RecordsetHandle rows;
  if (transaction.Query(face_query, rows, &attempt->error_text) != 0) {
    return Fail(attempt, Attempt::Failure::kStatement);
  }
  // No such user reads as an unreadable field.
  db::Variant face_field;
  if (db::AdoRstGetField(rows, "sFacePic", &face_field) != 0) {
    return Fail(attempt, Attempt::Failure::kUnreadable);
  }
  // A NULL face text (possible in a column whose NULL stays null) holds no
  // entry yet: it is rewritten like an empty one.
  std::u16string face;
  face_field.ToText(&face);

  std::u16string rewritten;
  try {
    rewritten = RewriteSpeakEntry(face, goods_type, count);
  } catch (...) {
    return Fail(attempt, Attempt::Failure::kRewrite);
  }

  const Sql update("Update tblUser set sFacePic = '%s' where nid = %d",
                   {SqlValue::Text(std::move(rewritten)), SqlValue::Integer(user_id)});
  if (transaction.Execute(update, &attempt->error_text) != 0) {
    return Fail(attempt, Attempt::Failure::kStatement);
  }
  return 0;
}

}  // namespace

int AddBuyDayGoods(int goods_id, int goods_type, int user_id, int count) {
  try {
    Attempt attempt;
    std::u16string error_text;
    const int result = db::RunTransaction(
        [&](db::Transaction& transaction) {
          attempt = Attempt();
          // Read on every attempt: "live" means live when the grant commits.
          const std::string now_text = NowText();
          if (WriteQuotaRow(transaction, goods_id, goods_type, user_id, count, now_text,
                            &attempt) != 0) {
            return -1;
          }
          return WriteSpeakCounters(transaction, goods_type, user_id, count, &attempt);
        },
        &error_text);
    if (result == 0) return 0;

    switch (attempt.failure) {
      case Attempt::Failure::kStatement:
        WriteErrorLog(attempt.error_text);
        break;
      case Attempt::Failure::kUnreadable:
      case Attempt::Failure::kRewrite:
        break;
      case Attempt::Failure::kNone:
        // The connection did not open (the body never ran) or the commit
        // failed: the transaction's text says which.
        WriteErrorLog(error_text);
        break;
    }
    return -1;
  } catch (...) {
    return -1;
  }
}

}  // namespace zelvar::goods
