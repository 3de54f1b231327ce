// Guard rows: every request that decides on rows it only read raises the
// version of a row its rivals raise too, so that a cluster that checks
// only written rows still keeps them apart.

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "goods/goods_fixture.h"

namespace zelvar::test {
namespace {

const std::vector<GoodsEntry> kTimeLimited = {{501, u"7天", 20, 5, 7}};
const std::vector<GoodsEntry> kQuota = {{601, u"1个", 3100, 3, 1}};

class WriteGuard : public GoodsTest {
 protected:
  void SetUp() override {
    GoodsTest::SetUp();
    if (db_ == nullptr) return;
    alice_ = AddUser("alice", "A:1;");
    bob_ = AddUser("bob", "B:1;");
    carol_ = AddUser("carol", "C:1;");
    db_->Exec("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (" + std::to_string(bob_) +
              ", " + std::to_string(alice_) + ")");
  }

  // The count of entries the reply says were granted.
  int Grant(const std::vector<GoodsEntry>& entries) {
    CKParam packet = SendPacket(1, u"alice", entries);
    for (const Record& record : Call(1, 1560, packet).records) {
      if (record.key == 100) return record.Int();
    }
    return -1;
  }
  int Between(int command, int user, int other) {
    CKParam packet;
    packet.SetInt(1, command);
    if (command == 1500) {
      packet.SetInt(200, other);
      packet.SetCString(201, u"hi");
    } else if (command == 1505) {
      packet.SetInt(100, other);
    } else {
      packet.SetInt(300, other);
      packet.SetInt(301, 7);
    }
    return PutUserExtraDataFriend(user, 0, packet.GetBufferPtr(), packet.GetLength());
  }
  // The guard's version, 0 when it has no row.
  int64_t Version(int kind, int user, int other) {
    return db_->QueryInt("SELECT COALESCE(MAX(nVersion), 0) FROM tblWriteGuard WHERE nKind = " +
                         std::to_string(kind) + " AND nUserId = " + std::to_string(user) +
                         " AND nOtherId = " + std::to_string(other));
  }

  int alice_ = 0, bob_ = 0, carol_ = 0;
};

TEST_P(WriteGuard, RivalRequestsRaiseOneRow) {
  const int low = std::min(alice_, bob_), high = std::max(alice_, bob_);
  ASSERT_EQ(1, Grant(kTimeLimited));
  ASSERT_EQ(1, Grant(kTimeLimited));
  ASSERT_EQ(1, Grant(kQuota));
  EXPECT_EQ(3, Version(1, alice_, 0));

  // Either side, either order of the two ids: one row for the pair.
  EXPECT_EQ(0, Between(1500, alice_, bob_));
  EXPECT_EQ(0, Between(1510, bob_, alice_));
  EXPECT_EQ(2, Version(2, low, high));
  EXPECT_EQ(0, Between(1505, bob_, alice_));
  EXPECT_EQ(3, Version(2, low, high));
  // Refused between strangers: nothing stays, the guard row neither.
  EXPECT_EQ(-1, Between(1510, alice_, bob_));
  EXPECT_EQ(-1, Between(1500, carol_, alice_));
  EXPECT_EQ(3, Version(2, low, high));
  EXPECT_EQ(0, db_->QueryInt("SELECT COUNT(*) FROM tblWriteGuard WHERE nUserId = " +
                             std::to_string(carol_) + " OR nOtherId = " + std::to_string(carol_)));
  EXPECT_EQ(0, db_->QueryInt("SELECT COUNT(*) FROM tblFriendTradeHistory"));
}

TEST_P(WriteGuard, DatabaseWithoutTheTableRefusesGuardedWrites) {
  db_->Exec("DROP TABLE tblWriteGuard");
  EXPECT_EQ(0, Grant(kTimeLimited));
  EXPECT_EQ(0, Grant(kQuota));
  EXPECT_EQ(-1, Between(1510, alice_, bob_));
  EXPECT_EQ(0, db_->QueryInt("SELECT COUNT(*) FROM tblUserGoods"));
  EXPECT_EQ("A:1;", Face(alice_));
  EXPECT_EQ(0, db_->QueryInt("SELECT COUNT(*) FROM tblFriendTradeHistory"));
  EXPECT_NE(std::string::npos, ErrorLog().find("tblWriteGuard")) << ErrorLog();
}

INSTANTIATE_TEST_SUITE_P(Backends, WriteGuard, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
