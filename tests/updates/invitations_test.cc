// Invitation records (command 1550) and the SQL log, on every backend.

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/text.h"
#include "db/time_text.h"
#include "support/test_db.h"
#include "zelvar/zelvar.h"

namespace zelvar::test {
namespace {

using Rows = std::vector<std::vector<std::string>>;

constexpr char kSelectInvitations[] =
    "SELECT nUserid, nGroup, sInviteCode, sInvitedEmail, nState, nZoneId, sNote, nReply, "
    "tAddtime FROM tblInviteRecord ORDER BY nGroup";

struct Invitation {
  std::u16string code;
  int state;
  std::u16string email;
  int group;
  std::u16string note;
  int zone;
  int reply;
};

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

CKParam Invitations(int row_count) {
  CKParam packet;
  packet.SetInt(1, 1550);
  packet.SetInt(-100, row_count);
  return packet;
}

int Put(int user_id, CKParam& packet, int data_id = 1550) {
  return PutUserExtraDataFriend(user_id, data_id, packet.GetBufferPtr(), packet.GetLength());
}

class InvitationCommand : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(GetParam());
    if (!db_) {
      if (!IsSkipped()) FAIL() << "no test database";
      return;
    }
    db_->Use();
  }

  Rows Stored() {
    Rows rows;
    for (const auto& row : db_->Query(kSelectInvitations)) {
      rows.emplace_back();
      for (const auto& field : row) rows.back().push_back(field.value_or("NULL"));
    }
    return rows;
  }
  int64_t Count() { return db_->QueryInt("SELECT COUNT(*) FROM tblInviteRecord"); }

  ScopedTempDir dir_;
  std::unique_ptr<TestDatabase> db_;
};

const Invitation kPlain{u"CODE1", 2, u"a@example.com", 4, u"note", 9, 1};
const Invitation kAwkward{u"c'o\\de''", 3, u"李雷@例子.中国", 5, u"it's 😀 \\n %s 备注", -1, 0};

TEST_P(InvitationCommand, RefusesWrongRequestCodeAndMissingRowCount) {
  CKParam packet = Invitations(1);
  AddRow(packet, 1, kPlain);
  EXPECT_EQ(Put(7, packet, 1500), -1);

  CKParam no_count;
  no_count.SetInt(1, 1550);
  AddRow(no_count, 1, kPlain);
  CKParam count_as_short;
  count_as_short.SetInt(1, 1550);
  count_as_short.SetShortInt(-100, 1);
  AddRow(count_as_short, 1, kPlain);
  EXPECT_EQ(Put(7, no_count), -1);
  EXPECT_EQ(Put(7, count_as_short), -1);

  CKParam no_rows = Invitations(0);
  AddRow(no_rows, 1, kPlain);
  EXPECT_EQ(Put(7, no_rows), 0);
  EXPECT_EQ(Count(), 0);

  EXPECT_EQ(Put(7, packet), 0);
  EXPECT_EQ(Count(), 1);
}

TEST_P(InvitationCommand, StoresCompleteRowsExactlyWithOneTime) {
  CKParam packet = Invitations(5);
  AddRow(packet, 1, Invitation{u"E", 1, u"e@x", 1, u"", 1, 1});
  AddRow(packet, 2, Invitation{u"M", 1, u"m@x", 2, u"n", 1, 1}, /*missing=*/5);
  AddRow(packet, 3, kAwkward);
  packet.SetCString(Key(4, 1), u"T");  // the state comes as a short: the row is skipped
  packet.SetShortInt(Key(4, 2), 1);
  AddRow(packet, 5, kPlain, /*missing=*/7);
  EXPECT_EQ(Put(7, packet), 0);

  const Rows rows = Stored();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"7", "1", "E", "e@x", "1", "1", "缺失remark",
                                               "1", rows[0][8]}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"7", "5", ToNarrow(kAwkward.code),
                                               ToNarrow(kAwkward.email), "3", "-1",
                                               ToNarrow(kAwkward.note), "0", rows[0][8]}));
  const int64_t stored = ParseTimeText(rows[0][8].c_str());
  EXPECT_LE(std::llabs(ParseTimeText(NowText().c_str()) - stored), 2);
}

