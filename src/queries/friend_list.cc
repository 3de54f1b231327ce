// Kind 1610: the user's friends with their profiles. Pass one collects the
// friends' ids from tblFriend, by position in the order found; pass two
// looks each friend up in tblUser. The friend at position i is written at
// keys -(10000 + 10i + 1) to -(10000 + 10i + 5); a friend without a
// profile leaves its position empty. Key -10000 closes with the number of
// friends written and key -9999 with the current time.

#include "queries/friend_list.h"

#include <atomic>
#include <ctime>

#include "codec/keys.h"
#include "codec/reply_packet.h"
#include "db/recordset.h"
#include "db/sql.h"
#include "queries/int_chain.h"
#include "queries/kinds.h"
#include "queries/reply.h"

namespace zelvar::queries {

namespace {

std::atomic<bool> batching{true};

db::Sql ProfileQuery(int32_t friend_id) {
  return db::Sql("SELECT sNick, nSex, sFacePic, bLogined FROM tblUser WHERE (nId = %d)",
                 {db::SqlValue::Integer(friend_id)});
}

// The profile in the first row of a profile query's record set.
std::optional<FriendProfile> ReadProfile(const db::RecordsetHandle& row) {
  // An empty handle reads as a row whose every field fails.
  if (!row || row->IsEOF()) return std::nullopt;
  // The fields are read in place; each text is copied once, into the
  // profile.
  const db::Variant* nick = row->FieldAt(row->ColumnIndex("sNick"));
  const db::Variant* sex = nick ? row->FieldAt(row->ColumnIndex("nSex")) : nullptr;
  const db::Variant* face_pic = sex ? row->FieldAt(row->ColumnIndex("sFacePic")) : nullptr;
  const db::Variant* logined = face_pic ? row->FieldAt(row->ColumnIndex("bLogined")) : nullptr;
  if (logined == nullptr) return std::nullopt;
  FriendProfile profile;
  profile.nick = TextOf(*nick);
  profile.sex = sex->Int32();
  profile.face_pic = TextOf(*face_pic);
  profile.logined = logined->Int32();
  return profile;
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
    const int32_t friend_side = field[0].Int32();
    const int32_t user_side = field[1].Int32();
    int friend_id;
    if (friend_side != user_id) {
      friend_id = friend_side;
    } else if (user_side != user_id) {
      friend_id = user_side;
    } else {
      return;
    }
    ++position;
    friends->Insert(position, &friend_id, 0);
  });
  return true;
}

}  // namespace

std::vector<std::optional<FriendProfile>> LookUpFriendProfiles(
    const std::vector<int32_t>& friend_ids) {
  std::vector<std::optional<FriendProfile>> profiles;
  profiles.reserve(friend_ids.size());
  if (!batching.load(std::memory_order_relaxed)) {
    for (int32_t id : friend_ids) {
      db::RecordsetHandle row;
      profiles.push_back(db::QuerySql(ProfileQuery(id), row, nullptr) == 0 ? ReadProfile(row)
                                                                           : std::nullopt);
    }
    return profiles;
  }
  std::vector<db::Sql> queries;
  queries.reserve(friend_ids.size());
  for (int32_t id : friend_ids) queries.push_back(ProfileQuery(id));
  std::vector<db::RecordsetHandle> rows;
  db::QuerySqlBatch(queries, &rows);
  for (const db::RecordsetHandle& row : rows) {
    profiles.push_back(row ? ReadProfile(row) : std::nullopt);
  }
  return profiles;
}

void SetFriendProfileBatching(bool enabled) {
  batching.store(enabled, std::memory_order_relaxed);
}

int QueryFriendList(int32_t user_id, char** reply, int* reply_length) {
  codec::ReplyPacket packet(codec::kFriendListKind);
  IntStruct friends;
  if (!CollectFriends(user_id, &friends)) return -1;

  // Positions 1 to n ascend, so each Find is one step from the hint.
  const int32_t n = friends.GetCount(0);
  std::vector<int32_t> friend_ids;
  friend_ids.reserve(static_cast<size_t>(n));
  for (int32_t i = 1; i <= n; ++i) {
    int friend_id = 0;
    friends.Find(i, &friend_id, 0);
    friend_ids.push_back(friend_id);
  }
  const std::vector<std::optional<FriendProfile>> profiles = LookUpFriendProfiles(friend_ids);

  int32_t written = n;
  for (int32_t i = 1; i <= n; ++i) {
    const std::optional<FriendProfile>& profile = profiles[static_cast<size_t>(i - 1)];
    if (!profile) {
      --written;
      continue;
    }
    using codec::FriendKey;
    packet.SetInt(FriendKey(i, codec::kFriendIdField), friend_ids[static_cast<size_t>(i - 1)]);
    packet.SetText(FriendKey(i, codec::kFriendNickField), profile->nick);
    packet.SetInt(FriendKey(i, codec::kFriendSexField), profile->sex);
    packet.SetText(FriendKey(i, codec::kFriendFaceField), profile->face_pic);
    packet.SetInt(FriendKey(i, codec::kFriendLoginField), profile->logined);
  }
  packet.SetInt(codec::kFriendCountKey, written);
  packet.SetInt(codec::kServerTimeKey, Low32(static_cast<int64_t>(std::time(nullptr))));
  return codec::HandOut(packet, reply, reply_length);
}

}  // namespace zelvar::queries
