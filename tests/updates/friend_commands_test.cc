// Messages, the end of a friendship and trade records through
// PutUserExtraDataFriend, on every backend.

#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db/text.h"
#include "db/time_text.h"
#include "support/scoped_tz.h"
#include "support/test_db.h"
#include "zelvar/zelvar.h"

namespace zelvar::test {
namespace {

using Rows = std::vector<std::vector<std::string>>;

// The rows of a query, NULL shown as "NULL".
Rows RowsOf(TestDatabase& db, const std::string& sql) {
  Rows rows;
  for (const auto& row : db.Query(sql)) {
    rows.emplace_back();
    for (const auto& field : row) rows.back().push_back(field.value_or("NULL"));
  }
  return rows;
}

void ExpectRecentTime(const std::string& text) {
  const int64_t stored = ParseTimeText(text.c_str());
  const int64_t now = ParseTimeText(NowText().c_str());
  EXPECT_LE(std::llabs(now - stored), 2) << text;
}

int Put(int user_id, CKParam& packet, int data_id = 0) {
  return PutUserExtraDataFriend(user_id, data_id, packet.GetBufferPtr(), packet.GetLength());
}

CKParam Message(int recipient, const std::u16string& content) {
  CKParam packet;
  packet.SetInt(1, 1500);
  packet.SetInt(200, recipient);
  packet.SetCString(201, content);
  return packet;
}

CKParam Trade(int partner, int play_id) {
  CKParam packet;
  packet.SetInt(1, 1510);
  packet.SetInt(300, partner);
  packet.SetInt(301, play_id);
  return packet;
}

CKParam Unfriend(int former_friend) {
  CKParam packet;
  packet.SetInt(1, 1505);
  packet.SetInt(100, former_friend);
  return packet;
}

class FriendCommands : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(GetParam());
    if (!db_) {
      if (!IsSkipped()) FAIL() << "no test database";
      return;
    }
    db_->Use();
  }

  void Befriend(int user_id, int friend_id) {
    db_->Exec("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (" + std::to_string(user_id) +
              ", " + std::to_string(friend_id) + ")");
  }
  int64_t Count(const std::string& table) {
    return db_->QueryInt("SELECT COUNT(*) FROM " + table);
  }

  ScopedTempDir dir_;
  std::unique_ptr<TestDatabase> db_;
};

TEST_P(FriendCommands, RefusesMalformedRequestsWithoutRunningAnything) {
  Befriend(1, 2);

  EXPECT_EQ(PutUserExtraDataFriend(1, 0, nullptr, 64), -1);
  // Shorter than a header: not a byte may be read (a sanitizer build sees
  // a read past the 4-byte array).
  auto tiny = std::make_unique<char[]>(4);
  EXPECT_EQ(PutUserExtraDataFriend(1, 0, tiny.get(), 4), -1);

  CKParam good = Message(2, u"hello");
  EXPECT_EQ(PutUserExtraDataFriend(1, 0, good.GetBufferPtr(), good.GetLength() - 1), -1);

  CKParam as_short;
  as_short.SetShortInt(1, 1500);
  CKParam as_long;
  as_long.SetLong(1, 1500);
  CKParam unknown;
  unknown.SetInt(1, 1501);
  CKParam no_command;
  for (CKParam* packet : {&as_short, &as_long, &unknown, &no_command}) {
    packet->SetInt(200, 2);
    packet->SetCString(201, u"hello");
    EXPECT_EQ(Put(1, *packet), -1);
  }

  CKParam no_recipient;
  no_recipient.SetInt(1, 1500);
  no_recipient.SetCString(201, u"hello");
  CKParam content_as_bytes;
  content_as_bytes.SetInt(1, 1500);
  content_as_bytes.SetInt(200, 2);
  content_as_bytes.SetChar(201, "hello", 5);
  EXPECT_EQ(Put(1, no_recipient), -1);
  EXPECT_EQ(Put(1, content_as_bytes), -1);
  EXPECT_EQ(Count("tblUserMsg"), 0);

  EXPECT_EQ(Put(1, good), 0);
  EXPECT_EQ(Count("tblUserMsg"), 1);
}

TEST_P(FriendCommands, MessageIsStoredUnreadBetweenFriendsOnly) {
  Befriend(2, 1);  // stored the other way round
  Befriend(1, 3);

  const std::u16string content = u"it's a \\'' test %s %d 中文 😀'); DELETE FROM tblFriend; --";
  CKParam to_friend = Message(2, content);
  // The request code matters to invitations only.
  EXPECT_EQ(Put(1, to_friend, 1550), 0);
  CKParam to_stranger = Message(4, u"hi");
  EXPECT_EQ(Put(1, to_stranger), -1);
  CKParam stranger_to_friend = Message(1, u"hi");
  EXPECT_EQ(Put(3, stranger_to_friend), 0);
  EXPECT_EQ(Put(4, stranger_to_friend), -1);

  const Rows rows = RowsOf(*db_,
                           "SELECT nUserId, sContent, nRead, nFromUserId, nAll, tAddTime "
                           "FROM tblUserMsg ORDER BY nFromUserId");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"2", ToNarrow(content), "0", "1", "0",
                                               rows[0][5]}));
  EXPECT_EQ(rows[1][0], "1");
  EXPECT_EQ(rows[1][3], "3");
  ExpectRecentTime(rows[0][5]);
  EXPECT_EQ(Count("tblFriend"), 2);
}

