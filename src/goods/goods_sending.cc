// Request 1560 of GetQueryExtraDataFriendRecord: bought goods granted to
// the account with a given user name, entry by entry. Time-limited goods
// get a due time (AddUserGoods), quota goods a count (AddBuyDayGoods); the
// reply counts the entries granted and sums their two amounts.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/keys.h"
#include "codec/requests.h"
#include "db/recordset.h"
#include "db/runner.h"
#include "db/sql.h"
#include "db/variant.h"
#include "goods/goods_order.h"
#include "goods/grants.h"
#include "goods/record_request.h"
#include "util/error_log.h"
#include "util/text_format.h"

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

// Grants entry `entry` of the request to `receiver_id`, under `order_id`
// when it is not empty. 0 when granted, with the entry in `goods`; -1 when
// not; kEntryRecorded or kOrderForeign from a grant under an order.
int GrantEntry(CKParam& request, int entry, int receiver_id, int user_id,
               const std::u16string& order_id, codec::GoodsEntry* goods) {
  if (!codec::ReadGoodsEntry(request, entry, goods)) return -1;
  if (goods->amount1 < 0 || goods->amount2 < 0) return -1;
  std::optional<OrderEntry> order;
  if (!order_id.empty()) order = OrderEntry{order_id, receiver_id, entry, *goods};
  const OrderEntry* under = order ? &*order : nullptr;

  if (codec::IsQuotaType(goods->type)) {
    const int count = QuotaCount(goods->amount);
    if (count == 0) {
      LogLine(u" Enter 道具购买  * 个数不对 ：nType:%d ,nUserId:%d", {goods->type, user_id});
      return -1;
    }
    const int result = AddBuyDayGoods(goods->goods_id, goods->type, receiver_id, count, under);
    if (result < 0) LogLine(QuotaFailureLine(count), {goods->type, user_id});
    return result;
  }

  int seconds = 0;
  if (!DurationSeconds(goods->amount, &seconds)) return -1;
  return AddUserGoods(goods->goods_id, receiver_id, goods->type, seconds, under);
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

// True when `key` holds a record of any type the host writes.
bool HasRecord(CKParam& request, short key) {
  CString text;
  int integer = 0;
  short short_integer = 0;
  long long_integer = 0;
  bool boolean = false;
  char* bytes = nullptr;
  unsigned short length = 0;
  return request.GetCString(key, text) == 0 || request.GetInt(key, integer) == 0 ||
         request.GetShortInt(key, short_integer) == 0 || request.GetLong(key, long_integer) == 0 ||
         request.GetBoolean(key, boolean) == 0 || request.GetCharNF(key, bytes, length) == 0;
}

// The host's order id at key 111 into `order_id`, left empty when there is
// none. False, logged, when the key holds anything but a text of at most
// kMaxOrderIdLength code units: the host asked for a guarantee that a
// sending without the id would not give.
bool ReadOrderId(CKParam& request, int user_id, std::u16string* order_id) {
  CString text;
  if (request.GetCString(codec::kOrderIdKey, text) != 0) {
    if (!HasRecord(request, codec::kOrderIdKey)) return true;
  } else if (text.size() <= static_cast<size_t>(codec::kMaxOrderIdLength)) {
    *order_id = std::move(text);
    return true;
  }
  LogLine(u" Order refused: key 111 is not a text of 1 to 64 characters, nUserId:%d", {user_id});
  return false;
}

// Reads what is recorded under the order; false, logged, when it can't be.
bool ReadOrderLogged(const std::u16string& order_id, int user_id,
                     std::vector<RecordedEntry>* recorded) {
  std::u16string error_text;
  if (ReadOrder(order_id, recorded, &error_text)) return true;
  const std::u16string line = FormatText(
      u"tblGoodsOrder can't be read (%s): sendings with an order id fail until it can "
      u"(a database without the table gets it with zelvar migrate)",
      {error_text});
  WriteErrorLog(line);
  LogLine(u" Order %s refused: %s, nUserId:%d", {order_id, line, user_id});
  return false;
}

// The account other than `receiver_id` that the order was recorded for.
std::optional<int> ForeignAccount(const std::vector<RecordedEntry>& recorded, int receiver_id) {
  for (const RecordedEntry& entry : recorded) {
    if (entry.account_id != receiver_id) return entry.account_id;
  }
  return std::nullopt;
}

// A sending under an order: only the entries not recorded under it are
// granted, and the reply counts and sums every entry recorded under it,
// whoever granted it, with key 400 telling whether any was granted before.
void SendOrder(CKParam& request, int send_num, int entries, int receiver_id, int user_id,
               const std::u16string& order_id, RecordReply& reply) {
  std::vector<RecordedEntry> recorded;
  if (!ReadOrderLogged(order_id, user_id, &recorded)) return reply.Fail();
  std::set<int> granted_before;
  for (const RecordedEntry& entry : recorded) granted_before.insert(entry.entry);

  int granted_now = 0;
  // Another sending may record the order for its account meanwhile.
  bool foreign = ForeignAccount(recorded, receiver_id).has_value();
  for (int entry = 0; entry < entries && !foreign; ++entry) {
    if (granted_before.count(entry) != 0) continue;
    codec::GoodsEntry goods;
    const int result = GrantEntry(request, entry, receiver_id, user_id, order_id, &goods);
    if (result == 0) ++granted_now;
    foreign = result == kOrderForeign;
  }
  if (!ReadOrderLogged(order_id, user_id, &recorded)) return reply.Fail();
  if (const std::optional<int> other = ForeignAccount(recorded, receiver_id)) {
    LogLine(u" Order %s refused: it is the order of account %d, not of %d, nUserId:%d",
            {order_id, *other, receiver_id, user_id});
    return reply.Fail();
  }

  int first_sum = 0;
  int second_sum = 0;
  for (const RecordedEntry& entry : recorded) {
    first_sum = WrappingAdd(first_sum, entry.amount1);
    second_sum = WrappingAdd(second_sum, entry.amount2);
  }
  const int count = static_cast<int>(recorded.size());
  codec::ReplyPacket& packet = reply.packet();
  packet.SetInt(codec::kGrantedKey, count);
  packet.SetInt(codec::kFirstSumKey, first_sum);
  packet.SetInt(codec::kSecondSumKey, second_sum);
  packet.SetInt(codec::kOrderRepeatedKey, count > granted_now ? 1 : 0);
  if (reply.Succeed()) {
    LogLine(u"成功添加了 sendNum：%d,nUserId:%d", {send_num, user_id});
    LogLine(u" Order %s: %d entries recorded, %d of them granted now, nUserId:%d",
            {order_id, count, granted_now, user_id});
  }
}

}  // namespace

