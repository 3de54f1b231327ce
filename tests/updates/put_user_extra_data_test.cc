// PutUserExtraDataFriend on every backend: refused requests, messages, the
// end of a friendship, trades, invitation records and the SQL log.

#include <climits>
#include <cstdlib>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/scoped_tz.h"
#include "support/test_db.h"
#include "util/text.h"
#include "util/time_text.h"
#include "zelvar/zelvar.h"

namespace zelvar::test {
namespace {

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

void ExpectRecent(const std::string& time_text) {
  const int64_t now = ParseTimeText(NowText().c_str());
  EXPECT_LE(std::llabs(now - ParseTimeText(time_text.c_str())), 2) << time_text;
}

int Put(int user_id, CKParam& packet, int data_id = 0) {
  return PutUserExtraDataFriend(user_id, data_id, packet.GetBufferPtr(), packet.GetLength());
}

CKParam Command(int command, std::initializer_list<std::pair<short, int>> ints = {}) {
  CKParam packet;
  packet.SetInt(1, command);
  for (const auto& [key, value] : ints) packet.SetInt(key, value);
  return packet;
}

CKParam Message(int recipient, const std::u16string& content) {
  CKParam packet = Command(1500, {{200, recipient}});
  packet.SetCString(201, content);
  return packet;
}

class UpdateRequest : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(GetParam());
    if (!db_) {
      if (!IsSkipped()) FAIL() << "no test database";
      return;
    }
    db_->Use();
  }

  // The rows of a query, NULL shown as "NULL".
  Rows Select(const std::string& sql) {
    Rows rows;
    for (const auto& row : db_->Query(sql)) {
      rows.emplace_back();
      for (const auto& field : row) rows.back().push_back(field.value_or("NULL"));
    }
    return rows;
  }
  int64_t Count(const std::string& table) {
    return db_->QueryInt("SELECT COUNT(*) FROM " + table);
  }
  void Befriend(int user_id, int friend_id) {
    db_->Exec("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (" + std::to_string(user_id) +
              ", " + std::to_string(friend_id) + ")");
  }

  ScopedTempDir dir_;
  std::unique_ptr<TestDatabase> db_;
};

// ---- Messages, friendships and trades ----

class FriendCommands : public UpdateRequest {};

TEST_P(FriendCommands, RefusesMalformedRequestsWithoutRunningAnything) {
  Befriend(1, 2);
  EXPECT_EQ(PutUserExtraDataFriend(1, 0, nullptr, 64), -1);
  // Shorter than a header: not a byte may be read (a sanitizer build sees
  // a read past the 4-byte array).
  auto tiny = std::make_unique<char[]>(4);
  EXPECT_EQ(PutUserExtraDataFriend(1, 0, tiny.get(), 4), -1);
  CKParam good = Message(2, u"hello");
  EXPECT_EQ(PutUserExtraDataFriend(1, 0, good.GetBufferPtr(), good.GetLength() - 1), -1);

  CKParam as_short, as_long, no_command;
  as_short.SetShortInt(1, 1500);
  as_long.SetLong(1, 1500);
  CKParam unknown = Command(1501);
  for (CKParam* packet : {&as_short, &as_long, &unknown, &no_command}) {
    packet->SetInt(200, 2);
    packet->SetCString(201, u"hello");
    EXPECT_EQ(Put(1, *packet), -1);
  }
  CKParam no_recipient = Command(1500);
  no_recipient.SetCString(201, u"hello");
  CKParam content_as_bytes = Command(1500, {{200, 2}});
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
  EXPECT_EQ(Put(1, to_friend, 1550), 0);  // the request code matters to invitations only
  CKParam to_stranger = Message(4, u"hi");
  EXPECT_EQ(Put(1, to_stranger), -1);
  CKParam to_user_1 = Message(1, u"hi");
  EXPECT_EQ(Put(3, to_user_1), 0);
  EXPECT_EQ(Put(4, to_user_1), -1);

  const Rows rows = Select(
      "SELECT nUserId, sContent, nRead, nFromUserId, nAll, tAddTime FROM tblUserMsg "
      "ORDER BY nFromUserId");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (Row{"2", ToNarrow(content), "0", "1", "0", rows[0][5]}));
  EXPECT_EQ(rows[1], (Row{"1", "hi", "0", "3", "0", rows[1][5]}));
  ExpectRecent(rows[0][5]);
  EXPECT_EQ(Count("tblFriend"), 2);

  db_->Exec("DROP TABLE tblUserMsg");
  EXPECT_EQ(Put(1, to_friend), -1);
}