TEST_P(FriendCommands, TradeIsRecordedWithDurationTenInLocalTime) {
  Befriend(2, 1);
  for (const char* zone : {"UTC", "Asia/Shanghai", "America/New_York"}) {
    ScopedTimeZone tz(zone);
    CKParam trade = Trade(2, 77);
    EXPECT_EQ(Put(1, trade), 0);
    const Rows rows = RowsOf(*db_,
                             "SELECT nPlayUserId, nPlayedUserId, nPlayId, tDuration, tTime "
                             "FROM tblFriendTradeHistory");
    ASSERT_EQ(rows.size(), 1u) << zone;
    EXPECT_EQ(rows[0], (std::vector<std::string>{"1", "2", "77", "10", rows[0][4]}));
    ExpectRecentTime(rows[0][4]);
    db_->Exec("DELETE FROM tblFriendTradeHistory");
  }

  CKParam with_stranger = Trade(5, 77);
  CKParam no_play_id;
  no_play_id.SetInt(1, 1510);
  no_play_id.SetInt(300, 2);
  EXPECT_EQ(Put(1, with_stranger), -1);
  EXPECT_EQ(Put(1, no_play_id), -1);
  EXPECT_EQ(Count("tblFriendTradeHistory"), 0);
}

TEST_P(FriendCommands, FailedInsertIsReported) {
  Befriend(1, 2);
  db_->Exec("DROP TABLE tblUserMsg");
  CKParam message = Message(2, u"hello");
  EXPECT_EQ(Put(1, message), -1);
}

TEST_P(FriendCommands, EndingFriendshipRemovesBothDirectionsAndNothingElse) {
  Befriend(1, 2);
  Befriend(2, 1);
  Befriend(1, 3);
  Befriend(3, 2);
  db_->Exec(
      "INSERT INTO tblFriendTradeHistory (nPlayUserId, nPlayedUserId, nPlayId, tTime, tDuration) "
      "VALUES (1, 2, 5, '2020-01-02 03:04:05', 10), (2, 1, 6, '2020-01-02 03:04:05', 10), "
      "(1, 3, 7, '2020-01-02 03:04:05', 10), (3, 2, 8, '2020-01-02 03:04:05', 10)");

  CKParam unfriend = Unfriend(2);
  EXPECT_EQ(Put(1, unfriend), 0);
  EXPECT_EQ(RowsOf(*db_, "SELECT nUserId, nFriendId FROM tblFriend ORDER BY nUserId"),
            (Rows{{"1", "3"}, {"3", "2"}}));
  EXPECT_EQ(RowsOf(*db_, "SELECT nPlayId FROM tblFriendTradeHistory ORDER BY nPlayId"),
            (Rows{{"7"}, {"8"}}));

  CKParam not_a_friend = Unfriend(9);
  EXPECT_EQ(Put(1, not_a_friend), 0);
  CKParam no_friend_key;
  no_friend_key.SetInt(1, 1505);
  EXPECT_EQ(Put(1, no_friend_key), -1);
  EXPECT_EQ(Count("tblFriend"), 2);
}

TEST_P(FriendCommands, FailedEndOfFriendshipChangesNothing) {
  Befriend(1, 2);
  db_->Exec("DROP TABLE tblFriendTradeHistory");  // the second delete fails
  CKParam unfriend = Unfriend(2);
  EXPECT_EQ(Put(1, unfriend), -1);
  EXPECT_EQ(Count("tblFriend"), 1);
}

// A trade racing with the end of the friendship either lands first and
// goes with the friendship, or is refused: no history outlives it.
TEST_P(FriendCommands, TradeRacingEndOfFriendshipLeavesNoHistory) {
  for (int round = 0; round < 30; ++round) {
    Befriend(1, 2);
    int trade_result = 0;
    int unfriend_result = 0;
    std::thread trader([&] {
      CKParam trade = Trade(2, round);
      trade_result = Put(1, trade);
    });
    std::thread remover([&] {
      CKParam unfriend = Unfriend(1);
      unfriend_result = Put(2, unfriend);
    });
    trader.join();
    remover.join();
    ASSERT_EQ(unfriend_result, 0) << round;
    ASSERT_EQ(Count("tblFriend"), 0) << round;
    ASSERT_EQ(Count("tblFriendTradeHistory"), 0) << round << " trade " << trade_result;
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, FriendCommands, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