void SendGoods(CKParam& request, int user_id, RecordReply& reply) {
  std::u16string order_id;
  if (!ReadOrderId(request, user_id, &order_id)) return reply.Fail();
  // A sending refused before any grant; under an order, the host's log
  // names it.
  auto refuse = [&] {
    if (!order_id.empty()) {
      LogLine(u" Order %s refused, nothing granted, nUserId:%d", {order_id, user_id});
    }
    reply.Fail();
  };
  int send_num = 0;
  if (request.GetInt(codec::kSendCountKey, send_num) != 0) {
    LogLine(u" 有问题 kpm.GetInt(100, sendNum：%d, nUserId：%d", {send_num, user_id});
    return refuse();
  }
  if (send_num <= 0) {
    LogLine(u" 有问题 sendNum <= 0 sendNum：%d  nUserId:%d", {send_num, user_id});
    return refuse();
  }
  CString account;
  if (request.GetCString(codec::kSendAccountKey, account) != 0) {
    LogLine(u" 有问题 GetCString(110, csAccound：%s,nUserId:%d", {account, user_id});
    return refuse();
  }
  int receiver_id = 0;
  if (!FindReceiver(account, user_id, &receiver_id)) return refuse();

  const int entries = std::min(send_num, codec::kMaxGoodsEntries);
  if (!order_id.empty()) {
    return SendOrder(request, send_num, entries, receiver_id, user_id, order_id, reply);
  }

  // Entries are granted one by one; one that fails undoes none before it.
  int granted = 0;
  int first_sum = 0;
  int second_sum = 0;
  for (int entry = 0; entry < entries; ++entry) {
    codec::GoodsEntry goods;
    if (GrantEntry(request, entry, receiver_id, user_id, order_id, &goods) != 0) continue;
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
