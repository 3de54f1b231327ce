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

#include "fuzz_input.h"
#include "fuzz_world.h"
#include "zelvar/zelvar.h"

namespace {

using zelvar::fuzz::ByteReader;
using zelvar::fuzz::Check;
using zelvar::fuzz::Utf8Of;
using zelvar::fuzz::World;

constexpr int kMaxInvitationRows = 16384;

short FieldKey(int row, int field) {
  return static_cast<short>(static_cast<uint16_t>(row * 100 + field));
}

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
  const bool complete = packet.GetInt(200, recipient) == 0 && packet.GetCString(201, content) == 0;
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
  const bool complete = packet.GetInt(100, former) == 0;
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
  const bool complete = packet.GetInt(300, partner) == 0 && packet.GetInt(301, play_id) == 0;
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
  if (data_id != 1550 || packet.GetInt(-100, rows) != 0) {
    Check(result == -1);
    Check(Rows(world, "tblInviteRecord WHERE nId > " + std::to_string(last_id)) == 0);
    return;
  }
  Check(result == 0);
  bool log = false;
  if (packet.GetBoolean(-300, log) != 0) log = false;

  // The rows that must have been stored, in order, compared field by field.
  sqlite3_stmt* stored = nullptr;
  const std::string query =
      "SELECT nUserid, nGroup, sInviteCode, sInvitedEmail, nState, nZoneId, sNote, nReply, "
      "tAddtime FROM tblInviteRecord WHERE nId > " + std::to_string(last_id) + " ORDER BY nId";
  Check(sqlite3_prepare_v2(world.db(), query.c_str(), -1, &stored, nullptr) == SQLITE_OK);
  std::string first_time;
  int complete_rows = 0;
  const int last_row = rows < kMaxInvitationRows ? rows : kMaxInvitationRows;
  for (int row = 1; row <= last_row; ++row) {
    CString code, email, note;
    int state = 0, group = 0, zone = 0, reply = 0;
    if (packet.GetCString(FieldKey(row, 1), code) != 0 ||
        packet.GetInt(FieldKey(row, 2), state) != 0 ||
        packet.GetCString(FieldKey(row, 3), email) != 0 ||
        packet.GetInt(FieldKey(row, 4), group) != 0 ||
        packet.GetCString(FieldKey(row, 5), note) != 0 ||
        packet.GetInt(FieldKey(row, 6), zone) != 0 ||
        packet.GetInt(FieldKey(row, 7), reply) != 0) {
      continue;
    }
    if (note.empty()) note = u"缺失remark";
    ++complete_rows;
    Check(sqlite3_step(stored) == SQLITE_ROW);
    auto text = [&](int column) {
      const unsigned char* bytes = sqlite3_column_text(stored, column);
      return bytes == nullptr ? std::string()
                              : std::string(reinterpret_cast<const char*>(bytes),
                                            static_cast<size_t>(sqlite3_column_bytes(stored, column)));
    };
    Check(sqlite3_column_int(stored, 0) == user && sqlite3_column_int(stored, 1) == group &&
          sqlite3_column_int(stored, 4) == state && sqlite3_column_int(stored, 5) == zone &&
          sqlite3_column_int(stored, 7) == reply);
    Check(text(2) == Utf8Of(code) && text(3) == Utf8Of(email) && text(6) == Utf8Of(note));
    // One time for every row of the request.
    if (complete_rows == 1) first_time = text(8);
    Check(text(8) == first_time && first_time.size() == 19);
  }
  Check(sqlite3_step(stored) == SQLITE_DONE);
  sqlite3_finalize(stored);
  const uint64_t sql_log_after = world.SqlLogSize();
  Check((sql_log_after > sql_log_before) == (log && complete_rows > 0));
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
  const bool has_command = loads && packet.GetInt(1, command) == 0;
  const int64_t last_message = MaxId(world, "tblUserMsg");
  const int64_t last_trade = MaxId(world, "tblFriendTradeHistory");
  const int64_t last_invitation = MaxId(world, "tblInviteRecord");
  int64_t friends_before = 0, trades_before = 0, between_before = 0, trades_between_before = 0;
  int former = 0;
  if (has_command && command == 1505 && packet.GetInt(100, former) == 0) {
    const std::string u = Number(user), f = Number(former);
    friends_before = Rows(world, "tblFriend");
    trades_before = Rows(world, "tblFriendTradeHistory");
    between_before = Rows(world, "tblFriend WHERE (nUserId = " + u + " AND nFriendId = " + f +
                                     ") OR (nUserId = " + f + " AND nFriendId = " + u + ")");
    trades_between_before =
        Rows(world, "tblFriendTradeHistory WHERE (nPlayUserId = " + u + " AND nPlayedUserId = " +
                        f + ") OR (nPlayUserId = " + f + " AND nPlayedUserId = " + u + ")");
  }
  const uint64_t error_log_before = world.ErrorLogSize();
  const uint64_t sql_log_before = world.SqlLogSize();
  const int64_t version_before = world.DataVersion();

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
  Check(world.ErrorLogSize() == error_log_before);

  if (!has_command || (command != 1500 && command != 1505 && command != 1510 &&
                       command != 1550)) {
    Check(result == -1);
    Check(world.DataVersion() == version_before);
    Check(world.SqlLogSize() == sql_log_before);
    return 0;
  }
  switch (command) {
    case 1500:
      CheckMessage(world, user, packet, result, last_message);
      break;
    case 1505:
      CheckEndOfFriendship(world, user, packet, result, friends_before, trades_before,
                           between_before, trades_between_before);
      break;
    case 1510:
      CheckTrade(world, user, packet, result, last_trade);
      break;
    default:
      CheckInvitations(world, user, data_id, packet, result, last_invitation, sql_log_before);
      break;
  }
  return 0;
}
