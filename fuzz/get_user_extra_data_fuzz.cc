// Fuzz target for GetUserExtraDataFriend on the seeded SQLite world.
//
// The query itself takes only a user id and a kind, so the input mostly
// shapes the database the query reads: it plants rows whose columns hold
// any SQLite value (NULL, integers, doubles such as NaN or 1e300, texts
// that are not UTF-8, blobs, date-time texts out of range), many rows at
// once to push the reply keys past 16 bits, and then asks.
//
// Input: a list of operations, one byte each followed by its operands:
//   0 message   choice to, choice from, value content, value time, value read
//   1 trade     choice player, choice other, value play id, value time,
//               value duration
//   2 item      value name, desc, pacificate, image, x, y
//   3 player    value user name, nick, sex, face, logged-in, level (the
//               row takes the next free id, 9 upwards)
//   4 friends   choice a, choice b
//   5 many      byte what (messages, trades, items, friends), byte count,
//               choice user
//   6 ask       choice user, choice kind (kQueryKinds)
// A value is a tag byte and its bytes (see PlantValue).
//
// Every reply is checked against the database read on the fuzzer's own
// connection: the frame, the count against the rows that can be read,
// the entries of each written row, and for kind 1620 that nothing is
// left unread afterwards.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <sqlite3.h>

#include "codec/keys.h"
#include "fuzz_input.h"
#include "fuzz_world.h"
#include "zelvar/zelvar.h"

namespace {

using zelvar::fuzz::ByteReader;
using zelvar::fuzz::Check;
using zelvar::fuzz::Planter;
using zelvar::fuzz::World;
namespace codec = zelvar::codec;

constexpr int kMaxOperations = 16;
constexpr int kMaxQuestions = 6;

// Binds the next value of the input to parameter `index`.
void PlantValue(sqlite3_stmt* statement, int index, ByteReader& input) {
  switch (input.Byte() % 8) {
    case 0:
      sqlite3_bind_null(statement, index);
      break;
    case 1:
      sqlite3_bind_int(statement, index, static_cast<int>(input.Word32()));
      break;
    case 2:
      sqlite3_bind_int64(statement, index, static_cast<int64_t>(input.Word64()));
      break;
    case 3: {
      const uint64_t bits = input.Word64();
      double value;
      std::memcpy(&value, &bits, sizeof(value));
      sqlite3_bind_double(statement, index, value);
      break;
    }
    case 4: {
      const std::string text = input.Bytes(input.Byte());
      sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
      break;
    }
    case 5: {
      const std::string blob = input.Bytes(input.Byte());
      sqlite3_bind_blob(statement, index, blob.data(), static_cast<int>(blob.size()),
                        SQLITE_TRANSIENT);
      break;
    }
    case 6: {
      // The shape of a date-time, with fields that may be out of range.
      const int year = static_cast<int>((input.Byte() | (input.Byte() << 8)) % 10000);
      const int month = input.Byte() % 14, day = input.Byte() % 33, hour = input.Byte() % 26;
      const int minute = input.Byte() % 62, second = input.Byte() % 62;
      char text[32];
      std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour,
                    minute, second);
      sqlite3_bind_text(statement, index, text, -1, SQLITE_TRANSIENT);
      break;
    }
    default:
      sqlite3_bind_int(statement, index, static_cast<int8_t>(input.Byte()));
      break;
  }
}

void PlantRow(World& world, const char* sql, ByteReader& input,
              std::initializer_list<int> users, int values) {
  Planter planter(world);
  sqlite3_stmt* statement = nullptr;
  Check(sqlite3_prepare_v2(planter.db(), sql, -1, &statement, nullptr) == SQLITE_OK);
  int index = 1;
  for (int user : users) sqlite3_bind_int(statement, index++, user);
  for (int i = 0; i < values; ++i) PlantValue(statement, index++, input);
  Check(sqlite3_step(statement) == SQLITE_DONE);
  sqlite3_finalize(statement);
}

