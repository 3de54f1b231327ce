// Kind 1610 with the profile statements sent as a batch and sent one by
// one: the replies must be the same record for record (the server time
// aside), gaps, duplicates and rounds of the batch included.

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

class FriendListBatch : public QueryTest {
 protected:
  void TearDown() override {
    queries::SetFriendProfileBatching(true);
    QueryTest::TearDown();
  }

  Records AskBoth(int user, int expected_count) {
    queries::SetFriendProfileBatching(true);
    Reply batched = Ask(user, 1610);
    queries::SetFriendProfileBatching(false);
    Reply one_by_one = Ask(user, 1610);
    queries::SetFriendProfileBatching(true);
    EXPECT_EQ(batched.result, 0);
    EXPECT_EQ(one_by_one.result, 0);
    EXPECT_EQ(batched.Int(-10000), expected_count);
    const Records a = RecordsOf(batched);
    const Records b = RecordsOf(one_by_one);
    EXPECT_EQ(a.records, b.records);
    EXPECT_LE(std::abs(a.time - b.time), 2);
    return a;
  }
};

TEST_P(FriendListBatch, BatchedRepliesEqualOneByOneWithGapsAndDuplicates) {
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

  const Records records = AskBoth(10, with_profile);
  // Key 1, five entries per friend with a profile, the count.
  EXPECT_EQ(records.records.size(), 1u + 5u * with_profile + 1u);
  EXPECT_LT(with_profile, rows_naming_a_friend);
}

TEST_P(FriendListBatch, SmallListsAndNoFriends) {
  db_->Exec("INSERT INTO tblUser (nId, sUsername, sNick, nSex, sFacePic, bLogined, nLevel) "
            "VALUES (21, 'a', 'one', 1, 'x', " + Bool(true) + ", 1)");
  db_->Exec("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (20, 21), (22, 20)");
  AskBoth(20, 1);   // the second friend has no profile
  AskBoth(21, 0);   // the friend's only friend has no profile
  AskBoth(99, 0);   // no friendship at all
}

INSTANTIATE_TEST_SUITE_P(Backends, FriendListBatch, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
