// Counting rows and replaying writes on the tool's own connection.
#include "tools/zelvar/ops/writes.h"

#include "db/runner.h"
#include "db/transaction.h"
#include "goods/grants.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"
#include "updates/statements.h"
#include "util/time_text.h"

namespace zelvar::ops {
namespace {

using db::Sql;
using db::SqlValue;
using updates::kDeleteFriendship;
using updates::kInsertInvitation;
using updates::kInsertMessage;
using updates::kInsertTrade;
using updates::kMissingNote;
using updates::kTradeDuration;

SqlValue Int(int64_t value) { return SqlValue::Integer(value); }

}  // namespace

std::optional<bool> UserExists(int32_t user_id, std::string* error) {
  const auto count = QueryCount(Sql("SELECT COUNT(*) FROM tblUser WHERE nId = %d", {Int(user_id)}), error);
  if (!count) return std::nullopt;
  return *count > 0;
}

std::optional<int64_t> FriendshipRows(int32_t a, int32_t b, std::string* error) {
  return QueryCount(Sql("SELECT COUNT(*) FROM tblFriend WHERE (nUserId = %d AND nFriendId = %d) OR "
                        "(nUserId = %d AND nFriendId = %d)",
                        {Int(a), Int(b), Int(b), Int(a)}),
                    error);
}

std::optional<int64_t> TradesBetween(int32_t a, int32_t b, std::string* error) {
  return QueryCount(Sql("SELECT COUNT(*) FROM tblFriendTradeHistory WHERE (nPlayUserId = %d AND nPlayedUserId = %d) "
                        "OR (nPlayUserId = %d AND nPlayedUserId = %d)",
                        {Int(a), Int(b), Int(b), Int(a)}),
                    error);
}

std::optional<int64_t> MessagesFrom(int32_t from, int32_t to, std::string* error) {
  return QueryCount(
      Sql("SELECT COUNT(*) FROM tblUserMsg WHERE nUserId = %d AND nFromUserId = %d", {Int(to), Int(from)}), error);
}

Sql InsertMessage(int32_t from, int32_t to, const std::u16string& content) {
  return Sql(kInsertMessage, {Int(to), SqlValue::Text(content), SqlValue::DateTime(NowText()), Int(from)});
}

Sql InsertTrade(int32_t user, int32_t partner, int32_t play_id) {
  return Sql(kInsertTrade,
             {Int(user), Int(partner), Int(play_id), SqlValue::DateTime(NowText()), Int(kTradeDuration)});
}

Sql DeleteFriendship(int32_t user, int32_t former_friend) {
  return Sql(kDeleteFriendship, {Int(user), Int(former_friend), Int(user), Int(former_friend)});
}

Sql InsertInvitation(int32_t user, const codec::Invitation& invitation) {
  return Sql(kInsertInvitation,
             {Int(user), Int(invitation.group), SqlValue::Text(invitation.invite_code),
              SqlValue::Text(invitation.invited_email), Int(invitation.state), SqlValue::DateTime(NowText()),
              Int(invitation.zone_id), SqlValue::Text(invitation.note.empty() ? kMissingNote : invitation.note),
              Int(invitation.reply)});
}

Sql InsertGoods(int32_t user, const codec::GoodsEntry& entry) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  return Sql(goods::kInsertUserGoods, {Int(entry.type), Int(user), Int(entry.goods_id),
                                       SqlValue::DateTime(LocalTimeText(now)),
                                       SqlValue::DateTime(LocalTimeText(now + 7 * 24 * 3600))});
}

std::optional<int64_t> UserIdByName(const std::u16string& user_name, std::string* error) {
  return QueryCount(Sql("SELECT nId FROM tblUser WHERE sUsername = '%s'", {SqlValue::Text(user_name)}), error);
}

std::string WriteRefusal(const Sql& write) {
  constexpr int kRollBack = 1;
  std::u16string statement_reason, transaction_reason;
  const int result = db::RunTransaction(
      [&](db::Transaction& transaction) {
        statement_reason.clear();
        if (transaction.Execute(write, &statement_reason) != 0) return -1;
        return kRollBack;
      },
      &transaction_reason);
  if (result == kRollBack) return "";
  return cli::OneLine(ToNarrow(statement_reason.empty() ? transaction_reason : statement_reason));
}

}  // namespace zelvar::ops
