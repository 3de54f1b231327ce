// Kind 1605: the user's trades on either side, newest first.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "queries/query_fixture.h"
#include "support/scoped_tz.h"

namespace zelvar::test {
namespace {

class TradeHistory : public QueryTest {
 protected:
  void AddTrade(int id, int play_user, int played_user, int play_id, const std::string& time) {
    db_->Exec("INSERT INTO tblFriendTradeHistory (nId, nPlayUserId, nPlayedUserId, nPlayId, "
              "tTime, tDuration) VALUES (" +
              std::to_string(id) + ", " + std::to_string(play_user) + ", " +
              std::to_string(played_user) + ", " + std::to_string(play_id) + ", " + time +
              ", 10)");
  }
};

struct Trade {
  int play_user, played_user, play_id, time, id;
  bool operator==(const Trade&) const = default;
};

std::vector<Trade> TradesOf(Reply& reply) {
  std::vector<Trade> trades;
  for (int r = 1; reply.Int(100 * r).has_value(); ++r) {
    trades.push_back({*reply.Int(100 * r), reply.Int(100 * r + 1).value_or(-99),
                      reply.Int(100 * r + 2).value_or(-99), reply.Int(100 * r + 3).value_or(-99),
                      reply.Int(100 * r + 4).value_or(-99)});
  }
  return trades;
}

TEST_P(TradeHistory, BothSidesNewestFirstEachOnce) {
  AddTrade(1, 7, 8, 100, "'2011-05-03 12:34:56'");
  AddTrade(2, 9, 7, 101, "'2011-05-04 08:00:00'");
  AddTrade(3, 7, 7, 102, "'2011-05-02 00:00:01'");
  AddTrade(4, 8, 9, 103, "'2012-01-01 00:00:00'");

  Reply reply = Ask(7, 1605);
  ASSERT_EQ(reply.result, 0);
  const int t1 = static_cast<int>(LocalSeconds(2011, 5, 3, 12, 34, 56));
  const int t2 = static_cast<int>(LocalSeconds(2011, 5, 4, 8, 0, 0));
  const int t3 = static_cast<int>(LocalSeconds(2011, 5, 2, 0, 0, 1));
  EXPECT_EQ(TradesOf(reply),
            (std::vector<Trade>{{9, 7, 101, t2, 2}, {7, 8, 100, t1, 1}, {7, 7, 102, t3, 3}}));
  EXPECT_EQ(reply.Int(10), 3);
  EXPECT_EQ(reply.packet.GetPacketNum(), 1 + 3 * 5 + 1);

  Reply other = Ask(9, 1605);
  EXPECT_EQ(TradesOf(other), (std::vector<Trade>{{8, 9, 103, static_cast<int>(LocalSeconds(
                                                                  2012, 1, 1, 0, 0, 0)),
                                                  4},
                                                 {9, 7, 101, t2, 2}}));
}

TEST_P(TradeHistory, TimesAreLocalInEveryZone) {
  AddTrade(1, 7, 8, 100, "'2011-01-15 23:30:00'");
  AddTrade(2, 7, 8, 101, "'2011-07-15 09:05:07'");
  for (const char* zone : {"UTC", "Asia/Shanghai", "America/New_York"}) {
    ScopedTimeZone tz(zone);
    Reply reply = Ask(7, 1605);
    EXPECT_EQ(reply.Int(203), static_cast<int>(LocalSeconds(2011, 1, 15, 23, 30, 0))) << zone;
    EXPECT_EQ(reply.Int(103), static_cast<int>(LocalSeconds(2011, 7, 15, 9, 5, 7))) << zone;
  }
}

TEST_P(TradeHistory, TradeWithoutTimeIsListedWithTimeZero) {
  AddTrade(1, 7, 8, 100, "NULL");
  AddTrade(2, 8, 7, 101, "'2011-05-03 12:34:56'");
  Reply reply = Ask(7, 1605);
  ASSERT_EQ(reply.Int(10), 2);
  // Where NULL sorts differs between databases.
  std::vector<Trade> trades = TradesOf(reply);
  ASSERT_EQ(trades.size(), 2u);
  const Trade& untimed = trades[0].id == 1 ? trades[0] : trades[1];
  EXPECT_EQ(untimed, (Trade{7, 8, 100, 0, 1}));
}

// Only SQLite keeps a date-time as the text it was given.
TEST(TradeHistorySqlite, TimeOfAnotherShapeIsWrittenAsZero) {
  ScopedTempDir dir;
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(Backend::kSqlite);
  ASSERT_NE(db, nullptr);
  db->Use();
  db->Exec("INSERT INTO tblFriendTradeHistory (nId, nPlayUserId, nPlayedUserId, nPlayId, tTime, "
           "tDuration) VALUES (1, 7, 8, 100, '2011-05-03', 10), (2, 7, 8, 101, 'soon', 10)");
  Reply reply = Ask(7, 1605);
  EXPECT_EQ(reply.Int(10), 2);
  EXPECT_EQ(reply.Int(103), 0);
  EXPECT_EQ(reply.Int(203), 0);
  EXPECT_EQ(reply.Int(104).value_or(0) + reply.Int(204).value_or(0), 3);
}

INSTANTIATE_TEST_SUITE_P(Backends, TradeHistory, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
