// AddUserGoods: time-limited goods, one row per period of ownership in
// tblUserGoods.

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>

#include "db/error_log.h"
#include "db/recordset.h"
#include "db/runner.h"
#include "db/sql.h"
#include "db/text.h"
#include "db/time_text.h"
#include "db/transaction.h"
#include "db/variant.h"
#include "goods/grants.h"

namespace zelvar::goods {
namespace {

using db::Sql;
using db::SqlValue;

// What one attempt of the grant ran into. The transaction body may run more
// than once, so it only records; the error log is written once the outcome
// is known.
struct Attempt {
  enum class Failure { kNone, kSelect, kRowUnreadable, kUpdate, kInsert };

  Failure failure = Failure::kNone;
  std::u16string error_text;   // the failing statement's
  std::u16string insert_text;  // the INSERT with its values, for the log
};

// The row id: the field's text read as a decimal integer (leading blanks
// and a sign allowed; 0 without digits).
int ReadRowId(const std::u16string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = std::min<int64_t>(value * 10 + (text[i] - u'0'), int64_t{1} << 31);
  }
  return static_cast<int>(std::clamp<int64_t>(negative ? -value : value, INT32_MIN, INT32_MAX));
}

int AddRow(db::Transaction& transaction, int goods_id, int user_id, int goods_type,
           int seconds, Attempt* attempt) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const std::string add_time = LocalTimeText(now);
  const std::string due_time =
      seconds == kPermanentSeconds ? std::string(kPermanentDueTime) : LocalTimeText(now + seconds);
  const Sql insert(
      "INSERT INTO tblUserGoods (nType, nUserId, nGoodsId, tAddTime, tDueTime) "
      "VALUES (%d, %d, %d, '%s', '%s')",
      {SqlValue::Integer(goods_type), SqlValue::Integer(user_id), SqlValue::Integer(goods_id),
       SqlValue::DateTime(add_time), SqlValue::DateTime(due_time)});
  if (transaction.Execute(insert, &attempt->error_text) != 0) {
    attempt->failure = Attempt::Failure::kInsert;
    attempt->insert_text = insert.Text();
    return -1;
  }
  return 0;
}

int GrantInTransaction(db::Transaction& transaction, int goods_id, int user_id, int goods_type,
                       int seconds, Attempt* attempt) {
  *attempt = Attempt();

  const Sql newest(
      "SELECT * FROM tblUserGoods WHERE (nUserId = %d) AND (nGoodsId = %d) order by nid desc",
      {SqlValue::Integer(user_id), SqlValue::Integer(goods_id)});
  db::RecordsetHandle rows;
  if (transaction.Query(newest, rows, &attempt->error_text) != 0) {
    attempt->failure = Attempt::Failure::kSelect;
    return -1;
  }
  if (db::AdoRstIsEOF(rows) != 0) {
    return AddRow(transaction, goods_id, user_id, goods_type, seconds, attempt);
  }

  db::Variant due_field;
  db::Variant id_field;
  std::u16string id_text;
  if (db::AdoRstGetField(rows, "tDueTime", &due_field) != 0 ||
      db::AdoRstGetField(rows, "nId", &id_field) != 0 || !id_field.ToText(&id_text)) {
    attempt->failure = Attempt::Failure::kRowUnreadable;
    return -1;
  }
  const int row_id = ReadRowId(id_text);
  rows.reset();

  if (seconds == kPermanentSeconds) {
    return AddRow(transaction, goods_id, user_id, goods_type, seconds, attempt);
  }

  // A due time without a text form (NULL) reads like one that can't be
  // parsed: time 0, so the row counts as expired.
  std::u16string due_text;
  const int64_t due = due_field.ToText(&due_text) ? ParseTimeText(ToNarrow(due_text).c_str()) : 0;
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
       SqlValue::Integer(row_id)});
  if (transaction.Execute(update, &attempt->error_text) != 0) {
    attempt->failure = Attempt::Failure::kUpdate;
    return -1;
  }
  return 0;
}

}  // namespace

int AddUserGoods(int goods_id, int user_id, int goods_type, int seconds) {
  try {
    Attempt attempt;
    std::u16string error_text;
    const int result = db::RunTransaction(
        [&](db::Transaction& transaction) {
          return GrantInTransaction(transaction, goods_id, user_id, goods_type, seconds,
                                    &attempt);
        },
        &error_text);
    if (result == 0) return 0;

    switch (attempt.failure) {
      case Attempt::Failure::kSelect:
      case Attempt::Failure::kUpdate:
        WriteErrorLog(attempt.error_text);
        break;
      case Attempt::Failure::kInsert:
        WriteErrorLog(attempt.insert_text);
        break;
      case Attempt::Failure::kRowUnreadable:
        break;
      case Attempt::Failure::kNone:
        // The connection did not open (the body never ran) or the commit
        // failed: the transaction's own text tells which.
        WriteErrorLog(error_text);
        break;
    }
    return -1;
  } catch (...) {
    return -1;
  }
}

}  // namespace zelvar::goods
