// Commands between two friends: a message (1500), the end of a friendship
// (1505) and a trade record (1510).
//
// The friendship check and the insert after it run in one transaction, as
// do the two deletes of 1505. So a trade can't be recorded for a
// friendship that a concurrent 1505 is removing (its history would outlive
// the friendship), and a message is stored only while the friendship
// stands.

#include <string>

#include "codec/keys.h"
#include "db/recordset.h"
#include "db/sql.h"
#include "db/transaction.h"
#include "db/write_guard.h"
#include "updates/commands.h"
#include "updates/statements.h"
#include "util/time_text.h"

namespace zelvar::updates {
namespace {

using db::Sql;
using db::SqlValue;

constexpr char kFriendshipQuery[] =
    "SELECT nFriendId, nUserId FROM tblFriend WHERE ((nUserId = %d AND nFriendId = %d) OR "
    "(nUserId = %d AND nFriendId = %d))";
constexpr char kDeleteTrades[] =
    "DELETE FROM tblFriendTradeHistory WHERE (nPlayUserId = %d AND nPlayedUserId = %d) OR "
    "(nPlayUserId = %d AND nPlayedUserId = %d)";

// 0 when a friendship row links the two users in either direction; -1
// when there is none or the query fails.
int CheckFriendship(db::Transaction& transaction, int user_id, int other_id) {
  const Sql query(kFriendshipQuery, {SqlValue::Integer(user_id), SqlValue::Integer(other_id),
                                     SqlValue::Integer(other_id), SqlValue::Integer(user_id)});
  db::RecordsetHandle friendship;
  if (transaction.Query(query, friendship, nullptr) != 0) return -1;
  return db::AdoRstIsEOF(friendship) == -1 ? -1 : 0;
}

// The friendship's guard row, first in a transaction between the two.
int GuardFriendship(db::Transaction& transaction, int user_id, int other_id) {
  return db::WriteGuard(transaction, db::GuardKind::kFriendship, user_id, other_id, nullptr);
}

// Runs `change` after the friendship check, both in one transaction. The
// statement is built inside the attempt so that a retried attempt takes
// the time anew.
template <typename MakeChange>
int ChangeBetweenFriends(int user_id, int other_id, MakeChange make_change) {
  return db::RunTransaction(
      [&](db::Transaction& transaction) {
        if (GuardFriendship(transaction, user_id, other_id) != 0) return -1;
        if (CheckFriendship(transaction, user_id, other_id) != 0) return -1;
        return transaction.Execute(make_change(), nullptr);
      },
      nullptr);
}

}  // namespace

int SendFriendMessage(int user_id, CKParam& packet) {
  int recipient = 0;
  CString content;
  if (packet.GetInt(codec::kMessageRecipientKey, recipient) != 0) return -1;
  if (packet.GetCString(codec::kMessageContentKey, content) != 0) return -1;

  return ChangeBetweenFriends(user_id, recipient, [&] {
    return Sql(kInsertMessage, {SqlValue::Integer(recipient), SqlValue::Text(content),
                                SqlValue::DateTime(NowText()), SqlValue::Integer(user_id)});
  });
}

int EndFriendship(int user_id, CKParam& packet) {
  int former_friend = 0;
  if (packet.GetInt(codec::kFormerFriendKey, former_friend) != 0) return -1;

  const Sql delete_friendship(
      kDeleteFriendship, {SqlValue::Integer(user_id), SqlValue::Integer(former_friend),
                          SqlValue::Integer(user_id), SqlValue::Integer(former_friend)});
  const Sql delete_trades(kDeleteTrades,
                          {SqlValue::Integer(user_id), SqlValue::Integer(former_friend),
                           SqlValue::Integer(former_friend), SqlValue::Integer(user_id)});
  // Both deletes or neither: a failure reported to the host leaves the
  // friendship and its history as they were.
  return db::RunTransaction(
      [&](db::Transaction& transaction) {
        if (GuardFriendship(transaction, user_id, former_friend) != 0) return -1;
        if (transaction.Execute(delete_friendship, nullptr) != 0) return -1;
        return transaction.Execute(delete_trades, nullptr);
      },
      nullptr);
}

int RecordTrade(int user_id, CKParam& packet) {
  int partner = 0;
  int play_id = 0;
  if (packet.GetInt(codec::kTradePartnerKey, partner) != 0) return -1;
  if (packet.GetInt(codec::kTradePlayIdKey, play_id) != 0) return -1;

  return ChangeBetweenFriends(user_id, partner, [&] {
    return Sql(kInsertTrade, {SqlValue::Integer(user_id), SqlValue::Integer(partner),
                              SqlValue::Integer(play_id), SqlValue::DateTime(NowText()),
                              SqlValue::Integer(kTradeDuration)});
  });
}

}  // namespace zelvar::updates