void PlantMany(World& world, ByteReader& input) {
  const int what = input.Byte() % 4;
  const int count = input.Byte() * 3;
  const int user = input.User();
  static const char* const kStatements[] = {
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?1) "
      "INSERT INTO tblUserMsg (nUserId, sContent, tAddTime, nRead, nFromUserId, nAll) "
      "SELECT ?2, 'note ' || i, '2011-05-03 09:05:07', 0, 2, 0 FROM n",
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?1) "
      "INSERT INTO tblFriendTradeHistory (nPlayUserId, nPlayedUserId, nPlayId, tTime, tDuration) "
      "SELECT ?2, 3, i, '2011-05-03 09:05:07', 10 FROM n",
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?1) "
      "INSERT INTO tblFriendTradeItem (sTradeName, sTradeDesc, nPacificate, sTradeImage, nHeadX, "
      "nHeadY) SELECT 'item ' || i, 'desc', i, 'i.png', i * 0.5, -i FROM n",
      // Friends without a player row: each costs the query one lookup.
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < ?1) "
      "INSERT INTO tblFriend (nUserId, nFriendId) SELECT ?2, CASE WHEN i % 3 = 0 THEN 1 ELSE "
      "1000 + i END FROM n"};
  if (count == 0) return;
  Planter planter(world);
  sqlite3_stmt* statement = nullptr;
  Check(sqlite3_prepare_v2(planter.db(), kStatements[what], -1, &statement, nullptr) ==
        SQLITE_OK);
  sqlite3_bind_int(statement, 1, what == 3 ? count / 3 : count);
  if (what != 2) sqlite3_bind_int(statement, 2, user);
  Check(sqlite3_step(statement) == SQLITE_DONE);
  sqlite3_finalize(statement);
}

std::string Rows(const char* table, const std::string& condition) {
  return std::string("SELECT COUNT(*) FROM ") + table + " WHERE " + condition;
}

// What the database lets a reply of `kind` for `user` hold.
struct Expected {
  int64_t rows = 0;      // rows the kind's statement finds
  int64_t at_least = 0;  // rows that are complete whatever a NULL time means
};

Expected Expect(World& world, int user, unsigned kind) {
  const std::string u = std::to_string(user);
  Expected e;
  switch (kind) {
    case codec::kTradeHistoryKind: {
      const std::string mine = "(nPlayUserId = " + u + " OR nPlayedUserId = " + u + ")";
      e.rows = world.QueryInt(Rows("tblFriendTradeHistory", mine).c_str());
      e.at_least = world.QueryInt(Rows("tblFriendTradeHistory", mine + " AND tTime IS NOT NULL").c_str());
      break;
    }
    case codec::kFriendListKind: {
      // Friends whose player row exists: each of them is written.
      const std::string sql =
          "SELECT COUNT(*) FROM tblFriend f JOIN tblUser p ON p.nId = CASE WHEN f.nFriendId <> " +
          u + " THEN f.nFriendId ELSE f.nUserId END WHERE (f.nUserId = " + u +
          " OR f.nFriendId = " + u + ") AND NOT (f.nUserId = " + u + " AND f.nFriendId = " + u +
          ")";
      e.rows = e.at_least = world.QueryInt(sql.c_str());
      break;
    }
    case codec::kTradeItemsKind:
      e.rows = e.at_least = world.QueryInt("SELECT COUNT(*) FROM tblFriendTradeItem");
      break;
    case codec::kUnreadMessagesKind: {
      const std::string unread = "(nRead = 0) AND (nUserId = " + u + ")";
      e.rows = world.QueryInt(Rows("tblUserMsg", unread).c_str());
      e.at_least = world.QueryInt(Rows("tblUserMsg", unread + " AND tAddTime IS NOT NULL").c_str());
      break;
    }
  }
  return e;
}

bool IsInt(CKParam& reply, short key) {
  int value = 0;
  return reply.GetInt(key, value) == 0;
}

// The reply of `kind` against what the database lets it hold: its count,
// and every entry of the rows whose keys do not wrap.
void CheckReply(World& world, CKParam& packet, int user, unsigned kind, const Expected& expected) {
  int first_kind = 0;
  Check(packet.GetInt(codec::kReplyKindKey, first_kind) == 0 &&
        first_kind == static_cast<int>(kind));
  int count = 0;
  switch (kind) {
    case codec::kTradeHistoryKind: {
      Check(packet.GetInt(codec::kTradeCountKey, count) == 0);
      Check(count == -1 ? expected.at_least == 0 : count >= 1);
      const int64_t written = count == -1 ? 0 : count;
      Check(written >= expected.at_least && written <= expected.rows);
      for (int r = 1; r <= written && r <= 327; ++r) {
        for (int k = codec::kTradePlayerField; k <= codec::kTradeIdField; ++k) {
          Check(IsInt(packet, codec::TradeKey(r, k)));
        }
      }
      break;
    }
    case codec::kFriendListKind: {
      Check(packet.GetInt(codec::kFriendCountKey, count) == 0 &&
            IsInt(packet, codec::kServerTimeKey));
      Check(count == expected.rows);
      break;
    }
    case codec::kTradeItemsKind: {
      Check(packet.GetInt(codec::kItemCountKey, count) == 0 && count == expected.rows);
      for (int k = 1; k <= count && k <= 327; ++k) {
        CString text;
        Check(packet.GetCString(codec::ItemKey(k), text) == 0);
        Check(text.rfind(u"id,", 0) == 0);
      }
      break;
    }
    case codec::kUnreadMessagesKind: {
      Check(packet.GetInt(codec::kMessageCountKey, count) == 0);
      Check(count >= expected.at_least && count <= expected.rows);
      for (int m = 1; m <= count && m <= 227; ++m) {
        CString content;
        Check(IsInt(packet, codec::MessageKey(m, codec::kMessageIdField)) &&
              IsInt(packet, codec::MessageKey(m, codec::kMessageSenderField)) &&
              IsInt(packet, codec::MessageKey(m, codec::kMessageTimeField)));
        Check(packet.GetCString(codec::MessageKey(m, codec::kMessageContentField), content) == 0);
      }
      // Delivered once: nothing of the user's is left unread.
      Check(world.QueryInt(Rows("tblUserMsg", "(nRead = 0) AND (nUserId = " +
                                                  std::to_string(user) + ")")
                               .c_str()) == 0);
      break;
    }
  }
}

