// GetQueryExtraDataFriendRecord: account lookup by user name (request code
// 1660) and the sending of bought goods to an account (1560). Every outcome
// goes to the host's logger as one line, and the reply packet carries it at
// key 0.
//
// Each call works on its own packets and record sets; any number of host
// threads may call at once.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "db/deadline.h"
#include "db/recordset.h"
#include "db/runner.h"
#include "db/sql.h"
#include "db/variant.h"
#include "goods/grants.h"
#include "util/host_log.h"
#include "util/text.h"
#include "util/text_format.h"
#include "zelvar/zelvar.h"

namespace zelvar::goods {
namespace {

using db::Sql;
using db::SqlValue;

constexpr int kAccountLookup = 1660;
constexpr int kGoodsSending = 1560;

// The first integer of every line handed to the host's logger.
constexpr int kLogLevel = 7000;

// Reply keys.
constexpr short kReplyDataIdKey = 21;
constexpr short kReplyResultKey = 0;
constexpr short kReplyIdKey = 50;
constexpr short kReplyNickKey = 100;
constexpr short kReplySexKey = 200;
constexpr short kReplyLevelKey = 300;
constexpr short kReplyGrantedKey = 100;
constexpr short kReplyFirstSumKey = 200;
constexpr short kReplySecondSumKey = 300;

// Request keys. Entry keys are computed in 32 bits and cut to 16, as the
// host computes them: from entry 3 on they wrap into negative keys.
constexpr short kLookupNameKey = 100;
constexpr short kSendCountKey = 100;
constexpr short kSendAccountKey = 110;
constexpr int kEntryGoodsIdKey = 10010;
constexpr int kEntryAmountKey = 10020;
constexpr int kEntryTypeKey = 10030;
constexpr int kEntryFirstAmountKey = 10040;
constexpr int kEntrySecondAmountKey = 10050;
constexpr int kEntryKeyStride = 10000;

// Entry 4096 has the 16-bit keys of entry 0 again (4096 * 10000 is a whole
// multiple of 65536), so reading further would grant the same goods twice.
constexpr int kMaxGoodsEntries = 4096;

constexpr int kQuotaTypeFirst = 3000;
constexpr int kQuotaTypeLast = 3999;

constexpr int kSevenDaysSeconds = 604800;
constexpr int kThirtyDaysSeconds = 2592000;

short EntryKey(int base, int entry) {
  return static_cast<short>(base + kEntryKeyStride * entry);
}

// The line is formatted here and handed over whole, so the logger's own
// format conventions never see the text. A line that can't be made is
// dropped: logging never changes a request's outcome.
void Log(std::u16string_view format, std::initializer_list<FormatArg> args) noexcept {
  CTool* logger = CurrentLogger();
  if (logger == nullptr) return;
  try {
    const std::wstring line = ToWchar(FormatText(format, args));
    logger->Write(kLogLevel, L"%ls", line.c_str());
  } catch (...) {
  }
}

// A copy of the reply's bytes in a new array for the host (MyDeletePtr).
char* CopyOut(CKParam& packet) {
  const int length = packet.GetLength();
  char* bytes = new char[length > 0 ? length : 1];
  if (length > 0) std::memcpy(bytes, packet.GetBufferPtr(), static_cast<size_t>(length));
  return bytes;
}

// The request's reply and where it goes.
class Reply {
 public:
  Reply(int data_id, int user_id, char** out, int* out_length)
      : data_id_(data_id), user_id_(user_id), out_(out), out_length_(out_length) {
    packet_.SetInt(kReplyDataIdKey, data_id);
  }

  CKParam& packet() { return packet_; }

  // Hands out the reply with result -1, whatever *out held.
  void Fail() {
    Log(u" 返回错误 DataId：%d,nUserId:%d", {data_id_, user_id_});
    packet_.SetInt(kReplyResultKey, -1);
    HandOut();
  }

  // Hands out the reply with result 0 when *out is null on entry, and
  // answers true. When *out holds a pointer already, no success copy is
  // made (none could reach the host) and the error reply follows on the
  // same packet, which then carries result 0 and after it -1.
  bool Succeed() {
    packet_.SetInt(kReplyResultKey, 0);
    if (out_ != nullptr && *out_ == nullptr) {
      HandOut();
      return true;
    }
    Fail();
    return false;
  }

