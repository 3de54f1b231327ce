// The query cases: trade history (1605), friend list (1610), the item
// catalogue (1615) and the unread messages (1620).
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "codec/keys.h"
#include "db/sql.h"
#include "queries/friend_list.h"
#include "request_cases.h"
#include "util/text.h"
#include "zelvar/zelvar.h"

namespace zelvar::bench {
namespace {

namespace w = world;

Request TradeHistory(int trades) {
  Request r;
  r.name = "1605/trades:" + std::to_string(trades);
  const int player = w::TradePlayer(trades);
  r.ours = [player] {
    return [player](std::string* digest) { return AskQuery(player, codec::kTradeHistoryKind, digest); };
  };
  r.limit = [player](RawDb& db) -> Step {
    RawStatement* query = db.Prepare(
        "SELECT nId, nPlayUserId, nPlayedUserId, nPlayId, tTime, tDuration FROM "
        "tblFriendTradeHistory WHERE (nPlayUserId = ?) OR (nPlayedUserId = ?) ORDER BY tTime "
        "DESC");
    return [query, player](std::string* digest) {
      CKParam reply;
      reply.SetInt(codec::kReplyKindKey, codec::kTradeHistoryKind);
      query->BindInt(1, player);
      query->BindInt(2, player);
      if (!query->Execute()) return false;
      int rows = 0;
      while (query->Next()) {
        using codec::TradeKey;
        ++rows;
        const int id = query->Int(0);
        reply.SetInt(TradeKey(rows, codec::kTradePlayerField), query->Int(1));
        reply.SetInt(TradeKey(rows, codec::kTradeOtherField), query->Int(2));
        reply.SetInt(TradeKey(rows, codec::kTradePlayIdField), query->Int(3));
        reply.SetInt(TradeKey(rows, codec::kTradeTimeField), static_cast<int>(query->Seconds(4)));
        reply.SetInt(TradeKey(rows, codec::kTradeIdField), id);
      }
      query->Done();
      reply.SetInt(codec::kTradeCountKey, rows == 0 ? -1 : rows);
      HandOverAndRead(reply, digest);
      return true;
    };
  };
  return r;
}

struct Profile {
  std::u16string nick;
  int sex = 0;
  std::u16string face;
  int logined = 0;
};

Request FriendList(int friends) {
  Request r;
  r.name = "1610/friends:" + std::to_string(friends);
  const int player = w::FriendPlayer(friends);
  r.ours = [player] {
    return [player](std::string* digest) { return AskQuery(player, codec::kFriendListKind, digest, codec::kServerTimeKey); };
  };
  r.limit = [player](RawDb& db) -> Step {
    RawStatement* pass1 = db.Prepare(
        "SELECT nFriendId, nUserId FROM tblFriend WHERE (nUserId = ? OR nFriendId = ?)");
    RawStatement* pass2 =
        db.Prepare("SELECT sNick, nSex, sFacePic, bLogined FROM tblUser WHERE (nId = ?)");
    return [pass1, pass2, player](std::string* digest) {
      CKParam reply;
      reply.SetInt(codec::kReplyKindKey, codec::kFriendListKind);
      pass1->BindInt(1, player);
      pass1->BindInt(2, player);
      if (!pass1->Execute()) return false;
      std::vector<int> ids;
      while (pass1->Next()) {
        const int friend_side = pass1->Int(0);
        const int user_side = pass1->Int(1);
        if (friend_side != player) {
          ids.push_back(friend_side);
        } else if (user_side != player) {
          ids.push_back(user_side);
        }
      }
      pass1->Done();
      int written = static_cast<int>(ids.size());
      for (size_t i = 0; i < ids.size(); ++i) {
        pass2->BindInt(1, ids[i]);
        if (!pass2->Execute() || !pass2->Next()) {
          pass2->Done();
          --written;
          continue;
        }
        using codec::FriendKey;
        const int64_t position = static_cast<int64_t>(i + 1);
        reply.SetInt(FriendKey(position, codec::kFriendIdField), ids[i]);
        reply.SetCString(FriendKey(position, codec::kFriendNickField), pass2->Text(0));
        reply.SetInt(FriendKey(position, codec::kFriendSexField), pass2->Int(1));
        reply.SetCString(FriendKey(position, codec::kFriendFaceField), pass2->Text(2));
        reply.SetInt(FriendKey(position, codec::kFriendLoginField), pass2->Int(3));
        pass2->Done();
      }
      reply.SetInt(codec::kFriendCountKey, written);
      reply.SetInt(codec::kServerTimeKey, static_cast<int>(std::time(nullptr)));
      HandOverAndRead(reply, digest, codec::kServerTimeKey);
      return true;
    };
  };
  // The least work: the module's one statement joining the friendship rows
  // to the profiles, as the database family writes it.
  r.least = [player](RawDb& db) -> Step {
    const db::SqlFamily family = db.backend() == Backend::kSqlite     ? db::SqlFamily::kSqlite
                                 : db.backend() == Backend::kPostgres ? db::SqlFamily::kPostgres
                                                                      : db::SqlFamily::kMySql;
    RawStatement* join = db.Prepare(db::Sql(*queries::FriendListJoinText(family),
                                            {db::SqlValue::Integer(0), db::SqlValue::Integer(0),
                                             db::SqlValue::Integer(0)})
                                        .parameterized());
    return [join, player](std::string* digest) {
      CKParam reply;
      reply.SetInt(codec::kReplyKindKey, codec::kFriendListKind);
      for (int place = 1; place <= 3; ++place) join->BindInt(place, player);
      if (!join->Execute()) return false;
      int position = 0;
      int written = 0;
      while (join->Next()) {
        const int friend_side = join->Int(0);
        const int user_side = join->Int(1);
        const int id = friend_side != player ? friend_side : user_side;
        if (id == player) continue;
        ++position;
        if (join->Int(2) == 0) continue;  // no profile (a NULL id)
        using codec::FriendKey;
        reply.SetInt(FriendKey(position, codec::kFriendIdField), id);
        reply.SetCString(FriendKey(position, codec::kFriendNickField), join->Text(3));
        reply.SetInt(FriendKey(position, codec::kFriendSexField), join->Int(4));
        reply.SetCString(FriendKey(position, codec::kFriendFaceField), join->Text(5));
        reply.SetInt(FriendKey(position, codec::kFriendLoginField), join->Int(6));
        ++written;
      }
      join->Done();
      reply.SetInt(codec::kFriendCountKey, written);
      reply.SetInt(codec::kServerTimeKey, static_cast<int>(std::time(nullptr)));
      HandOverAndRead(reply, digest, codec::kServerTimeKey);
      return true;
    };
  };
  return r;
}

std::u16string Decimal(int value) { return ToWide(std::to_string(value)); }

std::u16string Number(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return std::u16string(text, text + std::strlen(text));
}

Request TradeItems() {
  Request r;
  r.name = "1615/items:" + std::to_string(w::kTradeItems);
  r.ours = [] { return [](std::string* digest) { return AskQuery(1, codec::kTradeItemsKind, digest); }; };
  r.limit = [](RawDb& db) -> Step {
    RawStatement* query = db.Prepare(
        "SELECT  nId, sTradeName, sTradeDesc, nPacificate, sTradeImage, nHeadX, nHeadY FROM "
        "tblFriendTradeItem");
    return [query](std::string* digest) {
      CKParam reply;
      reply.SetInt(codec::kReplyKindKey, codec::kTradeItemsKind);
      if (!query->Execute()) return false;
      int count = 0;
      std::u16string text;
      while (query->Next()) {
        ++count;
        const std::u16string image = query->Text(4);
        text.clear();
        text += u"id," + Decimal(query->Int(0)) + u";name," + query->Text(1) + u";desc," +
                query->Text(2) + u";pacificate," + Decimal(query->Int(3)) + u";image," +
                image + u";smallImage,small" + image + u";x," +
                Number("%f", static_cast<float>(query->Real(5))) + u";y," +
                Number("%f", static_cast<float>(query->Real(6))) + u";";
        reply.SetCString(codec::ItemKey(count), text);
      }
      query->Done();
      reply.SetInt(codec::kItemCountKey, count);
      HandOverAndRead(reply, digest);
      return true;
    };
  };
  return r;
}

// The rows of `rows` (nId, nFromUserId, sContent, tAddTime) as the reply's
// messages; the count of them.
int AddMessages(RawStatement* rows, CKParam& reply) {
  int count = 0;
  while (rows->Next()) {
    using codec::MessageKey;
    ++count;
    const int id = rows->Int(0);
    const int from = rows->Int(1);
    const std::u16string content = rows->Text(2);
    const int seconds = static_cast<int>(rows->Seconds(3));
    reply.SetInt(MessageKey(count, codec::kMessageIdField), id);
    reply.SetInt(MessageKey(count, codec::kMessageSenderField), from);
    reply.SetCString(MessageKey(count, codec::kMessageContentField), content);
    reply.SetInt(MessageKey(count, codec::kMessageTimeField), seconds);
  }
  rows->Done();
  reply.SetInt(codec::kMessageCountKey, count);
  return count;
}

// The request's own statements: the unread messages read, then marked
// read, in one transaction.
Step UnreadMessagesLimit(RawDb& db) {
  RawStatement* select = db.Prepare(
      "SELECT nId, nFromUserId, sContent, tAddTime FROM tblUserMsg WHERE (nRead = 0) AND "
      "(nUserId = ?) ");
  RawStatement* mark =
      db.Prepare("update tblUserMsg set nRead = 1 WHERE (nRead = 0) AND (nUserId = ?)");
  return [&db, select, mark](std::string* digest) {
    if (!db.Begin()) return false;
    CKParam reply;
    reply.SetInt(codec::kReplyKindKey, codec::kUnreadMessagesKind);
    select->BindInt(1, w::kReader);
    if (!select->Execute()) return false;
    AddMessages(select, reply);
    // The image is taken before the mark-read, as the handler does.
    const int length = reply.GetLength();
    std::unique_ptr<char[]> image(new char[length]);
    std::memcpy(image.get(), reply.GetBufferPtr(), static_cast<size_t>(length));
    mark->BindInt(1, w::kReader);
    const bool marked = mark->Execute();
    mark->Done();
    if (!db.Commit() || !marked) return false;
    char* bytes = image.release();
    ReadReply(bytes, length, digest);
    MyDeletePtr(bytes);
    return true;
  };
}

Request UnreadMessages() {
  Request r;
  r.name = "1620/messages:" + std::to_string(w::kUnreadMessages);
  r.ours = [] {
    return [](std::string* digest) { return AskQuery(w::kReader, codec::kUnreadMessagesKind, digest); };
  };
  r.limit = UnreadMessagesLimit;
  // Least: one statement marks the messages read and returns them, atomic
  // by itself. MariaDB's UPDATE returns no rows: there the request's own
  // statements are the least.
  r.least = [](RawDb& db) -> Step {
    if (db.backend() == Backend::kMariaDb) return UnreadMessagesLimit(db);
    RawStatement* take = db.Prepare(
        "UPDATE tblUserMsg SET nRead = 1 WHERE (nRead = 0) AND (nUserId = ?) "
        "RETURNING nId, nFromUserId, sContent, tAddTime");
    return [take](std::string* digest) {
      CKParam reply;
      reply.SetInt(codec::kReplyKindKey, codec::kUnreadMessagesKind);
      take->BindInt(1, w::kReader);
      if (!take->Execute()) return false;
      AddMessages(take, reply);
      HandOverAndRead(reply, digest);
      return true;
    };
  };
  r.reset_each = "UPDATE tblUserMsg SET nRead = 0 WHERE nUserId = " + std::to_string(w::kReader);
  r.unordered = true;
  return r;
}

}  // namespace

std::vector<Request> QueryRequests() {
  std::vector<Request> requests;
  for (int trades : {5, 50, 500}) requests.push_back(TradeHistory(trades));
  for (int friends : {1, 10, 100, 1000}) requests.push_back(FriendList(friends));
  requests.push_back(TradeItems());
  requests.push_back(UnreadMessages());
  return requests;
}

}  // namespace zelvar::bench
