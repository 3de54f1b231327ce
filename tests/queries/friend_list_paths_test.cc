// Kind 1610 read in one joined statement, in two passes with the profile
// statements sent as a batch, and in two passes one by one: the replies
// must be the same record for record (the server time aside), with gaps,
// duplicates, self-rows, NULLs and texts of every kind.

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "packet/coding.h"
#include "queries/friend_list.h"
#include "queries/query_fixture.h"

namespace zelvar::test {
namespace {

// The reply's records in order as key, type and data bytes, and the server
// time apart.
struct Records {
  std::vector<std::string> records;
  int32_t time = 0;
};

Records RecordsOf(const Reply& reply) {
  Records out;
  const std::string& image = reply.image;
  size_t offset = kHeaderSize;
  while (offset + kRecordHeaderSize <= image.size()) {
    const char* record = image.data() + offset;
    const uint32_t length = DecodeFixed32(record + kDataLengthOffset);
    const int16_t key = DecodeSigned16(record + kKeyOffset);
    if (key == -9999) {
      out.time = static_cast<int32_t>(DecodeFixed32(record + kRecordHeaderSize));
    } else {
      out.records.push_back(std::to_string(key) + "/" +
                            std::to_string(DecodeSigned16(record + kTypeOffset)) + "/" +
                            image.substr(offset + kRecordHeaderSize, length));
    }
    offset += kRecordHeaderSize + length;
  }
  return out;
}

class FriendListPaths : public QueryTest {
 protected:
  void TearDown() override {
    queries::SetFriendListPath(queries::FriendListPath::kJoin);
    QueryTest::TearDown();
  }

  // The reply of every path, checked equal; the join's.
  Records AskEveryWay(int user, int expected_count) {
    using queries::FriendListPath;
    Records first;
    int32_t first_time = 0;
    bool have_first = false;
    for (FriendListPath path :
         {FriendListPath::kJoinOnly, FriendListPath::kTwoPasses, FriendListPath::kOneByOne}) {
      queries::SetFriendListPath(path);
      Reply reply = Ask(user, 1610);
      EXPECT_EQ(reply.result, 0);
      EXPECT_EQ(reply.Int(-10000), expected_count);
      const Records records = RecordsOf(reply);
      if (!have_first) {
        first = records;
        first_time = records.time;
        have_first = true;
        continue;
      }
      EXPECT_EQ(records.records, first.records) << "path " << static_cast<int>(path);
      EXPECT_LE(std::abs(records.time - first_time), 2);
    }
    queries::SetFriendListPath(FriendListPath::kJoin);
    return first;
  }
};

TEST_P(FriendListPaths, EveryPathGivesTheSameReply) {
  // Friends 1001 to 1600 in rows of either direction; every seventh has no
  // profile, every eleventh friendship is stored both ways, and one row
  // names the user on both sides. That is more than one round of a batch.
  std::string users;
  std::string friendships = "(10, 10)";
  int rows_naming_a_friend = 0;
  int with_profile = 0;
  for (int id = 1001; id <= 1600; ++id) {
    const bool has_profile = id % 7 != 0;
    if (has_profile) {
      if (!users.empty()) users += ", ";
      users += "(" + std::to_string(id) + ", 'u" + std::to_string(id) + "', '" +
               (id % 13 == 0 ? std::string("朋友") : "nick") + std::to_string(id) + "', " +
               std::to_string(id % 2) + ", " +
               (id % 5 == 0 ? std::string("NULL") : "'f" + std::to_string(id) + ".png'") + ", " +
               Bool(id % 3 == 0) + ", 1)";
    }
    const int copies = id % 11 == 0 ? 2 : 1;
    for (int copy = 0; copy < copies; ++copy) {
      const bool user_first = (id + copy) % 2 == 0;
      friendships += user_first ? ", (10, " + std::to_string(id) + ")"
                                : ", (" + std::to_string(id) + ", 10)";
      ++rows_naming_a_friend;
      with_profile += has_profile;
    }
  }
  db_->Exec("INSERT INTO tblUser (nId, sUsername, sNick, nSex, sFacePic, bLogined, nLevel) "
            "VALUES " + users);
  db_->Exec("INSERT INTO tblFriend (nUserId, nFriendId) VALUES " + friendships);

  const Records records = AskEveryWay(10, with_profile);
  // Key 1, five entries per friend with a profile, the count.
  EXPECT_EQ(records.records.size(), 1u + 5u * with_profile + 1u);
  EXPECT_LT(with_profile, rows_naming_a_friend);
}

TEST_P(FriendListPaths, SmallListsAndNoFriends) {
  db_->Exec("INSERT INTO tblUser (nId, sUsername, sNick, nSex, sFacePic, bLogined, nLevel) "
            "VALUES (21, 'a', 'one', 1, 'x', " + Bool(true) + ", 1)");
  db_->Exec("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (20, 21), (22, 20)");
  AskEveryWay(20, 1);   // the second friend has no profile
  AskEveryWay(21, 0);   // the friend's only friend has no profile
  AskEveryWay(99, 0);   // no friendship at all
}

TEST_P(FriendListPaths, NullsSelfRowsAndTextsOfEveryKind) {
  // Profiles with NULL in each field and texts of every kind: quotes,
  // backslashes, format signs, controls, CJK, a character beyond the basic
  // plane, empty text.
  db_->Exec(
      "INSERT INTO tblUser (nId, sUsername, sNick, nSex, sFacePic, bLogined, nLevel) VALUES "
      "(31, 'a', NULL, 1, 'x', " + Bool(true) + ", 1), "
      "(32, 'b', 'it''s \\ %s %d', NULL, NULL, NULL, 1), "
      "(33, 'c', '', 0, '', " + Bool(false) + ", 1), "
      "(34, 'd', '朋友😀\ttab', 2, 'face\n\"q\"', " + Bool(true) + ", 1), "
      "(35, 'e', '" + std::string(20, 'n') + "', -5, 'p.png', " + Bool(false) + ", 1)");
  // Rows naming the user on both sides, NULL ids (a NULL id reads as 0,
  // who has no profile), a friend without a profile between friends with
  // one, and friendships stored both ways.
  db_->Exec("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (30, 31), (30, 30), (32, 30), "
            "(30, NULL), (NULL, 30), (30, 36), (33, 30), (30, 30), (30, 34), (34, 30), "
            "(35, 30), (30, 32)");
  const Records records = AskEveryWay(30, 7);
  // Key 1, five entries for each of the 7 friends with a profile, the count.
  EXPECT_EQ(records.records.size(), 1u + 5u * 7u + 1u);
  AskEveryWay(36, 0);  // the only friend of a user without a profile
}

INSTANTIATE_TEST_SUITE_P(Backends, FriendListPaths, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
