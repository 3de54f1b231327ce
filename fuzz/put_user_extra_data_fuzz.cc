// Fuzz target for PutUserExtraDataFriend on the seeded SQLite world.
//
// Input layout (see fuzz_input.h):
//   byte     flags (kFixHeader, kShortLength, kNullImage)
//   choice   the acting user
//   choice   DataId (kUpdateCodes)
//   ...      the request packet's image
//
// After each call the database is read back on a connection of the
// fuzzer's own and compared with what the request asked for: a message or
// trade stored exactly when the two users are friends and the keys are
// there, texts stored as sent, a friendship ended in both directions with
// its trades and nothing else, one invitation row per complete row. On the
// intact database no statement may fail, so the error log stays empty.
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

bool AreFriends(World& world, int a, int b) {
  const std::string sql = "SELECT COUNT(*) FROM tblFriend WHERE (nUserId = " + std::to_string(a) +
                          " AND nFriendId = " + std::to_string(b) + ") OR (nUserId = " +
                          std::to_string(b) + " AND nFriendId = " + std::to_string(a) + ")";
  return world.QueryInt(sql.c_str()) > 0;
}

int64_t MaxId(World& world, const char* table) {
  return world.QueryInt((std::string("SELECT COALESCE(MAX(nId), 0) FROM ") + table).c_str());
}

int64_t Rows(World& world, const std::string& table_and_filter) {
  return world.QueryInt(("SELECT COUNT(*) FROM " + table_and_filter).c_str());
}

std::string Number(int value) { return std::to_string(value); }

void CheckMessage(World& world, int user, CKParam& packet, int result, int64_t last_id) {
  int recipient = 0;
  CString content;
  const bool complete = packet.GetInt(codec::kMessageRecipientKey, recipient) == 0 &&
                        packet.GetCString(codec::kMessageContentKey, content) == 0;
  const bool expected = complete && AreFriends(world, user, recipient);
  Check((result == 0) == expected);
  const std::string added = "tblUserMsg WHERE nId > " + std::to_string(last_id);
  Check(Rows(world, added) == (expected ? 1 : 0));
  if (!expected) return;
  Check(Rows(world, added + " AND nUserId = " + Number(recipient) + " AND nFromUserId = " +
                        Number(user) + " AND nRead = 0 AND nAll = 0") == 1);
  const std::string stored =
      world.QueryText(("SELECT sContent FROM " + added).c_str());
  Check(stored == Utf8Of(content));
}

void CheckEndOfFriendship(World& world, int user, CKParam& packet, int result,
                          int64_t friends_before, int64_t trades_before,
                          int64_t between_before, int64_t trades_between_before) {
  int former = 0;
  const bool complete = packet.GetInt(codec::kFormerFriendKey, former) == 0;
  Check((result == 0) == complete);
  if (!complete) return;
  const std::string u = Number(user), f = Number(former);
  Check(Rows(world, "tblFriend WHERE (nUserId = " + u + " AND nFriendId = " + f +
                        ") OR (nUserId = " + f + " AND nFriendId = " + u + ")") == 0);
  Check(Rows(world, "tblFriendTradeHistory WHERE (nPlayUserId = " + u + " AND nPlayedUserId = " +
                        f + ") OR (nPlayUserId = " + f + " AND nPlayedUserId = " + u + ")") == 0);
  Check(Rows(world, "tblFriend") == friends_before - between_before);
  Check(Rows(world, "tblFriendTradeHistory") == trades_before - trades_between_before);
}

void CheckTrade(World& world, int user, CKParam& packet, int result, int64_t last_id) {
  int partner = 0;
  int play_id = 0;
  const bool complete = packet.GetInt(codec::kTradePartnerKey, partner) == 0 &&
                        packet.GetInt(codec::kTradePlayIdKey, play_id) == 0;
  const bool expected = complete && AreFriends(world, user, partner);
  Check((result == 0) == expected);
  const std::string added = "tblFriendTradeHistory WHERE nId > " + std::to_string(last_id);
  Check(Rows(world, added) == (expected ? 1 : 0));
  if (!expected) return;
  Check(Rows(world, added + " AND nPlayUserId = " + Number(user) + " AND nPlayedUserId = " +
                        Number(partner) + " AND nPlayId = " + Number(play_id) +
                        " AND tDuration = 10 AND length(tTime) = 19") == 1);
}