void Ask(World& world, int user, unsigned kind) {
  const bool answered = kind == codec::kTradeHistoryKind || kind == codec::kFriendListKind ||
                        kind == codec::kTradeItemsKind || kind == codec::kUnreadMessagesKind;
  const Expected expected = answered ? Expect(world, user, kind) : Expected();
  const uint64_t version_before = world.DataVersion();
  const uint64_t error_log_before = world.ErrorLogSize();

  char untouched = 0;
  char* reply = &untouched;
  int reply_length = -12345;
  int result;
  {
    World::InFolder here(world);
    result = GetUserExtraDataFriend(user, kind, &reply, &reply_length);
  }
  zelvar::fuzz::Trace("get: user %d, kind %u: %d, %lld to %lld rows", user, kind, result,
                      static_cast<long long>(expected.at_least),
                      static_cast<long long>(expected.rows));
  Check(world.ErrorLogSize() == error_log_before);
  if (!answered) {
    Check(result == -1 && reply == &untouched && reply_length == -12345);
    Check(world.DataVersion() == version_before);
    return;
  }
  // Nothing can fail on the intact database.
  Check(result == 0 && reply != &untouched && reply != nullptr && reply_length >= 12);

  CKParam packet;
  int32_t declared = 0;
  std::memcpy(&declared, reply, 4);
  Check(declared == reply_length);
  Check(packet.SetBufferPtr(reply, reply_length) == 0);
  MyDeletePtr(reply);

  CheckReply(world, packet, user, kind, expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& world = World::Get();
  world.Reset();

  ByteReader input(data, size);
  int questions = 0;
  for (int step = 0; step < kMaxOperations && input.left() > 0 && questions < kMaxQuestions;
       ++step) {
    switch (input.Byte() % 7) {
      case 0: {
        const int to = input.User();
        const int from = input.User();
        PlantRow(world,
                 "INSERT INTO tblUserMsg (nUserId, nFromUserId, sContent, tAddTime, nRead, nAll) "
                 "VALUES (?, ?, ?, ?, ?, 0)",
                 input, {to, from}, 3);
        break;
      }
      case 1: {
        const int player = input.User();
        const int other = input.User();
        PlantRow(world,
                 "INSERT INTO tblFriendTradeHistory (nPlayUserId, nPlayedUserId, nPlayId, tTime, "
                 "tDuration) VALUES (?, ?, ?, ?, ?)",
                 input, {player, other}, 3);
        break;
      }
      case 2:
        PlantRow(world,
                 "INSERT INTO tblFriendTradeItem (sTradeName, sTradeDesc, nPacificate, "
                 "sTradeImage, nHeadX, nHeadY) VALUES (?, ?, ?, ?, ?, ?)",
                 input, {}, 6);
        break;
      case 3:
        PlantRow(world,
                 "INSERT INTO tblUser (sUsername, sNick, nSex, sFacePic, bLogined, nLevel) "
                 "VALUES (?, ?, ?, ?, ?, ?)",
                 input, {}, 6);
        break;
      case 4: {
        const int a = input.User();
        const int b = input.User();
        PlantRow(world, "INSERT INTO tblFriend (nUserId, nFriendId) VALUES (?, ?)", input, {a, b},
                 0);
        break;
      }
      case 5:
        PlantMany(world, input);
        break;
      default: {
        const int user = input.User();
        const unsigned kind = static_cast<unsigned>(input.Code(zelvar::fuzz::kQueryKinds));
        Ask(world, user, kind);
        ++questions;
        break;
      }
    }
  }
  return 0;
}