 private:
  void HandOut() {
    if (out_ == nullptr || out_length_ == nullptr) return;
    char* bytes = CopyOut(packet_);
    *out_length_ = packet_.GetLength();
    *out_ = bytes;
  }

  CKParam packet_;
  int data_id_;
  int user_id_;
  char** out_;
  int* out_length_;
};

void LookUpAccount(CKParam& request, Reply& reply) {
  CString name;
  if (request.GetCString(kLookupNameKey, name) != 0) {
    Log(u"帐号有问题 Account ：%s", {name});
    reply.Fail();
    return;
  }
  if (name.empty()) {
    Log(u"Account NULL ：%s", {name});
    reply.Fail();
    return;
  }

  const Sql query("SELECT nId, sNick, nSex, nLevel FROM tblUser WHERE (sUsername = '%s')",
                  {SqlValue::Text(name)});
  // A query that did not run leaves an empty record set: it reads as a
  // row whose every field fails.
  db::RecordsetHandle rows;
  db::QuerySql(query, rows, nullptr);
  if (db::AdoRstIsEOF(rows) != 0) {
    Log(u"找不到 Run SQL ：%s ", {query.Text()});
    reply.Fail();
    return;
  }

  CKParam& packet = reply.packet();
  int fields_read = 0;
  int id = 0;
  CString nick;
  int sex = 0;
  int level = 0;
  db::Variant id_field;
  if (db::AdoRstGetField(rows, "nId", &id_field) == 0) {
    id = id_field.Int32();
    packet.SetInt(kReplyIdKey, id);
    ++fields_read;
  }
  db::Variant nick_field;
  if (db::AdoRstGetField(rows, "sNick", &nick_field) == 0 && nick_field.ToText(&nick)) {
    packet.SetCString(kReplyNickKey, nick);
    ++fields_read;
  }
  db::Variant sex_field;
  if (db::AdoRstGetField(rows, "nSex", &sex_field) == 0) {
    sex = sex_field.Int32();
    packet.SetInt(kReplySexKey, sex);
    ++fields_read;
  }
  db::Variant level_field;
  if (db::AdoRstGetField(rows, "nLevel", &level_field) == 0) {
    level = level_field.Int32();
    packet.SetInt(kReplyLevelKey, level);
    ++fields_read;
  }
  rows.reset();

  if (fields_read == 4) {
    Log(u"4 == result 正确发回来： id：%d  csNick：%s  sex：%d  level：%d", {id, nick, sex, level});
    reply.Succeed();
  } else {
    Log(u"4 != result 有问题： id：%d  csNick：%s  sex：%d  level：%d", {id, nick, sex, level});
    reply.Fail();
  }
}

// The count of quota goods that `amount` names, or 0 for another text.
int QuotaCount(const CString& amount) {
  if (amount == u"1个") return 1;
  if (amount == u"2个") return 2;
  if (amount == u"6个") return 6;
  return 0;
}

// The seconds that `amount` names for time-limited goods; false for
// another text.
bool DurationSeconds(const CString& amount, int* seconds) {
  if (amount == u"7天") {
    *seconds = kSevenDaysSeconds;
  } else if (amount == u"30天") {
    *seconds = kThirtyDaysSeconds;
  } else if (amount == u"永久") {
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
// with its two amounts in `first` and `second`.
bool GrantEntry(CKParam& request, int entry, int receiver_id, int user_id, int* first,
                int* second) {
  int goods_id = 0;
  CString amount;
  int goods_type = 0;
  if (request.GetInt(EntryKey(kEntryGoodsIdKey, entry), goods_id) != 0 ||
      request.GetCString(EntryKey(kEntryAmountKey, entry), amount) != 0 ||
      request.GetInt(EntryKey(kEntryTypeKey, entry), goods_type) != 0 ||
      request.GetInt(EntryKey(kEntryFirstAmountKey, entry), *first) != 0 ||
      request.GetInt(EntryKey(kEntrySecondAmountKey, entry), *second) != 0) {
    return false;
  }
  if (*first < 0 || *second < 0) return false;

  if (goods_type >= kQuotaTypeFirst && goods_type <= kQuotaTypeLast) {
    const int count = QuotaCount(amount);
    if (count == 0) {
      Log(u" Enter 道具购买  * 个数不对 ：nType:%d ,nUserId:%d", {goods_type, user_id});
      return false;
    }
    if (AddBuyDayGoods(goods_id, goods_type, receiver_id, count) != 0) {
      Log(QuotaFailureLine(count), {goods_type, user_id});
      return false;
    }
    return true;
  }

  int seconds = 0;
  if (!DurationSeconds(amount, &seconds)) return false;
  return AddUserGoods(goods_id, receiver_id, goods_type, seconds) == 0;
}

void SendGoods(CKParam& request, int user_id, Reply& reply) {
  int send_num = 0;
  if (request.GetInt(kSendCountKey, send_num) != 0) {
    Log(u" 有问题 kpm.GetInt(100, sendNum：%d, nUserId：%d", {send_num, user_id});
    reply.Fail();
    return;
  }
  if (send_num <= 0) {
    Log(u" 有问题 sendNum <= 0 sendNum：%d  nUserId:%d", {send_num, user_id});
    reply.Fail();
    return;
  }
  CString account;
  if (request.GetCString(kSendAccountKey, account) != 0) {
    Log(u" 有问题 GetCString(110, csAccound：%s,nUserId:%d", {account, user_id});
    reply.Fail();
    return;
  }

  const Sql query("SELECT nId FROM tblUser WHERE sUsername = '%s'", {SqlValue::Text(account)});
  db::RecordsetHandle rows;
  db::QuerySql(query, rows, nullptr);
  if (db::AdoRstIsEOF(rows) != 0) {
    Log(u" 有问题 SQL ：%s,nUserId:%d", {query.Text(), user_id});
    reply.Fail();
    return;
  }
  db::Variant id_field;
  if (db::AdoRstGetField(rows, "nID", &id_field) != 0) {
    Log(u" 有问题 AdoRstGetField(pRecord SQL：%s,nUserId:%d", {query.Text(), user_id});
    reply.Fail();
    return;
  }
  const int receiver_id = id_field.Int32();
  rows.reset();

  // Entries are granted one by one; one that fails undoes none before it.
  int granted = 0;
  int first_sum = 0;
  int second_sum = 0;
  const int entries = std::min(send_num, kMaxGoodsEntries);
  for (int entry = 0; entry < entries; ++entry) {
    int first = 0;
    int second = 0;
    if (!GrantEntry(request, entry, receiver_id, user_id, &first, &second)) continue;
    ++granted;
    first_sum = WrappingAdd(first_sum, first);
    second_sum = WrappingAdd(second_sum, second);
  }

  CKParam& packet = reply.packet();
  packet.SetInt(kReplyGrantedKey, granted);
  packet.SetInt(kReplyFirstSumKey, first_sum);
  packet.SetInt(kReplySecondSumKey, second_sum);
  if (reply.Succeed()) {
    Log(u"成功添加了 sendNum：%d,nUserId:%d", {send_num, user_id});
  }
}

int HandleRequest(int user_id, int data_id, char* param, int param_length, char** out,
                  int* out_length) {
  if (param_length < 1) {
    Log(u"Enter Error nParamLen：%d", {param_length});
    return -1;
  }
  // Bytes that don't form a packet leave it empty: every read below fails.
  CKParam request;
  request.SetBufferPtr(param, param_length);

  Reply reply(data_id, user_id, out, out_length);
  switch (data_id) {
    case kAccountLookup:
      LookUpAccount(request, reply);
      break;
    case kGoodsSending:
      SendGoods(request, user_id, reply);
      break;
    default:
      reply.Fail();
      break;
  }
  return 0;
}

}  // namespace
}  // namespace zelvar::goods

extern "C" int GetQueryExtraDataFriendRecord(int nUserId, int DataId, char* pParam,
                                             int nParamLen, char** reply, int* replyLength) {
  try {
    zelvar::db::RequestScope request;
    return zelvar::goods::HandleRequest(nUserId, DataId, pParam, nParamLen, reply,
                                        replyLength);
  } catch (...) {
    // Out of memory, or any other failure: no reply could be made.
    return -1;
  }
}
