// Kind 1610: the user's friends with their profiles, and the server time.

#include <algorithm>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "queries/query_fixture.h"

namespace zelvar::test {
namespace {

class FriendList : public QueryTest {
 protected:
  void AddFriendship(int user, int friend_id) {
    db_->Exec("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (" + std::to_string(user) + ", " +
              std::to_string(friend_id) + ")");
  }
  // `face_pic` is an SQL literal (possibly NULL).
  void AddUser(int id, const std::string& nick, int sex, const std::string& face_pic,
               bool logined) {
    db_->Exec("INSERT INTO tblUser (nId, sUsername, sNick, nSex, sFacePic, bLogined, nLevel) "
              "VALUES (" +
              std::to_string(id) + ", 'u" + std::to_string(id) + "', '" + nick + "', " +
              std::to_string(sex) + ", " + face_pic + ", " + Bool(logined) + ", 1)");
  }
};

struct Friend {
  int position;
  int id;
  std::u16string nick;
  int sex;
  std::u16string face_pic;
  bool logined;
  bool operator<(const Friend& o) const { return id != o.id ? id < o.id : position < o.position; }
};

// The friends written at positions 1 to `last`; a position whose first
// key is absent must have none of its keys.
std::vector<Friend> FriendsOf(Reply& reply, int last) {
  std::vector<Friend> friends;
  for (int i = 1; i <= last; ++i) {
    const int base = -10 * i - 10001;
    if (!reply.Int(base)) {
      EXPECT_FALSE(reply.Text(base - 1) || reply.Int(base - 2) || reply.Text(base - 3) ||
                   reply.Int(base - 4))
          << "position " << i << " is partly written";
      continue;
    }
    friends.push_back({i, *reply.Int(base), reply.Text(base - 1).value_or(u"?"),
                       reply.Int(base - 2).value_or(-99), reply.Text(base - 3).value_or(u"?"),
                       reply.Int(base - 4).value_or(0) != 0});
  }
  return friends;
}

TEST_P(FriendList, ListsEachFriendshipRowWithProfile) {
  AddUser(11, "Anna", 1, "'a.png'", true);
  AddUser(12, "小明", 0, "NULL", false);
  AddFriendship(10, 11);
  AddFriendship(12, 10);
  AddFriendship(10, 10);  // names nobody
  AddFriendship(11, 10);  // the first friendship stored the other way
  AddFriendship(13, 14);

  const int64_t before = std::time(nullptr);
  Reply reply = Ask(10, 1610);
  const int64_t after = std::time(nullptr);
  ASSERT_EQ(reply.result, 0);
  EXPECT_EQ(reply.Int(-10000), 3);
  std::vector<Friend> friends = FriendsOf(reply, 4);
  ASSERT_EQ(friends.size(), 3u);
  // Rows come in the database's order; positions are 1 to 3 whatever it is.
  std::vector<int> positions;
  for (const Friend& f : friends) positions.push_back(f.position);
  EXPECT_EQ(positions, (std::vector<int>{1, 2, 3}));
  std::sort(friends.begin(), friends.end());
  for (int k : {0, 1}) {
    EXPECT_EQ(friends[k].id, 11);
    EXPECT_EQ(friends[k].nick, u"Anna");
    EXPECT_EQ(friends[k].sex, 1);
    EXPECT_EQ(friends[k].face_pic, u"a.png");
    EXPECT_TRUE(friends[k].logined);
  }
  EXPECT_EQ(friends[2].id, 12);
  EXPECT_EQ(friends[2].nick, u"小明");
  EXPECT_EQ(friends[2].sex, 0);
  EXPECT_EQ(friends[2].face_pic, u"");
  EXPECT_FALSE(friends[2].logined);

  ASSERT_TRUE(reply.Int(-9999).has_value());
  EXPECT_GE(*reply.Int(-9999), static_cast<int32_t>(before) - 1);
  EXPECT_LE(*reply.Int(-9999), static_cast<int32_t>(after) + 1);
  // The closing entries follow the friends' entries.
  EXPECT_EQ(reply.packet.GetPacketNum(), 1 + 3 * 5 + 2);
}

TEST_P(FriendList, FriendWithoutProfileLeavesAGap) {
  AddUser(21, "one", 1, "'1.png'", false);
  AddUser(23, "three", 0, "'3.png'", true);
  AddFriendship(20, 21);
  AddFriendship(20, 22);  // no tblUser row
  AddFriendship(20, 23);

  Reply reply = Ask(20, 1610);
  EXPECT_EQ(reply.Int(-10000), 2);
  std::vector<Friend> friends = FriendsOf(reply, 4);
  ASSERT_EQ(friends.size(), 2u);
  EXPECT_EQ(friends[0].position, 1);
  EXPECT_EQ(friends[0].id, 21);
  EXPECT_EQ(friends[1].position, 3);
  EXPECT_EQ(friends[1].id, 23);
  EXPECT_EQ(friends[1].nick, u"three");
}

INSTANTIATE_TEST_SUITE_P(Backends, FriendList, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
