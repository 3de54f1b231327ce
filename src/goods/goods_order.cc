#include "goods/goods_order.h"

#include <ctime>

#include "db/recordset.h"
#include "db/runner.h"
#include "db/sql.h"
#include "db/variant.h"
#include "util/time_text.h"

namespace zelvar::goods {
namespace {

using db::Sql;
using db::SqlValue;

// The recorded entries of `rows`; false when a field can't be read.
bool ReadEntries(const db::RecordsetHandle& rows, std::vector<RecordedEntry>* entries) {
  entries->clear();
  for (; db::AdoRstIsEOF(rows) == 0; db::AdoRstMoveNext(rows)) {
    db::Variant entry, account, amount1, amount2;
    if (db::AdoRstGetField(rows, "nEntry", &entry) != 0 ||
        db::AdoRstGetField(rows, "nUserId", &account) != 0 ||
        db::AdoRstGetField(rows, "nAmount1", &amount1) != 0 ||
        db::AdoRstGetField(rows, "nAmount2", &amount2) != 0) {
      return false;
    }
    entries->push_back({entry.Int32(), account.Int32(), amount1.Int32(), amount2.Int32()});
  }
  return true;
}

}  // namespace

bool ReadOrder(const std::u16string& order_id, std::vector<RecordedEntry>* entries,
               std::u16string* error_text) {
  const Sql query(kSelectGoodsOrder, {SqlValue::Text(order_id)});
  db::RecordsetHandle rows;
  if (db::QuerySql(query, rows, error_text) != 0) return false;
  if (!ReadEntries(rows, entries)) {
    *error_text = u"the fields of tblGoodsOrder can't be read";
    return false;
  }
  return true;
}

int ClaimOrderEntry(db::Transaction& transaction, const OrderEntry& order, GrantAttempt& attempt) {
  const Sql query(kClaimGoodsOrder,
                  {SqlValue::Text(order.order_id), SqlValue::Integer(order.entry),
                   SqlValue::Integer(order.account_id)});
  db::RecordsetHandle rows;
  std::u16string error_text;
  if (transaction.Query(query, rows, &error_text) != 0) return attempt.Fail(error_text);
  std::vector<RecordedEntry> entries;
  if (!ReadEntries(rows, &entries)) return attempt.Fail(query.Text());
  for (const RecordedEntry& recorded : entries) {
    if (recorded.account_id != order.account_id) return kOrderForeign;
  }
  for (const RecordedEntry& recorded : entries) {
    if (recorded.entry == order.entry) return kEntryRecorded;
  }
  return 0;
}

int RecordOrderEntry(db::Transaction& transaction, const OrderEntry& order, GrantAttempt& attempt) {
  const codec::GoodsEntry& goods = order.goods;
  const Sql insert(kInsertGoodsOrder,
                   {SqlValue::Text(order.order_id), SqlValue::Integer(order.entry),
                    SqlValue::Integer(order.account_id), SqlValue::Integer(goods.goods_id),
                    SqlValue::Integer(goods.type), SqlValue::Text(goods.amount),
                    SqlValue::Integer(goods.amount1), SqlValue::Integer(goods.amount2),
                    SqlValue::DateTime(NowText())});
  std::u16string error_text;
  if (transaction.Execute(insert, &error_text) != 0) return attempt.Fail(error_text);
  return 0;
}

}  // namespace zelvar::goods