// Keys are 16-bit: row 400 lies at negative keys, and row 16,385 would read
// the keys of row 1 again.
TEST_P(InvitationCommand, ReadsEachDistinctRowOnce) {
  for (int row_count : {16385, INT_MAX}) {
    CKParam packet = Invitations(row_count);
    AddRow(packet, 1, kPlain);
    AddRow(packet, 400, Invitation{u"FAR", 1, u"f@x", 6, u"far", 1, 1});
    EXPECT_EQ(Put(7, packet), 0);
    const Rows codes = Stored();
    ASSERT_EQ(codes.size(), 2u) << row_count;
    EXPECT_EQ(codes[0][2], "CODE1");
    EXPECT_EQ(codes[1][2], "FAR");
    db_->Exec("DELETE FROM tblInviteRecord");
  }
}

TEST_P(InvitationCommand, LogsEachCompleteRowOnRequest) {
  CKParam unlogged = Invitations(1);
  AddRow(unlogged, 1, kPlain);
  CKParam logging_off = unlogged;
  logging_off.SetBoolean(-300, false);
  EXPECT_EQ(Put(7, unlogged), 0);
  EXPECT_EQ(Put(7, logging_off), 0);
  EXPECT_EQ(dir_.ReadFile("ZelvarSQL.log"), "");
  db_->Exec("DELETE FROM tblInviteRecord");

  // A long Chinese note takes three bytes a character: the record keeps it whole.
  const Invitation chinese{u"Z", 1, u"z@x", 2, std::u16string(300, u'备'), 3, 4};
  CKParam packet = Invitations(3);
  AddRow(packet, 1, kAwkward);
  AddRow(packet, 2, kPlain, /*missing=*/1);
  AddRow(packet, 3, chinese);
  packet.SetBoolean(-300, true);
  EXPECT_EQ(Put(7, packet), 0);

  const std::string when = Stored().at(0).at(8);
  const std::string prefix = "调用SQL：";
  auto statement = [&](const std::string& values) {
    return prefix +
           "INSERT INTO tblInviteRecord (nUserid,nGroup,sInviteCode,sInvitedEmail,nState,"
           "tAddtime,nZoneId,sNote,nReply) VALUES (" +
           values;
  };
  const std::string first = statement("7,5,'c''o\\de''''','李雷@例子.中国',3,'" + when +
                                      "',-1,'it''s 😀 \\n %s 备注',0)");
  const std::string second =
      statement("7,2,'Z','z@x',1,'" + when + "',3,'" + ToNarrow(chinese.note) + "',4)");

  const std::string log = dir_.ReadFile("ZelvarSQL.log");
  ASSERT_EQ(log.size(), 20 + first.size() + 20 + second.size());
  const std::string first_time = log.substr(0, 20);
  const std::string second_time = log.substr(20 + first.size(), 20);
  for (const std::string& stamp : {first_time, second_time}) {
    EXPECT_EQ(stamp[19], '\0');
    EXPECT_LE(std::llabs(ParseTimeText(stamp.c_str()) - ParseTimeText(when.c_str())), 2);
  }
  EXPECT_EQ(log.substr(20, first.size()), first);
  EXPECT_EQ(log.substr(40 + first.size()), second);
}

TEST_P(InvitationCommand, FailedInsertsStillAnswerZeroAndAreLogged) {
  db_->Exec("DROP TABLE tblInviteRecord");
  CKParam packet = Invitations(2);
  AddRow(packet, 1, kPlain);
  AddRow(packet, 2, kAwkward);
  packet.SetBoolean(-300, true);
  EXPECT_EQ(Put(7, packet), 0);
  const std::string log = dir_.ReadFile("ZelvarSQL.log");
  const std::string prefix = "调用SQL：INSERT INTO tblInviteRecord";
  EXPECT_EQ(log.find(prefix), 20u);
  EXPECT_NE(log.find(prefix, 21), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Backends, InvitationCommand, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
