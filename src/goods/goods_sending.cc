// Request 1560 of GetQueryExtraDataFriendRecord: bought goods granted to
// the account with a given user name, entry by entry. Time-limited goods
// get a due time (AddUserGoods), quota goods a count (AddBuyDayGoods); the
// reply counts the entries granted and sums their two amounts.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/keys.h"
#include "codec/requests.h"
#include "db/recordset.h"
#include "db/runner.h"
#include "db/sql.h"
#include "db/variant.h"
#include "goods/grants.h"
#include "goods/record_request.h"

namespace zelvar::goods {
namespace {

constexpr int kSevenDaysSeconds = 604800;
constexpr int kThirtyDaysSeconds = 2592000;

// The count of quota goods that `amount` names, or 0 for another text.
int QuotaCount(const CString& amount) {
  if (amount == codec::kOneCount) return 1;
  if (amount == codec::kTwoCount) return 2;
  if (amount == codec::kSixCount) return 6;
  return 0;
}

// The seconds that `amount` names for time-limited goods; false for
// another text.
bool DurationSeconds(const CString& amount, int* seconds) {
  if (amount == codec::kSevenDays) {
    *seconds = kSevenDaysSeconds;
  } else if (amount == codec::kThirtyDays) {
    *seconds = kThirtyDaysSeconds;
  } else if (amount == codec::kForever) {
    *seconds = kPermanentSeconds;
  } else {
    return false;
  }
  return true;
}

std::u16string_view QuotaFailureLine(int count) {
  switch (count) {
    case 1:
      return u" Enter 道具购买 一个失败 ：nType:%d ,nUserId:%d";
    case 2:
      return u" Enter 道具购买 两个失败 ：nType:%d ,nUserId:%d";
    default:
      return u" Enter 道具购买 6个失败 ：nType:%d ,nUserId:%d";
  }
}

// Sums as the host reads them: 32 bits, wrapping instead of overflowing.
int WrappingAdd(int a, int b) {
  return static_cast<int>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// Grants entry `entry` of the request to `receiver_id`. True when granted,
// with the entry in `goods`.
bool GrantEntry(CKParam& request, int entry, int receiver_id, int user_id,
                codec::GoodsEntry* goods) {
  if (!codec::ReadGoodsEntry(request, entry, goods)) return false;
  if (goods->amount1 < 0 || goods->amount2 < 0) return false;

  if (codec::IsQuotaType(goods->type)) {
    const int count = QuotaCount(goods->amount);
    if (count == 0) {
      LogLine(u" Enter 道具购买  * 个数不对 ：nType:%d ,nUserId:%d", {goods->type, user_id});
      return false;
    }
    if (AddBuyDayGoods(goods->goods_id, goods->type, receiver_id, count) != 0) {
      LogLine(QuotaFailureLine(count), {goods->type, user_id});
      return false;
    }
    return true;
  }

  int seconds = 0;
  if (!DurationSeconds(goods->amount, &seconds)) return false;
  return AddUserGoods(goods->goods_id, receiver_id, goods->type, seconds) == 0;
}

// The id of the account named `account`, or false with the failure logged.
bool FindReceiver(const CString& account, int user_id, int* receiver_id) {
  const db::Sql query("SELECT nId FROM tblUser WHERE sUsername = '%s'",
                      {db::SqlValue::Text(account)});
  db::RecordsetHandle rows;
  db::QuerySql(query, rows, nullptr);
  if (db::AdoRstIsEOF(rows) != 0) {
    LogLine(u" 有问题 SQL ：%s,nUserId:%d", {query.Text(), user_id});
    return false;
  }
  db::Variant id_field;
  if (db::AdoRstGetField(rows, "nID", &id_field) != 0) {
    LogLine(u" 有问题 AdoRstGetField(pRecord SQL：%s,nUserId:%d", {query.Text(), user_id});
    return false;
  }
  *receiver_id = id_field.Int32();
  return true;
}

}  // namespace

void SendGoods(CKParam& request, int user_id, RecordReply& reply) {
  int send_num = 0;
  if (request.GetInt(codec::kSendCountKey, send_num) != 0) {
    LogLine(u" 有问题 kpm.GetInt(100, sendNum：%d, nUserId：%d", {send_num, user_id});
    reply.Fail();
    return;
  }
  if (send_num <= 0) {
    LogLine(u" 有问题 sendNum <= 0 sendNum：%d  nUserId:%d", {send_num, user_id});
    reply.Fail();
    return;
  }
  CString account;
  if (request.GetCString(codec::kSendAccountKey, account) != 0) {
    LogLine(u" 有问题 GetCString(110, csAccound：%s,nUserId:%d", {account, user_id});
    reply.Fail();
    return;
  }
  int receiver_id = 0;
  if (!FindReceiver(account, user_id, &receiver_id)) {
    reply.Fail();
    return;
  }

  // Entries are granted one by one; one that fails undoes none before it.
  int granted = 0;
  int first_sum = 0;
  int second_sum = 0;
  const int entries = std::min(send_num, codec::kMaxGoodsEntries);
  for (int entry = 0; entry < entries; ++entry) {
    codec::GoodsEntry goods;
    if (!GrantEntry(request, entry, receiver_id, user_id, &goods)) continue;
    ++granted;
    first_sum = WrappingAdd(first_sum, goods.amount1);
    second_sum = WrappingAdd(second_sum, goods.amount2);
  }

  codec::ReplyPacket& packet = reply.packet();
  packet.SetInt(codec::kGrantedKey, granted);
  packet.SetInt(codec::kFirstSumKey, first_sum);
  packet.SetInt(codec::kSecondSumKey, second_sum);
  if (reply.Succeed()) {
    LogLine(u"成功添加了 sendNum：%d,nUserId:%d", {send_num, user_id});
  }
}

}  // namespace zelvar::goods
