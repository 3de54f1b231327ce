// AddBuyDayGoods: the quota row, the speak counters in the face text, and
// the grant being written whole or not at all.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "goods/goods_fixture.h"
#include "goods/grants.h"
#include "util/time_text.h"

namespace zelvar::test {
namespace {

using goods::AddBuyDayGoods;

class BuyDayGoods : public GoodsTest {};

TEST_P(BuyDayGoods, FirstGrantAddsTheQuotaRowAndLaterOnesReplaceItsCount) {
  const int id = AddUser("alice");
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  ASSERT_EQ(0, AddBuyDayGoods(601, 3100, id, 2));
  auto rows = Goods(id);
  ASSERT_EQ(1u, rows.size());
  const std::vector<std::optional<std::string>> expected_tail = {
      "2050-10-12 19:02:00", "2", "1", "0", "L:0;S:0;R:0;G:0;B:0"};
  EXPECT_EQ("3100", rows[0][1]);
  EXPECT_EQ("601", rows[0][2]);
  ASSERT_TRUE(rows[0][3].has_value());
  EXPECT_LE(std::llabs(ParseTimeText(rows[0][3]->c_str()) - now), 2);
  EXPECT_EQ(expected_tail, decltype(expected_tail)(rows[0].begin() + 4, rows[0].end()));

  ASSERT_EQ(0, AddBuyDayGoods(602, 3150, id, 6));
  rows = Goods(id);
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("3100", rows[0][1]);
  EXPECT_EQ("601", rows[0][2]);
  EXPECT_EQ("6", rows[0][5]);
  EXPECT_EQ("Speak:2,6,0,0,0,0,0,0,0,0;", Face(id));
}

TEST_P(BuyDayGoods, OnlyLiveQuotaRowsTakeTheCount) {
  const int id = AddUser("alice");
  AddGoodsRow(id, 601, 3100, "2011-01-01 00:00:00", std::nullopt, 4);
  AddGoodsRow(id, 602, 20, "2031-01-01 00:00:00", std::nullopt, 4);
  AddGoodsRow(id, 603, 4000, "2031-01-01 00:00:00", std::nullopt, 4);
  ASSERT_EQ(0, AddBuyDayGoods(604, 3200, id, 1));
  const auto rows = Goods(id);
  ASSERT_EQ(4u, rows.size());
  for (int i = 0; i < 3; ++i) EXPECT_EQ("4", rows[i][5]);
  EXPECT_EQ("3200", rows[3][1]);
  EXPECT_EQ("1", rows[3][5]);
}

TEST_P(BuyDayGoods, RewritesTheSpeakEntryOfTheFaceText) {
  struct Case {
    std::string before;
    int count;
    int goods_type;
    std::string after;
  };
  // The rewriting itself is checked in speak_entry_test.cc; these show the
  // texts going through the database both ways.
  const Case cases[] = {
      {"", 2, 3150, "Speak:0,2,0,0,0,0,0,0,0,0;"},
      {"X:1;Speak:1,2,3,4,5,6,7,8,9,10;Y:2;", 1, 3100, "X:1;Y:2;Speak:2,2,3,4,5,6,7,8,9,10;"},
      {"Speak:1,2,3,4,5,6,7,8,9,10;X:1;", 6, 3253, "X:1;Speak:1,2,3,4,5,6,7,8,9,10;"},
      {"X:1;", 6, 3253, "X:1;"},
      // Every character of the rest of the text reaches the database intact.
      {"名:O'Neil\\;😀", 1, 3256, "名:O'Neil\\;😀Speak:0,0,0,0,0,0,0,0,0,1;"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const int id = AddUser("user" + std::to_string(++n), c.before);
    ASSERT_EQ(0, AddBuyDayGoods(600 + n, c.goods_type, id, c.count)) << c.before;
    EXPECT_EQ(c.after, Face(id)) << c.before;
    EXPECT_EQ(1u, Goods(id).size());
  }
}

TEST_P(BuyDayGoods, NullFaceTextReadsAsEmpty) {
  const int id = AddUser("alice");
  db_->Exec("UPDATE tblUser SET sFacePic = NULL WHERE nId = " + std::to_string(id));
  ASSERT_EQ(0, AddBuyDayGoods(601, 3150, id, 2));
  EXPECT_EQ("Speak:0,2,0,0,0,0,0,0,0,0;", Face(id));
}

TEST_P(BuyDayGoods, NothingStaysWhenTheCountersCannotBeWritten) {
  // No player with that id: the face text can't be read.
  EXPECT_EQ(-1, AddBuyDayGoods(601, 3100, 999, 1));
  EXPECT_TRUE(Goods(999).empty());
  EXPECT_EQ("", ErrorLog());

  const int fresh = AddUser("alice");
  const int owner = AddUser("bob", "Speak:1,1,1,1,1,1,1,1,1,1;");
  AddGoodsRow(owner, 601, 3100, "2050-10-12 19:02:00", std::nullopt, 2);
  RefuseWrites("tblUser", "UPDATE");
  EXPECT_EQ(-1, AddBuyDayGoods(602, 3100, fresh, 1));
  EXPECT_EQ(-1, AddBuyDayGoods(603, 3150, owner, 6));
  EXPECT_TRUE(Goods(fresh).empty());
  const auto rows = Goods(owner);
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("2", rows[0][5]);
  EXPECT_EQ("Speak:1,1,1,1,1,1,1,1,1,1;", Face(owner));

  const std::string log = ErrorLog();
  EXPECT_NE(std::string::npos, log.find("write refused")) << log;
  EXPECT_EQ(6, std::count(log.begin(), log.end(), '\0'));
}

INSTANTIATE_TEST_SUITE_P(Backends, BuyDayGoods, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