TEST_P(FriendCommands, TradeIsRecordedWithDurationTenInLocalTime) {
  Befriend(2, 1);
  for (const char* zone : {"UTC", "Asia/Shanghai", "America/New_York"}) {
    ScopedTimeZone tz(zone);
    CKParam trade = Command(1510, {{300, 2}, {301, 77}});
    EXPECT_EQ(Put(1, trade), 0);
    const Rows rows = Select(
        "SELECT nPlayUserId, nPlayedUserId, nPlayId, tDuration, tTime FROM tblFriendTradeHistory");
    ASSERT_EQ(rows.size(), 1u) << zone;
    EXPECT_EQ(rows[0], (Row{"1", "2", "77", "10", rows[0][4]}));
    ExpectRecent(rows[0][4]);
    db_->Exec("DELETE FROM tblFriendTradeHistory");
  }
  CKParam with_stranger = Command(1510, {{300, 5}, {301, 77}});
  CKParam no_play_id = Command(1510, {{300, 2}});
  EXPECT_EQ(Put(1, with_stranger), -1);
  EXPECT_EQ(Put(1, no_play_id), -1);
  EXPECT_EQ(Count("tblFriendTradeHistory"), 0);
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
  CKParam unfriend = Command(1505, {{100, 2}});
  EXPECT_EQ(Put(1, unfriend), 0);
  EXPECT_EQ(Select("SELECT nUserId, nFriendId FROM tblFriend ORDER BY nUserId"),
            (Rows{{"1", "3"}, {"3", "2"}}));
  EXPECT_EQ(Select("SELECT nPlayId FROM tblFriendTradeHistory ORDER BY nPlayId"),
            (Rows{{"7"}, {"8"}}));

  CKParam not_a_friend = Command(1505, {{100, 9}});
  CKParam no_friend_key = Command(1505);
  EXPECT_EQ(Put(1, not_a_friend), 0);
  EXPECT_EQ(Put(1, no_friend_key), -1);
  EXPECT_EQ(Count("tblFriend"), 2);

  // When the second delete fails the first is undone: a failure means
  // nothing changed.
  db_->Exec("DROP TABLE tblFriendTradeHistory");
  CKParam unfriend_3 = Command(1505, {{100, 3}});
  EXPECT_EQ(Put(1, unfriend_3), -1);
  EXPECT_EQ(Count("tblFriend"), 2);
}

// A trade racing with the end of the friendship either lands first and
// goes with the friendship, or is refused: no history outlives it.
TEST_P(FriendCommands, TradeRacingEndOfFriendshipLeavesNoHistory) {
  for (int round = 0; round < 100; ++round) {
    Befriend(1, 2);
    int trade_result = 0, unfriend_result = 0;
    std::latch start(2);
    std::thread trader([&] {
      CKParam trade = Command(1510, {{300, 2}, {301, round}});
      start.arrive_and_wait();
      trade_result = Put(1, trade);
    });
    std::thread remover([&] {
      CKParam unfriend = Command(1505, {{100, 1}});
      start.arrive_and_wait();
      unfriend_result = Put(2, unfriend);
    });
    trader.join();
    remover.join();
    ASSERT_EQ(unfriend_result, 0) << round;
    ASSERT_EQ(Count("tblFriend"), 0) << round;
    ASSERT_EQ(Count("tblFriendTradeHistory"), 0) << round << ", trade answered " << trade_result;
  }
}

// ---- Invitation records and the SQL log ----

struct Invitation {
  std::u16string code;
  int state;
  std::u16string email;
  int group;
  std::u16string note;
  int zone;
  int reply;
};

const Invitation kPlain{u"CODE1", 2, u"a@example.com", 4, u"note", 9, 1};
const Invitation kAwkward{u"c'o\\de''", 3, u"李雷@例子.中国", 5, u"it's 😀 \\n %s 备注", -1, 0};

short Key(int row, int field) { return static_cast<short>(row * 100 + field); }

// Writes the row's fields in order, leaving out the one at `missing`.
void AddRow(CKParam& packet, int row, const Invitation& invitation, int missing = 0) {
  if (missing != 1) packet.SetCString(Key(row, 1), invitation.code);
  if (missing != 2) packet.SetInt(Key(row, 2), invitation.state);
  if (missing != 3) packet.SetCString(Key(row, 3), invitation.email);
  if (missing != 4) packet.SetInt(Key(row, 4), invitation.group);
  if (missing != 5) packet.SetCString(Key(row, 5), invitation.note);
  if (missing != 6) packet.SetInt(Key(row, 6), invitation.zone);
  if (missing != 7) packet.SetInt(Key(row, 7), invitation.reply);
}

class InvitationCommand : public UpdateRequest {
 protected:
  Rows Stored() {
    return Select(
        "SELECT nUserid, nGroup, sInviteCode, sInvitedEmail, nState, nZoneId, sNote, nReply, "
        "tAddtime FROM tblInviteRecord ORDER BY nGroup");
  }
};

TEST_P(InvitationCommand, RefusesWrongRequestCodeAndMissingRowCount) {
  CKParam packet = Command(1550, {{-100, 1}});
  AddRow(packet, 1, kPlain);
  EXPECT_EQ(Put(7, packet, 1500), -1);

  CKParam no_count = Command(1550);
  CKParam count_as_short = Command(1550);
  count_as_short.SetShortInt(-100, 1);
  CKParam no_rows = Command(1550, {{-100, 0}});
  for (CKParam* other : {&no_count, &count_as_short, &no_rows}) AddRow(*other, 1, kPlain);
  EXPECT_EQ(Put(7, no_count, 1550), -1);
  EXPECT_EQ(Put(7, count_as_short, 1550), -1);
  EXPECT_EQ(Put(7, no_rows, 1550), 0);
  EXPECT_EQ(Count("tblInviteRecord"), 0);

  EXPECT_EQ(Put(7, packet, 1550), 0);
  EXPECT_EQ(Count("tblInviteRecord"), 1);
}

