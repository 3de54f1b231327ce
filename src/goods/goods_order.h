// Goods orders: the host's order id on a goods sending makes each of its
// entries granted once, however often the order is sent. Every entry
// granted under an order is recorded in tblGoodsOrder in the transaction
// that grants it, so a grant and its record are stored together or not at
// all; the record is checked in that same transaction first, so an entry
// already recorded (by an earlier sending, or by one running at the same
// time on another thread or process) is not granted again.
#ifndef ZELVAR_GOODS_GOODS_ORDER_H_
#define ZELVAR_GOODS_GOODS_ORDER_H_

#include <string>
#include <vector>

#include "codec/requests.h"
#include "db/transaction.h"
#include "goods/grant_attempt.h"

namespace zelvar::goods {

// Reads every entry recorded under an order; reads, of an order, one entry
// and those of other accounts; adds one.
inline constexpr char kSelectGoodsOrder[] =
    "SELECT nEntry, nUserId, nAmount1, nAmount2 FROM tblGoodsOrder WHERE sOrderId = '%s'";
inline constexpr char kClaimGoodsOrder[] =
    "SELECT nEntry, nUserId, nAmount1, nAmount2 FROM tblGoodsOrder WHERE sOrderId = '%s' AND "
    "(nEntry = %d OR nUserId <> %d)";
inline constexpr char kInsertGoodsOrder[] =
    "INSERT INTO tblGoodsOrder (sOrderId, nEntry, nUserId, nGoodsId, nType, sAmount, nAmount1, "
    "nAmount2, tAddTime) VALUES ('%s', %d, %d, %d, %d, '%s', %d, %d, '%s')";

// One entry of a sending under an order, as it is recorded.
struct OrderEntry {
  std::u16string order_id;
  int account_id = 0;  // the account the goods go to
  int entry = 0;       // its number in the request, from 0
  codec::GoodsEntry goods;
};

// An entry recorded under an order.
struct RecordedEntry {
  int entry = 0;
  int account_id = 0;
  int amount1 = 0;
  int amount2 = 0;
};

// Outcomes of a grant under an order, beside 0 (granted and recorded) and
// -1 (neither).
inline constexpr int kEntryRecorded = 1;  // recorded before: nothing granted
inline constexpr int kOrderForeign = 2;   // the order is another account's

// Every entry recorded under `order_id`, in no particular order. False,
// with the database's reason, when the table can't be read.
bool ReadOrder(const std::u16string& order_id, std::vector<RecordedEntry>* entries,
               std::u16string* error_text);

// Runs in the grant's transaction before the grant: 0 when the entry may
// be granted, kEntryRecorded, kOrderForeign, or -1 when the table can't be
// read.
int ClaimOrderEntry(db::Transaction& transaction, const OrderEntry& order, GrantAttempt& attempt);

// Runs in the grant's transaction after the grant: records the entry.
int RecordOrderEntry(db::Transaction& transaction, const OrderEntry& order, GrantAttempt& attempt);

}  // namespace zelvar::goods

#endif  // ZELVAR_GOODS_GOODS_ORDER_H_
