// Fuzz target for GetQueryExtraDataFriendRecord (account lookup 1660 and
// goods sending 1560) on the seeded SQLite world.
//
// Input layout (see fuzz_input.h):
//   byte     flags (kFixHeader, kShortLength, kNullImage, kReplyHeld,
//            kNoLength)
//   choice   the acting user
//   choice   DataId (kRecordCodes)
//   ...      the request packet's image
//
// The reply is checked against the request and the database read on the
// fuzzer's own connection: the account's fields as stored; for goods, the
// number of entries granted and the two sums exactly those of the entries
// that can be granted, and no row touched when none was. Every call logs
// at least one line, in UTF-8; no statement fails on the intact database.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include <sqlite3.h>

#include "codec/keys.h"
#include "codec/requests.h"
#include "fuzz_input.h"
#include "fuzz_world.h"
#include "zelvar/zelvar.h"

namespace {

using zelvar::fuzz::ByteReader;
using zelvar::fuzz::Check;
using zelvar::fuzz::Utf8Of;
using zelvar::fuzz::World;
namespace codec = zelvar::codec;

// True when entry `entry` is complete and grantable, with it in `goods`.
bool Valid(CKParam& request, int entry, codec::GoodsEntry* goods) {
  if (!codec::ReadGoodsEntry(request, entry, goods) || goods->amount1 < 0 || goods->amount2 < 0) {
    return false;
  }
  const CString& amount = goods->amount;
  if (codec::IsQuotaType(goods->type)) {
    return amount == codec::kOneCount || amount == codec::kTwoCount || amount == codec::kSixCount;
  }
  return amount == codec::kSevenDays || amount == codec::kThirtyDays || amount == codec::kForever;
}

// The receiver's id as the module's own lookup finds it; false when no
// player has that user name.
bool FindAccount(World& world, const CString& name, int* id) {
  const std::string narrow = Utf8Of(name);
  const std::string sql = "SELECT COUNT(*) FROM tblUser WHERE sUsername = ?";
  if (world.QueryInt(sql.c_str(), &narrow) == 0) return false;
  *id = static_cast<int>(world.QueryInt("SELECT nId FROM tblUser WHERE sUsername = ?", &narrow));
  return true;
}

struct Outcome {
  bool success = false;
  int granted = 0, first_sum = 0, second_sum = 0;
};

Outcome ExpectGoods(World& world, CKParam& request) {
  Outcome outcome;
  int send_num = 0;
  CString account;
  int receiver = 0;
  if (request.GetInt(codec::kSendCountKey, send_num) != 0 || send_num <= 0 ||
      request.GetCString(codec::kSendAccountKey, account) != 0 ||
      !FindAccount(world, account, &receiver)) {
    return outcome;
  }
  outcome.success = true;
  const int entries = send_num < codec::kMaxGoodsEntries ? send_num : codec::kMaxGoodsEntries;
  for (int entry = 0; entry < entries; ++entry) {
    codec::GoodsEntry goods;
    if (!Valid(request, entry, &goods)) continue;
    ++outcome.granted;
    outcome.first_sum = static_cast<int>(static_cast<uint32_t>(outcome.first_sum) + goods.amount1);
    outcome.second_sum = static_cast<int>(static_cast<uint32_t>(outcome.second_sum) + goods.amount2);
  }
  return outcome;
}

void CheckLookup(World& world, CKParam& request, CKParam& reply, int result_key) {
  CString name;
  if (request.GetCString(codec::kLookupNameKey, name) != 0 || name.empty()) {
    Check(result_key == -1);
    return;
  }
  const std::string narrow = Utf8Of(name);
  if (world.QueryInt("SELECT COUNT(*) FROM tblUser WHERE (sUsername = ?)", &narrow) == 0) {
    Check(result_key == -1);
    int id = 0;
    Check(reply.GetInt(codec::kAccountIdKey, id) != 0);
    return;
  }
  // The first of the players with that name, as the module's own query
  // finds it; NULL numbers read as 0.
  sqlite3_stmt* row = nullptr;
  Check(sqlite3_prepare_v2(world.db(),
                           "SELECT nId, sNick, nSex, nLevel FROM tblUser WHERE (sUsername = ?)", -1,
                           &row, nullptr) == SQLITE_OK);
  sqlite3_bind_text(row, 1, narrow.data(), static_cast<int>(narrow.size()), SQLITE_TRANSIENT);
  Check(sqlite3_step(row) == SQLITE_ROW);
  int id = 0, sex = 0, level = 0;
  CString nick;
  Check(reply.GetInt(codec::kAccountIdKey, id) == 0 && id == sqlite3_column_int(row, 0));
  Check(reply.GetCString(codec::kAccountNickKey, nick) == 0);
  const unsigned char* stored = sqlite3_column_text(row, 1);
  Check(Utf8Of(nick) == (stored == nullptr ? "" : reinterpret_cast<const char*>(stored)));
  Check(reply.GetInt(codec::kAccountSexKey, sex) == 0 && sex == sqlite3_column_int(row, 2));
  Check(reply.GetInt(codec::kAccountLevelKey, level) == 0 && level == sqlite3_column_int(row, 3));
  sqlite3_finalize(row);
  // A held *reply turns the success into the error reply, whose key 0
  // still reads the first result written.
  Check(result_key == 0);
}

// The reply's outcome against the request and the database.
void CheckAnswer(World& world, CKParam& request, CKParam& answer, int data_id,
                 const Outcome& goods, uint64_t version_before) {
  int echoed = 0, result_key = 1;
  Check(answer.GetInt(codec::kRecordDataIdKey, echoed) == 0 && echoed == data_id);
  Check(answer.GetInt(codec::kRecordResultKey, result_key) == 0 &&
        (result_key == 0 || result_key == -1));
  zelvar::fuzz::Trace("record: DataId %d: key 0 %d, expected %d granted", data_id, result_key,
                      goods.granted);

  if (data_id == codec::kAccountLookup) {
    CheckLookup(world, request, answer, result_key);
    Check(world.DataVersion() == version_before);
  } else if (data_id == codec::kGoodsSending) {
    Check(result_key == (goods.success ? 0 : -1));
    if (goods.success) {
      int granted = -1, first_sum = -1, second_sum = -1;
      Check(answer.GetInt(codec::kGrantedKey, granted) == 0 && granted == goods.granted);
      Check(answer.GetInt(codec::kFirstSumKey, first_sum) == 0 && first_sum == goods.first_sum);
      Check(answer.GetInt(codec::kSecondSumKey, second_sum) == 0 && second_sum == goods.second_sum);
    }
    if (goods.granted == 0) Check(world.DataVersion() == version_before);
  } else {
    Check(result_key == -1);
    Check(world.DataVersion() == version_before);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& world = World::Get();
  world.Reset();

  ByteReader input(data, size);
  const uint8_t flags = input.Byte();
  const int user = input.User();
  const int data_id = input.Code(zelvar::fuzz::kRecordCodes);
  const zelvar::fuzz::RequestImage image(input, flags);
  char* param = image.param;
  const int length = image.length;
  const bool held = flags & zelvar::fuzz::kReplyHeld;

  CKParam request;
  if (param != nullptr && length > 0) request.SetBufferPtr(param, length);
  const Outcome goods = data_id == codec::kGoodsSending ? ExpectGoods(world, request) : Outcome();
  const uint64_t version_before = world.DataVersion();
  const uint64_t error_log_before = world.ErrorLogSize();

  char host_buffer = 0;
  char* reply = held ? &host_buffer : nullptr;
  int reply_length = -12345;
  int result;
  {
    World::InFolder here(world);
    result = GetQueryExtraDataFriendRecord(user, data_id, param, length, &reply, &reply_length);
  }
  Check(image.Unchanged());
  Check(world.ErrorLogSize() == error_log_before);
  const auto& lines = world.logged_lines();
  Check(!lines.empty());
  for (const std::string& line : lines) Check(zelvar::fuzz::IsUtf8(line));

  if (length < 1) {
    Check(result == -1 && lines.size() == 1);
    Check(reply == (held ? &host_buffer : nullptr) && reply_length == -12345);
    Check(world.DataVersion() == version_before);
    return 0;
  }
  Check(result == 0 && reply != nullptr && reply != &host_buffer && reply_length >= 12);
  int32_t declared = 0;
  std::memcpy(&declared, reply, 4);
  Check(declared == reply_length);
  CKParam answer;
  Check(answer.SetBufferPtr(reply, reply_length) == 0);
  MyDeletePtr(reply);

  zelvar::fuzz::Trace("record: user %d, DataId %d, length %d", user, data_id, length);
  CheckAnswer(world, request, answer, data_id, goods, version_before);
  return 0;
}
