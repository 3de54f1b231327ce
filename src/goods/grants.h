// The two kinds of goods grant: time-limited goods (a due time in
// tblUserGoods) and quota goods (a quota row in tblUserGoods and the speak
// counters in tblUser.sFacePic).
//
// Each grant runs all of its statements in one database transaction, run
// again from the start on a serialization failure, so a grant is written
// whole or not at all, and grants to one player from several threads or
// processes at once never lose a count. Thread-safe.
#ifndef ZELVAR_GOODS_GRANTS_H_
#define ZELVAR_GOODS_GRANTS_H_

#include <cstdint>

namespace zelvar::goods {

struct OrderEntry;

// The due time of permanent goods, and of every extension past the cap.
inline constexpr char kPermanentDueTime[] = "2050-01-01 00:00:00";
// Extended due times later than this (2033-05-18 03:33:20 UTC) are written
// as kPermanentDueTime.
inline constexpr int64_t kDueTimeCap = 2000000000;
// The duration that means permanent.
inline constexpr int kPermanentSeconds = -1;

// The row a time-limited grant adds: type, user, goods, add time, due
// time. (The zelvar tool replays it to hear why a grant was refused.)
inline constexpr char kInsertUserGoods[] =
    "INSERT INTO tblUserGoods (nType, nUserId, nGoodsId, tAddTime, tDueTime) "
    "VALUES (%d, %d, %d, '%s', '%s')";

// The fixed values of a new quota row.
inline constexpr char kQuotaDueTime[] = "2050-10-12 19:02:00";
inline constexpr int kQuotaLevel = 1;
inline constexpr int kQuotaUsing = 0;
inline constexpr char16_t kQuotaHeadColor[] = u"L:0;S:0;R:0;G:0;B:0";

// Grants goods `goods_id` to `user_id` for `seconds` (kPermanentSeconds for
// good). The newest row of the goods (greatest nId) is extended while it is
// owned (its due time not before now); otherwise, and for every permanent
// grant, a row of type `goods_type` is added. 0 when granted, -1 when not
// (the failure written to the error log where a statement failed). Under
// an `order` the entry is granted and recorded together, or, when the
// order has it already or is another account's, not at all
// (kEntryRecorded, kOrderForeign of goods_order.h).
int AddUserGoods(int goods_id, int user_id, int goods_type, int seconds,
                 const OrderEntry* order = nullptr);

// Grants `count` quota goods of `goods_type` to `user_id`: the count goes
// into nBuyDay of the user's live quota row (a new row when there is none)
// and into the speak counter of `goods_type` in the user's face text. 0
// when both were written; -1 when not, and then neither was. `order` as
// for AddUserGoods.
int AddBuyDayGoods(int goods_id, int goods_type, int user_id, int count,
                   const OrderEntry* order = nullptr);

}  // namespace zelvar::goods

#endif  // ZELVAR_GOODS_GRANTS_H_