void CheckInvitations(World& world, int user, int data_id, CKParam& packet, int result,
                      int64_t last_id, uint64_t sql_log_before) {
  int rows = 0;
  if (data_id != codec::kStoreInvitations || packet.GetInt(codec::kInvitationCountKey, rows) != 0) {
    Check(result == -1);
    Check(Rows(world, "tblInviteRecord WHERE nId > " + std::to_string(last_id)) == 0);
    return;
  }
  Check(result == 0);
  bool log = false;
  if (packet.GetBoolean(codec::kInvitationLogKey, log) != 0) log = false;

  // The rows that must have been stored, in order, compared field by field.
  sqlite3_stmt* stored = nullptr;
  const std::string query =
      "SELECT nUserid, nGroup, sInviteCode, sInvitedEmail, nState, nZoneId, sNote, nReply, "
      "tAddtime FROM tblInviteRecord WHERE nId > " + std::to_string(last_id) + " ORDER BY nId";
  Check(sqlite3_prepare_v2(world.db(), query.c_str(), -1, &stored, nullptr) == SQLITE_OK);
  std::string first_time;
  int complete_rows = 0;
  const int last_row = rows < codec::kMaxInvitationRows ? rows : codec::kMaxInvitationRows;
  for (int row = 1; row <= last_row; ++row) {
    codec::Invitation sent;
    if (!codec::ReadInvitation(packet, row, &sent)) continue;
    if (sent.note.empty()) sent.note = u"缺失remark";
    ++complete_rows;
    Check(sqlite3_step(stored) == SQLITE_ROW);
    auto text = [&](int column) {
      const unsigned char* bytes = sqlite3_column_text(stored, column);
      return bytes == nullptr ? std::string()
                              : std::string(reinterpret_cast<const char*>(bytes),
                                            static_cast<size_t>(sqlite3_column_bytes(stored, column)));
    };
    Check(sqlite3_column_int(stored, 0) == user && sqlite3_column_int(stored, 1) == sent.group &&
          sqlite3_column_int(stored, 4) == sent.state &&
          sqlite3_column_int(stored, 5) == sent.zone_id && sqlite3_column_int(stored, 7) == sent.reply);
    Check(text(2) == Utf8Of(sent.invite_code) && text(3) == Utf8Of(sent.invited_email) &&
          text(6) == Utf8Of(sent.note));
    // One time for every row of the request.
    if (complete_rows == 1) first_time = text(8);
    Check(text(8) == first_time && first_time.size() == 19);
  }
  Check(sqlite3_step(stored) == SQLITE_DONE);
  sqlite3_finalize(stored);
  const uint64_t sql_log_after = world.SqlLogSize();
  Check((sql_log_after > sql_log_before) == (log && complete_rows > 0));
}

// What the request may touch, before it runs: the last ids of the tables
// it adds to, the log sizes, and for a 1505 all friendship and trade rows
// and those between the two users.
struct Before {
  int64_t last_message = 0, last_trade = 0, last_invitation = 0;
  int64_t friends = 0, trades = 0, between = 0, trades_between = 0;
  uint64_t error_log = 0, sql_log = 0;
  int64_t version = 0;
};

void CountFriendships(World& world, int user, int former, Before* before) {
  const std::string u = Number(user), f = Number(former);
  before->friends = Rows(world, "tblFriend");
  before->trades = Rows(world, "tblFriendTradeHistory");
  before->between = Rows(world, "tblFriend WHERE (nUserId = " + u + " AND nFriendId = " + f +
                                   ") OR (nUserId = " + f + " AND nFriendId = " + u + ")");
  before->trades_between =
      Rows(world, "tblFriendTradeHistory WHERE (nPlayUserId = " + u + " AND nPlayedUserId = " + f +
                      ") OR (nPlayUserId = " + f + " AND nPlayedUserId = " + u + ")");
}

// `command` is 0 when the packet carries none.
Before TakeBefore(World& world, int user, CKParam& packet, int command) {
  Before before;
  before.last_message = MaxId(world, "tblUserMsg");
  before.last_trade = MaxId(world, "tblFriendTradeHistory");
  before.last_invitation = MaxId(world, "tblInviteRecord");
  int former = 0;
  if (command == codec::kEndFriendship && packet.GetInt(codec::kFormerFriendKey, former) == 0) {
    CountFriendships(world, user, former, &before);
  }
  before.error_log = world.ErrorLogSize();
  before.sql_log = world.SqlLogSize();
  before.version = world.DataVersion();
  return before;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& world = World::Get();
  world.Reset();

  ByteReader input(data, size);
  const uint8_t flags = input.Byte();
  const int user = input.User();
  const int data_id = input.Code(zelvar::fuzz::kUpdateCodes);
  // A length of 0 or below is the account request's case.
  const zelvar::fuzz::RequestImage image(
      input, static_cast<uint8_t>(flags & ~zelvar::fuzz::kNoLength));
  char* param = image.param;
  const int length = image.length;

  // What the request may touch, before it runs.
  CKParam packet;
  const bool loads = param != nullptr && packet.SetBufferPtr(param, length) == 0;
  int command = 0;
  const bool has_command = loads && packet.GetInt(codec::kCommandKey, command) == 0;
  const Before before = TakeBefore(world, user, packet, has_command ? command : 0);

  int result;
  {
    World::InFolder here(world);
    result = PutUserExtraDataFriend(user, data_id, param, length);
  }
  zelvar::fuzz::Trace("put: user %d, DataId %d, length %d, command %d: %d", user, data_id, length,
                      has_command ? command : 0, result);
  Check(result == 0 || result == -1);
  // The host's bytes are read, never changed.
  Check(image.Unchanged());
  Check(world.ErrorLogSize() == before.error_log);

  if (!has_command || (command != codec::kSendMessage && command != codec::kEndFriendship &&
                       command != codec::kRecordTrade && command != codec::kStoreInvitations)) {
    Check(result == -1);
    Check(world.DataVersion() == before.version);
    Check(world.SqlLogSize() == before.sql_log);
    return 0;
  }
  switch (command) {
    case codec::kSendMessage:
      CheckMessage(world, user, packet, result, before.last_message);
      break;
    case codec::kEndFriendship:
      CheckEndOfFriendship(world, user, packet, result, before.friends, before.trades,
                           before.between, before.trades_between);
      break;
    case codec::kRecordTrade:
      CheckTrade(world, user, packet, result, before.last_trade);
      break;
    default:
      CheckInvitations(world, user, data_id, packet, result, before.last_invitation,
                       before.sql_log);
      break;
  }
  return 0;
}
