// Kind 1620: unread messages, delivered once and then marked read.

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db/runner.h"
#include "db/sql.h"
#include "queries/query_fixture.h"
#include "util/text.h"
#include "util/time_text.h"

namespace zelvar::test {
namespace {

struct Message {
  int from;
  std::u16string content;
  int time;
  bool operator==(const Message&) const = default;
};

// The messages of a reply by id; each present message has all four keys.
std::map<int, Message> MessagesOf(Reply& reply) {
  std::map<int, Message> messages;
  const int count = reply.Int(10000).value_or(-1);
  for (int m = 1; m <= count; ++m) {
    const short base = static_cast<short>(10000 + 100 * m);
    const std::optional<int> id = reply.Int(base + 1);
    EXPECT_TRUE(id.has_value()) << "message " << m;
    if (!id) continue;
    EXPECT_TRUE(messages
                    .emplace(*id, Message{reply.Int(base + 2).value_or(-99),
                                          reply.Text(base + 3).value_or(u"?"),
                                          reply.Int(base + 4).value_or(-99)})
                    .second)
        << "message " << *id << " delivered twice";
  }
  return messages;
}

class UnreadMessages : public QueryTest {
 protected:
  // `content` and `time` are SQL literals (possibly NULL).
  void AddMessage(int id, int to, int from, const std::string& content, const std::string& time,
                  int read) {
    db_->Exec("INSERT INTO tblUserMsg (nId, nUserId, sContent, tAddTime, nRead, nFromUserId, "
              "nAll) VALUES (" +
              std::to_string(id) + ", " + std::to_string(to) + ", " + content + ", " + time +
              ", " + std::to_string(read) + ", " + std::to_string(from) + ", 0)");
  }
};

TEST_P(UnreadMessages, DeliversUnreadOnceAndMarksThemRead) {
  AddMessage(1, 5, 6, "'hello'", "'2011-05-03 12:34:56'", 0);
  AddMessage(2, 5, 7, "'你好，世界 🌍😀'", "'2011-12-31 23:59:59'", 0);
  AddMessage(3, 5, 6, "'seen'", "'2011-01-01 00:00:00'", 1);
  AddMessage(4, 8, 6, "'for someone else'", "'2011-01-01 00:00:00'", 0);

  Reply reply = Ask(5, 1620);
  ASSERT_EQ(reply.result, 0);
  EXPECT_EQ(reply.Int(10000), 2);
  ASSERT_TRUE(reply.Int(10101).has_value());
  EXPECT_EQ(reply.packet.GetPacketNum(), 1 + 2 * 4 + 1);
  EXPECT_EQ(MessagesOf(reply),
            (std::map<int, Message>{
                {1, {6, u"hello", static_cast<int>(LocalSeconds(2011, 5, 3, 12, 34, 56))}},
                {2,
                 {7, u"你好，世界 🌍😀",
                  static_cast<int>(LocalSeconds(2011, 12, 31, 23, 59, 59))}}}));

  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblUserMsg WHERE nUserId = 5 AND nRead = 0"), 0);
  EXPECT_EQ(db_->QueryInt("SELECT nRead FROM tblUserMsg WHERE nId = 4"), 0);
  EXPECT_EQ(Ask(5, 1620).Int(10000), 0);
  EXPECT_EQ(Ask(8, 1620).Int(10000), 1);
}

TEST_P(UnreadMessages, MessageWithoutTextOrTimeIsDeliveredNotDropped) {
  AddMessage(1, 5, 6, "NULL", "'2011-05-03 12:34:56'", 0);
  AddMessage(2, 5, 6, "'late'", "NULL", 0);
  Reply reply = Ask(5, 1620);
  EXPECT_EQ(MessagesOf(reply),
            (std::map<int, Message>{
                {1, {6, u"", static_cast<int>(LocalSeconds(2011, 5, 3, 12, 34, 56))}},
                {2, {6, u"late", 0}}}));
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblUserMsg WHERE nRead = 0"), 0);
}

TEST_P(UnreadMessages, FailedMarkReadStillDeliversAndKeepsThemUnread) {
  db_->RefuseWrites("tblUserMsg", "UPDATE", "refused");
  AddMessage(1, 5, 6, "'again'", "'2011-05-03 12:34:56'", 0);
  for (int call = 0; call < 2; ++call) {
    Reply reply = Ask(5, 1620);
    ASSERT_EQ(reply.result, 0);
    EXPECT_EQ(MessagesOf(reply).size(), 1u) << call;
  }
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblUserMsg WHERE nRead = 0"), 1);
}

// A host may keep the content in a long text column, where a NULL has no
// text form at all; the message still comes, with empty text.
TEST_P(UnreadMessages, NullInLongTextColumnIsDeliveredAsEmptyText) {
  db_->Exec("DROP TABLE tblUserMsg");
  db_->Exec(std::string("CREATE TABLE tblUserMsg (nId INTEGER PRIMARY KEY, nUserId INT, "
                        "sContent TEXT, tAddTime ") +
            (GetParam() == Backend::kSqlite ? "DATETIME" : "timestamp(0)") +
            ", nRead INT, nFromUserId INT, nAll INT)");
  AddMessage(1, 5, 6, "NULL", "'2011-05-03 12:34:56'", 0);
  AddMessage(2, 5, 7, "'long text'", "'2011-05-03 12:34:56'", 0);
  Reply reply = Ask(5, 1620);
  const int time = static_cast<int>(LocalSeconds(2011, 5, 3, 12, 34, 56));
  EXPECT_EQ(MessagesOf(reply),
            (std::map<int, Message>{{1, {6, u"", time}}, {2, {7, u"long text", time}}}));
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblUserMsg WHERE nRead = 0"), 0);
}

// Two senders keep storing messages while the recipient keeps reading:
// each message must come exactly once, none marked read undelivered.
TEST_P(UnreadMessages, ConcurrentSendsAreEachDeliveredOnce) {
  constexpr int kRecipient = 30;
  constexpr int kPerSender = 40;
  std::atomic<int> senders_left{2};
  std::atomic<int> failed_sends{0};
  // Stored through the module's own runner for a statement alone, as an
  // invitation row is; on MariaDB such an insert may deadlock with the
  // reader marking messages read, and must then run again.
  auto send = [&](int sender) {
    for (int i = 0; i < kPerSender; ++i) {
      const db::Sql insert(
          "Insert into tblUserMsg (nUserId, sContent, tAddTime, nRead, nFromUserId, nAll) "
          "values (%d, '%s', '%s', 0, %d, 0)",
          {db::SqlValue::Integer(kRecipient),
           db::SqlValue::Text(ToWide(std::to_string(sender) + ":" + std::to_string(i))),
           db::SqlValue::DateTime(NowText()), db::SqlValue::Integer(sender)});
      if (db::ExecuteSql(insert, nullptr) != 0) ++failed_sends;
      // Paced so that reads fall between the sends.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    --senders_left;
  };

  std::map<std::u16string, int> delivered;  // content -> times delivered
  auto read_once = [&] {
    Reply reply = Ask(kRecipient, 1620);
    EXPECT_EQ(reply.result, 0);
    for (const auto& [id, message] : MessagesOf(reply)) ++delivered[message.content];
  };
  std::thread first(send, 31);
  std::thread second(send, 32);
  while (senders_left > 0) read_once();
  first.join();
  second.join();
  read_once();

  EXPECT_EQ(failed_sends, 0);
  EXPECT_EQ(delivered.size(), static_cast<size_t>(2 * kPerSender));
  for (const auto& [content, times] : delivered) {
    EXPECT_EQ(times, 1) << ToNarrow(content);
  }
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblUserMsg WHERE nRead = 0"), 0);
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblUserMsg"), 2 * kPerSender);
}

INSTANTIATE_TEST_SUITE_P(Backends, UnreadMessages, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