TEST_P(InvitationCommand, StoresCompleteRowsExactlyWithOneTime) {
  CKParam packet = Command(1550, {{-100, 5}});
  AddRow(packet, 1, Invitation{u"E", 1, u"e@x", 1, u"", 1, 1});
  AddRow(packet, 2, Invitation{u"M", 1, u"m@x", 2, u"n", 1, 1}, /*missing=*/5);
  AddRow(packet, 3, kAwkward);
  packet.SetCString(Key(4, 1), u"T");  // the state comes as a short: the row is skipped
  packet.SetShortInt(Key(4, 2), 1);
  AddRow(packet, 5, kPlain, /*missing=*/7);
  EXPECT_EQ(Put(7, packet, 1550), 0);

  const Rows rows = Stored();
  ASSERT_EQ(rows.size(), 2u);
  const std::string when = rows[0][8];
  EXPECT_EQ(rows[0], (Row{"7", "1", "E", "e@x", "1", "1", "缺失remark", "1", when}));
  EXPECT_EQ(rows[1], (Row{"7", "5", ToNarrow(kAwkward.code), ToNarrow(kAwkward.email), "3",
                          "-1", ToNarrow(kAwkward.note), "0", when}));
  ExpectRecent(when);
}

// Keys are 16-bit: row 400 lies at negative keys, and row 16,385 would read
// the keys of row 1 again.
TEST_P(InvitationCommand, ReadsEachDistinctRowOnce) {
  for (int row_count : {16385, INT_MAX}) {
    CKParam packet = Command(1550, {{-100, row_count}});
    AddRow(packet, 1, kPlain);
    AddRow(packet, 400, Invitation{u"FAR", 1, u"f@x", 6, u"far", 1, 1});
    EXPECT_EQ(Put(7, packet, 1550), 0);
    const Rows rows = Stored();
    ASSERT_EQ(rows.size(), 2u) << row_count;
    EXPECT_EQ(rows[0][2], "CODE1");
    EXPECT_EQ(rows[1][2], "FAR");
    db_->Exec("DELETE FROM tblInviteRecord");
  }
}

TEST_P(InvitationCommand, LogsEachCompleteRowOnRequest) {
  CKParam unlogged = Command(1550, {{-100, 1}});
  AddRow(unlogged, 1, kPlain);
  CKParam logging_off = unlogged;
  logging_off.SetBoolean(-300, false);
  EXPECT_EQ(Put(7, unlogged, 1550), 0);
  EXPECT_EQ(Put(7, logging_off, 1550), 0);
  EXPECT_EQ(dir_.ReadFile("ZelvarSQL.log"), "");
  db_->Exec("DELETE FROM tblInviteRecord");

  // A long Chinese note, three bytes a character: the record keeps it whole.
  const Invitation chinese{u"Z", 1, u"z@x", 2, std::u16string(300, u'备'), 3, 4};
  CKParam packet = Command(1550, {{-100, 3}});
  AddRow(packet, 1, kAwkward);
  AddRow(packet, 2, kPlain, /*missing=*/1);
  AddRow(packet, 3, chinese);
  packet.SetBoolean(-300, true);
  EXPECT_EQ(Put(7, packet, 1550), 0);

  const std::string when = Stored().at(0).at(8);
  const std::string insert =
      "调用SQL：INSERT INTO tblInviteRecord (nUserid,nGroup,sInviteCode,sInvitedEmail,nState,"
      "tAddtime,nZoneId,sNote,nReply) VALUES (";
  const std::string first = insert + "7,5,'c''o\\de''''','李雷@例子.中国',3,'" + when +
                            "',-1,'it''s 😀 \\n %s 备注',0)";
  const std::string second =
      insert + "7,2,'Z','z@x',1,'" + when + "',3,'" + ToNarrow(chinese.note) + "',4)";

  const std::string log = dir_.ReadFile("ZelvarSQL.log");
  ASSERT_EQ(log.size(), 20 + first.size() + 20 + second.size());
  EXPECT_EQ(log.substr(20, first.size()), first);
  EXPECT_EQ(log.substr(40 + first.size()), second);
  for (size_t at : {size_t{0}, 20 + first.size()}) {
    EXPECT_EQ(log[at + 19], '\0');
    ExpectRecent(log.substr(at, 19));
  }

  // Statements that fail are logged all the same, and the request succeeds.
  db_->Exec("DROP TABLE tblInviteRecord");
  EXPECT_EQ(Put(7, packet, 1550), 0);
  EXPECT_EQ(dir_.ReadFile("ZelvarSQL.log").size(), 2 * log.size());
}

INSTANTIATE_TEST_SUITE_P(Backends, FriendCommands, testing::ValuesIn(AllBackends()),
                         BackendParamName);
INSTANTIATE_TEST_SUITE_P(Backends, InvitationCommand, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
