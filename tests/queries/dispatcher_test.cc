// GetUserExtraDataFriend as a whole: kinds it refuses, the frame of its
// replies, and a database that can't be opened.

#include <string>

#include <gtest/gtest.h>

#include "db/current_connection.h"
#include "queries/query_fixture.h"

namespace zelvar::test {
namespace {

TEST(QueryDispatch, UnhandledKindsTouchNothing) {
  for (unsigned kind : {0u, 1u, 1604u, 1606u, 1609u, 1611u, 1619u, 1621u, 1659u, 1660u, 1661u,
                        0xFFFFFFFFu}) {
    char sentinel = 'x';
    char* buffer = &sentinel;
    int length = 77;
    EXPECT_EQ(GetUserExtraDataFriend(1, kind, &buffer, &length), -1) << kind;
    EXPECT_EQ(buffer, &sentinel) << kind;
    EXPECT_EQ(length, 77) << kind;
    EXPECT_EQ(sentinel, 'x');
  }
}

TEST(QueryDispatch, DatabaseThatCannotBeOpenedHandsOutNothing) {
  ScopedTempDir dir;
  SetConnectionString("Provider=SQLite;Data Source=" + dir.path() + "/missing/none.db");
  for (unsigned kind : {1605u, 1610u, 1615u, 1620u}) {
    Reply reply = Ask(3, kind);  // checks that nothing was handed out
    EXPECT_EQ(reply.result, -1) << kind;
  }
  // One record per failed open, each with the open failure's text.
  const std::string log = dir.ReadFile("ZelvarError.log");
  const std::string text = "数据库没能打开";
  size_t records = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
    ++records;
  }
  EXPECT_EQ(records, 4u) << log;
}

class QueryFrame : public QueryTest {};

// The exact image of an empty reply: key 1, then the closing count.
std::string EmptyImage(unsigned kind, short count_key, int count) {
  CKParam packet;
  packet.SetInt(1, static_cast<int>(kind));
  packet.SetInt(count_key, count);
  return std::string(packet.GetBufferPtr(), static_cast<size_t>(packet.GetLength()));
}

TEST_P(QueryFrame, EmptyResultsHoldOnlyTheClosingEntries) {
  EXPECT_EQ(Ask(4, 1605).image, EmptyImage(1605, 10, -1));
  EXPECT_EQ(Ask(4, 1615).image, EmptyImage(1615, -10, 0));
  EXPECT_EQ(Ask(4, 1620).image, EmptyImage(1620, 10000, 0));

  const int64_t before = std::time(nullptr);
  Reply friends = Ask(4, 1610);
  const int64_t after = std::time(nullptr);
  ASSERT_EQ(friends.result, 0);
  EXPECT_EQ(friends.packet.GetPacketNum(), 3);
  EXPECT_EQ(friends.Int(-10000), 0);
  ASSERT_TRUE(friends.Int(-9999).has_value());
  EXPECT_GE(*friends.Int(-9999), static_cast<int32_t>(before) - 1);
  EXPECT_LE(*friends.Int(-9999), static_cast<int32_t>(after) + 1);
}

TEST_P(QueryFrame, MissingOutPointerRunsNothing) {
  db_->Exec(
      "INSERT INTO tblUserMsg (nUserId, sContent, tAddTime, nRead, nFromUserId, nAll) "
      "VALUES (4, 'kept', '2011-05-03 12:34:56', 0, 5, 0)");
  char* buffer = nullptr;
  int length = 0;
  EXPECT_EQ(GetUserExtraDataFriend(4, 1620, nullptr, &length), -1);
  EXPECT_EQ(GetUserExtraDataFriend(4, 1620, &buffer, nullptr), -1);
  EXPECT_EQ(GetUserExtraDataFriend(4, 1605, nullptr, nullptr), -1);
  EXPECT_EQ(buffer, nullptr);
  // The message was not marked read, so the next call still delivers it.
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblUserMsg WHERE nRead = 0"), 1);
  EXPECT_EQ(Ask(4, 1620).Int(10000), 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, QueryFrame, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
