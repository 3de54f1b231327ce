// Kind 1610: the user's friends with their profiles. The friends come by
// position in the order their tblFriend rows come; the friend at position i
// is written at keys -(10000 + 10i + 1) to -(10000 + 10i + 5); a friend
// without a profile leaves its position empty. Key -10000 closes with the
// number of friends written and key -9999 with the current time.
//
// One statement joins tblFriend to tblUser and gives every row with its
// profile. Where the join can't run (a database family it isn't written
// for, such as SQL Server, or a join the database refuses), two passes
// give the same reply: pass one collects the friends' ids from tblFriend,
// pass two looks each friend up in tblUser.

#include "queries/friend_list.h"

#include <array>
#include <atomic>
#include <ctime>
#include <optional>

#include "codec/keys.h"
#include "codec/reply_packet.h"
#include "db/recordset.h"
#include "db/sql.h"
#include "queries/int_chain.h"
#include "queries/kinds.h"
#include "queries/reply.h"

namespace zelvar::queries {

namespace {

std::atomic<FriendListPath> path{FriendListPath::kJoin};

// Calls left that go straight to the two passes after the database refused
// the join; the join is tried again when they are used up, so a join
// refused once (say, while a table was being altered) doesn't stay off.
constexpr int kTwoPassCallsAfterJoinFailed = 1000;
std::atomic<int> two_pass_calls{0};

// The friendship rows of the user, each with the profile of the friend it
// names: the row's nFriendId unless that is the user, else its nUserId, a
// NULL id counting as 0 (u.nId is NULL where the friend has no tblUser
// row). The rows must come in the order of the two passes' first
// statement: the friendship rows drive the join in a nested loop, by the
// same scan. SQLite and MariaDB keep the left side of a LEFT JOIN as the
// outer loop; PostgreSQL could turn a join around, but not a lateral
// subquery with a LIMIT, which also takes only the first profile row as
// the two passes do.
constexpr char kFriendOfRow[] =
    "(CASE WHEN COALESCE(f.nFriendId, 0) <> %d THEN COALESCE(f.nFriendId, 0) "
    "ELSE COALESCE(f.nUserId, 0) END)";
constexpr char kFriendRows[] = " WHERE (f.nUserId = %d OR f.nFriendId = %d)";

}  // namespace

const std::string* FriendListJoinText(db::SqlFamily family) {
  static const std::string head =
      "SELECT f.nFriendId, f.nUserId, u.nId, u.sNick, u.nSex, u.sFacePic, u.bLogined FROM "
      "tblFriend f ";
  static const std::string left_join =
      head + "LEFT JOIN tblUser u ON u.nId = " + kFriendOfRow + kFriendRows;
  static const std::string lateral =
      head + "LEFT JOIN LATERAL (SELECT nId, sNick, nSex, sFacePic, bLogined FROM tblUser WHERE " +
      "nId = " + kFriendOfRow + " LIMIT 1) u ON TRUE" + kFriendRows;
  switch (family) {
    case db::SqlFamily::kSqlite:
    case db::SqlFamily::kMySql:
      return &left_join;
    case db::SqlFamily::kPostgres:
      return &lateral;
    case db::SqlFamily::kOther:
      break;
  }
  return nullptr;
}

namespace {

// The join's columns, in the order of its select list.
enum JoinColumn { kFriendSide, kUserSide, kProfileId, kNick, kSex, kFacePic, kLogined, kColumns };

db::Sql ProfileQuery(int32_t friend_id) {
  return db::Sql("SELECT sNick, nSex, sFacePic, bLogined FROM tblUser WHERE (nId = %d)",
                 {db::SqlValue::Integer(friend_id)});
}

// The friend a friendship row names: its nFriendId unless that is the
// user, else its nUserId. False for a row with the user on both sides,
// which names nobody.
bool FriendNamed(int32_t user_id, const db::Variant& friend_side, const db::Variant& user_side,
                 int32_t* friend_id) {
  if (friend_side.Int32() != user_id) {
    *friend_id = friend_side.Int32();
  } else if (user_side.Int32() != user_id) {
    *friend_id = user_side.Int32();
  } else {
    return false;
  }
  return true;
}

// The value's text into the reply, read in place when it is a text.
void SetTextOf(codec::ReplyPacket& packet, short key, const db::Variant& value) {
  if (value.kind() == db::Variant::Kind::kText) {
    packet.SetText(key, value.text());
  } else {
    packet.SetText(key, TextOf(value));
  }
}

// The five entries of the friend at `position`; `profile` are the fields
// sNick, nSex, sFacePic and bLogined.
void WriteFriend(codec::ReplyPacket& packet, int32_t position, int32_t friend_id,
                 const db::Variant* const profile[4]) {
  using codec::FriendKey;
  packet.SetInt(FriendKey(position, codec::kFriendIdField), friend_id);
  SetTextOf(packet, FriendKey(position, codec::kFriendNickField), *profile[0]);
  packet.SetInt(FriendKey(position, codec::kFriendSexField), profile[1]->Int32());
  SetTextOf(packet, FriendKey(position, codec::kFriendFaceField), *profile[2]);
  packet.SetInt(FriendKey(position, codec::kFriendLoginField), profile[3]->Int32());
}

// The positions of sNick, nSex, sFacePic and bLogined in `rows`.
std::array<int, 4> ProfileColumns(const db::Recordset& rows) {
  return {rows.ColumnIndex("sNick"), rows.ColumnIndex("nSex"), rows.ColumnIndex("sFacePic"),
          rows.ColumnIndex("bLogined")};
}

// The profile fields of the current row, read in place; false when one of
// them can't be read.
bool ProfileFields(const db::Recordset& row, const std::array<int, 4>& columns,
                   const db::Variant* fields[4]) {
  for (int i = 0; i < 4; ++i) {
    fields[i] = row.FieldAt(columns[i]);
    if (fields[i] == nullptr) return false;
  }
  return true;
}

// The one-statement friend list into `packet`, the number of friends
// written into `written`. False, with nothing written, when the join
// failed; `refused` then tells whether the statement itself was refused
// (where the two passes may still run) rather than the database.
bool WriteJoinedFriends(int32_t user_id, codec::ReplyPacket& packet, int32_t* written,
                        bool* refused) {
  db::RecordsetHandle rows;
  auto query = [user_id](db::SqlFamily family) -> std::optional<db::Sql> {
    const std::string* text = FriendListJoinText(family);
    if (text == nullptr) return std::nullopt;
    const db::SqlValue user = db::SqlValue::Integer(user_id);
    return db::Sql(*text, {user, user, user});
  };
  if (db::QuerySqlOf(query, rows, nullptr, refused) != 0) return false;
  if (!rows || rows->column_count() != kColumns) {
    *refused = true;
    return false;
  }
  const db::Recordset& row = *rows;
  static constexpr std::array<int, 4> profile_columns = {kNick, kSex, kFacePic, kLogined};
  int32_t position = 0;
  *written = 0;
  for (; !rows->IsEOF(); rows->MoveNext()) {
    const db::Variant* friend_side = row.FieldAt(kFriendSide);
    const db::Variant* user_side = row.FieldAt(kUserSide);
    if (friend_side == nullptr || user_side == nullptr) continue;
    int32_t friend_id;
    if (!FriendNamed(user_id, *friend_side, *user_side, &friend_id)) continue;
    ++position;
    const db::Variant* id = row.FieldAt(kProfileId);
    const db::Variant* profile[4];
    if (id == nullptr || id->IsNull() || !ProfileFields(row, profile_columns, profile)) continue;
    WriteFriend(packet, position, friend_id, profile);
    ++*written;
  }
  return true;
}

// The friends of `user_id` by position 1, 2, ... in the order the rows
// came. A friendship stored both ways names the friend twice; a row with
// the user on both sides names nobody. False when the query failed.
bool CollectFriends(int32_t user_id, IntStruct* friends) {
  db::RecordsetHandle rows;
  const db::Sql query(
      "SELECT nFriendId, nUserId FROM tblFriend WHERE (nUserId = %d OR nFriendId = %d)",
      {db::SqlValue::Integer(user_id), db::SqlValue::Integer(user_id)});
  if (db::QuerySql(query, rows, nullptr) != 0) return false;
  int32_t position = 0;
  ForEachCompleteRow(rows, {"nFriendId", "nUserId"}, [&](const std::vector<db::Variant>& field) {
    int friend_id;
    if (!FriendNamed(user_id, field[0], field[1], &friend_id)) return;
    ++position;
    friends->Insert(position, &friend_id, 0);
  });
  return true;
}

// The profiles of `friend_ids` in order, each as the first row of its own
// statement's record set (empty where the statement failed).
std::vector<db::RecordsetHandle> ProfileRows(const std::vector<int32_t>& friend_ids) {
  std::vector<db::RecordsetHandle> rows;
  if (path.load(std::memory_order_relaxed) == FriendListPath::kOneByOne) {
    rows.resize(friend_ids.size());
    for (size_t i = 0; i < friend_ids.size(); ++i) {
      if (db::QuerySql(ProfileQuery(friend_ids[i]), rows[i], nullptr) != 0) rows[i].reset();
    }
    return rows;
  }
  std::vector<db::Sql> queries;
  queries.reserve(friend_ids.size());
  for (int32_t id : friend_ids) queries.push_back(ProfileQuery(id));
  db::QuerySqlBatch(queries, &rows);
  return rows;
}

// The two-pass friend list into `packet`, the number of friends written
// into `written`. False when the friendship statement failed.
bool WriteFriendsInTwoPasses(int32_t user_id, codec::ReplyPacket& packet, int32_t* written) {
  IntStruct friends;
  if (!CollectFriends(user_id, &friends)) return false;
  // Positions 1 to n ascend, so each Find is one step from the hint.
  const int32_t n = friends.GetCount(0);
  std::vector<int32_t> friend_ids;
  friend_ids.reserve(static_cast<size_t>(n));
  for (int32_t i = 1; i <= n; ++i) {
    int friend_id = 0;
    friends.Find(i, &friend_id, 0);
    friend_ids.push_back(friend_id);
  }
  const std::vector<db::RecordsetHandle> rows = ProfileRows(friend_ids);
  *written = n;
  for (int32_t i = 1; i <= n; ++i) {
    const db::RecordsetHandle& row = rows[static_cast<size_t>(i - 1)];
    // Only the first row of a profile's record set is used.
    const db::Variant* profile[4];
    if (!row || row->IsEOF() || !ProfileFields(*row, ProfileColumns(*row), profile)) {
      --*written;
      continue;
    }
    WriteFriend(packet, i, friend_ids[static_cast<size_t>(i - 1)], profile);
  }
  return true;
}

// Whether this call tries the join first.
bool TryJoin() {
  const FriendListPath chosen = path.load(std::memory_order_relaxed);
  if (chosen == FriendListPath::kJoinOnly) return true;
  if (chosen != FriendListPath::kJoin) return false;
  int left = two_pass_calls.load(std::memory_order_relaxed);
  while (left > 0) {
    if (two_pass_calls.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
      return false;
    }
  }
  return true;
}

}  // namespace

void SetFriendListPath(FriendListPath chosen) {
  path.store(chosen, std::memory_order_relaxed);
  two_pass_calls.store(0, std::memory_order_relaxed);
}

int QueryFriendList(int32_t user_id, char** reply, int* reply_length) {
  std::optional<codec::ReplyPacket> packet;
  int32_t written = 0;
  bool listed = false;
  if (TryJoin()) {
    packet.emplace(codec::kFriendListKind);
    bool refused = false;
    listed = WriteJoinedFriends(user_id, *packet, &written, &refused);
    // A database that can't be reached or answer in time fails the
    // request here, as the two passes' first statement would: it has been
    // logged once.
    if (!listed && (!refused || path.load(std::memory_order_relaxed) == FriendListPath::kJoinOnly)) {
      return -1;
    }
    if (!listed) two_pass_calls.store(kTwoPassCallsAfterJoinFailed, std::memory_order_relaxed);
  }
  if (!listed) {
    packet.emplace(codec::kFriendListKind);
    if (!WriteFriendsInTwoPasses(user_id, *packet, &written)) return -1;
  }
  packet->SetInt(codec::kFriendCountKey, written);
  packet->SetInt(codec::kServerTimeKey, Low32(static_cast<int64_t>(std::time(nullptr))));
  return codec::HandOut(*packet, reply, reply_length);
}

}  // namespace zelvar::queries
