// Kind 1620: the user's unread messages, which are then marked read.
// Message m (from 1) is written at keys 10000 + 100m + 1 to + 4; key 10000
// closes with the number of messages.
//
// The read and the mark-read run in one transaction, so a message that
// arrives in between is neither delivered nor marked, and comes with the
// next call. When the mark-read does not hold, the reply still goes out
// and the messages stay unread for the next call: a message may come
// twice, but none is marked read without having been delivered. A read
// never fails for another's write lock: when the transaction can't have
// that lock soon, the messages are read without it and handed out
// unmarked.

#include <chrono>
#include <exception>
#include <memory>
#include <utility>

#include "codec/keys.h"
#include "codec/reply_packet.h"
#include "db/runner.h"
#include "db/sql.h"
#include "db/transaction.h"
#include "queries/kinds.h"
#include "queries/reply.h"

namespace zelvar::queries {

namespace {

// Outcomes of one attempt of the transaction's body, beside 0 (committed).
constexpr int kNoReply = -1;
constexpr int kNotMarked = 1;

// The longest wait for the write lock before the messages go out unmarked:
// far beyond any write of the module's own, far below the request's time.
constexpr auto kMarkReadLockWait = std::chrono::seconds(2);

// Builds the reply from the unread rows in `messages`.
void WriteMessages(const db::RecordsetHandle& messages, codec::ReplyPacket* packet) {
  int32_t count = 0;
  ForEachCompleteRow(messages, {"nId", "nFromUserId", "tAddTime", "sContent"},
                     [&](const std::vector<db::Variant>& field) {
                       using codec::MessageKey;
                       const int64_t seconds = SecondsOf(field[2]);
                       ++count;
                       packet->SetInt(MessageKey(count, codec::kMessageIdField), field[0].Int32());
                       packet->SetInt(MessageKey(count, codec::kMessageSenderField),
                                      field[1].Int32());
                       packet->SetText(MessageKey(count, codec::kMessageContentField),
                                       TextOf(field[3]));
                       packet->SetInt(MessageKey(count, codec::kMessageTimeField), Low32(seconds));
                     });
  packet->SetInt(codec::kMessageCountKey, count);
}

}  // namespace

int QueryUnreadMessages(int32_t user_id, char** reply, int* reply_length) {
  const db::Sql select(
      "SELECT nId, nFromUserId, sContent, tAddTime FROM tblUserMsg WHERE (nRead = 0) AND "
      "(nUserId = %d) ",
      {db::SqlValue::Integer(user_id)});
  const db::Sql mark_read(
      "update tblUserMsg set nRead = 1 WHERE (nRead = 0) AND (nUserId = %d)",
      {db::SqlValue::Integer(user_id)});

  // The reply of the last attempt; the body may run more than once.
  std::unique_ptr<char[]> image;
  int length = 0;
  const auto build = [&](const db::RecordsetHandle& messages) {
    image.reset();
    length = 0;
    try {
      codec::ReplyPacket packet(codec::kUnreadMessagesKind);
      WriteMessages(messages, &packet);
      image = packet.TakeImage(&length);
    } catch (const std::exception&) {
      image.reset();
    }
  };
  db::TransactionOptions options;
  options.write_lock_wait = kMarkReadLockWait;
  const int result = db::RunTransaction(
      [&](db::Transaction& transaction) -> int {
        image.reset();
        db::RecordsetHandle messages;
        if (transaction.Query(select, messages, nullptr) != 0) return kNoReply;
        build(messages);
        // Nothing is marked read unless the reply stands ready.
        if (image == nullptr) return kNoReply;
        if (transaction.Execute(mark_read, nullptr) != 0) return kNotMarked;
        return 0;
      },
      nullptr, options);
  if (result == db::kWriteLockBusy) {
    db::RecordsetHandle messages;
    if (db::QuerySql(select, messages, nullptr) == 0) build(messages);
  }
  // Committed or not, a reply that was built goes out: without the commit
  // nothing was marked read.
  return codec::HandOut(std::move(image), length, reply, reply_length);
}

}  // namespace zelvar::queries
