// AddUserGoods: new rows, extensions of the newest owned row, the
// permanent due time and its cap, in several time zones.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "goods/goods_fixture.h"
#include "goods/grants.h"
#include "support/scoped_tz.h"
#include "util/time_text.h"

namespace zelvar::test {
namespace {

using goods::AddUserGoods;

constexpr int kUser = 5;
constexpr int kSevenDays = 604800;
constexpr int kThirtyDays = 2592000;
constexpr const char* kZones[] = {"UTC", "Asia/Shanghai", "America/New_York"};

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// `text` names a local time within two seconds of `expected`.
void ExpectTimeNear(const std::optional<std::string>& text, int64_t expected) {
  ASSERT_TRUE(text.has_value());
  EXPECT_LE(std::llabs(ParseTimeText(text->c_str()) - expected), 2) << *text;
}

class UserGoods : public GoodsTest {};

TEST_P(UserGoods, AddsARowForEachDuration) {
  int goods_id = 500;
  for (const char* zone : kZones) {
    ScopedTimeZone tz(zone);
    const int user = kUser + goods_id;
    const int64_t now = Now();
    ASSERT_EQ(0, AddUserGoods(++goods_id, user, 20, kSevenDays));
    ASSERT_EQ(0, AddUserGoods(++goods_id, user, 21, kThirtyDays));
    ASSERT_EQ(0, AddUserGoods(++goods_id, user, 22, goods::kPermanentSeconds));

    const auto rows = Goods(user);
    ASSERT_EQ(3u, rows.size()) << zone;
    const int64_t dues[] = {now + kSevenDays, now + kThirtyDays};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(std::to_string(20 + i), rows[i][1]);
      ExpectTimeNear(rows[i][3], now);
      if (i < 2) ExpectTimeNear(rows[i][4], dues[i]);
    }
    EXPECT_EQ("2050-01-01 00:00:00", rows[2][4]);
  }
}

TEST_P(UserGoods, ExtendsTheNewestOwnedRowToTheSameClockTime) {
  int goods_id = 500;
  for (const char* zone : kZones) {
    ScopedTimeZone tz(zone);
    ++goods_id;
    // Winter: in New York the parsed time must not be taken for daylight
    // time, or the extension would come out an hour early.
    AddGoodsRow(kUser, goods_id, 20, "2031-01-10 12:00:00");
    ASSERT_EQ(0, AddUserGoods(goods_id, kUser, 99, kSevenDays));
    ASSERT_EQ(0, AddUserGoods(goods_id, kUser, 99, kThirtyDays));
    const auto rows = db_->Query("SELECT tDueTime, nType FROM tblUserGoods WHERE nGoodsId = " +
                                 std::to_string(goods_id));
    ASSERT_EQ(1u, rows.size()) << zone;
    EXPECT_EQ("2031-02-16 12:00:00", rows[0][0]) << zone;
    EXPECT_EQ("20", rows[0][1]);
  }
}

TEST_P(UserGoods, ExtendsOnlyTheRowWithTheGreatestId) {
  AddGoodsRow(kUser, 501, 20, "2032-06-01 12:00:00", 10);
  AddGoodsRow(kUser, 501, 20, "2031-06-01 12:00:00", 20);
  AddGoodsRow(kUser, 502, 20, "2031-06-01 12:00:00", 30);
  AddGoodsRow(kUser + 1, 501, 20, "2031-06-01 12:00:00", 40);
  ASSERT_EQ(0, AddUserGoods(501, kUser, 20, kSevenDays));
  EXPECT_EQ("2032-06-01 12:00:00", DueTime(10));
  EXPECT_EQ("2031-06-08 12:00:00", DueTime(20));
  EXPECT_EQ("2031-06-01 12:00:00", DueTime(30));
  EXPECT_EQ("2031-06-01 12:00:00", DueTime(40));
}

TEST_P(UserGoods, ExpiredUnreadableOrPermanentGrantsAddARow) {
  const int64_t now = Now();
  AddGoodsRow(kUser, 501, 20, "2011-05-10 12:00:00");
  AddGoodsRow(kUser, 502, 20, LocalTimeText(now - 2));
  AddGoodsRow(kUser, 503, 20, "");
  AddGoodsRow(kUser, 504, 20, "2031-01-10 12:00:00");
  ASSERT_EQ(0, AddUserGoods(501, kUser, 21, kSevenDays));
  ASSERT_EQ(0, AddUserGoods(502, kUser, 21, kSevenDays));
  ASSERT_EQ(0, AddUserGoods(503, kUser, 21, kSevenDays));
  ASSERT_EQ(0, AddUserGoods(504, kUser, 21, goods::kPermanentSeconds));

  const auto rows = Goods(kUser);
  ASSERT_EQ(8u, rows.size());
  EXPECT_EQ("2011-05-10 12:00:00", rows[0][4]);
  EXPECT_EQ(LocalTimeText(now - 2), rows[1][4]);
  EXPECT_EQ(std::nullopt, rows[2][4]);
  EXPECT_EQ("2031-01-10 12:00:00", rows[3][4]);
  for (size_t i = 4; i < 8; ++i) {
    EXPECT_EQ("21", rows[i][1]);
    EXPECT_EQ(std::to_string(501 + i - 4), rows[i][2]);
    if (i < 7) ExpectTimeNear(rows[i][4], now + kSevenDays);
  }
  EXPECT_EQ("2050-01-01 00:00:00", rows[7][4]);
}

TEST_P(UserGoods, ExtensionsPastTheCapBecomePermanent) {
  int goods_id = 500;
  for (const char* zone : kZones) {
    ScopedTimeZone tz(zone);
    const std::string at_cap = LocalTimeText(goods::kDueTimeCap - kSevenDays);
    const std::string past_cap = LocalTimeText(goods::kDueTimeCap - kSevenDays + 1);
    for (const std::string& due : {std::string("2050-01-01 00:00:00"), at_cap, past_cap}) {
      ++goods_id;
      AddGoodsRow(kUser, goods_id, 20, due, goods_id);
    }
    for (int id = goods_id - 2; id <= goods_id; ++id) {
      ASSERT_EQ(0, AddUserGoods(id, kUser, 20, kSevenDays));
    }
    EXPECT_EQ("2050-01-01 00:00:00", DueTime(goods_id - 2)) << zone;
    EXPECT_EQ(LocalTimeText(goods::kDueTimeCap), DueTime(goods_id - 1)) << zone;
    EXPECT_EQ("2050-01-01 00:00:00", DueTime(goods_id)) << zone;
  }
  EXPECT_EQ(9u, Goods(kUser).size());
}

TEST_P(UserGoods, FailedStatementsAreLoggedAndChangeNothing) {
  AddGoodsRow(kUser, 502, 20, "2031-01-10 12:00:00", 10);
  RefuseWrites("tblUserGoods", "INSERT");
  RefuseWrites("tblUserGoods", "UPDATE");

  EXPECT_EQ(-1, AddUserGoods(501, kUser, 20, kSevenDays));
  const std::string after_insert = ErrorLog();
  EXPECT_NE(std::string::npos,
            after_insert.find("INSERT INTO tblUserGoods (nType, nUserId, nGoodsId, tAddTime, "
                              "tDueTime) VALUES (20, 5, 501, '"))
      << after_insert;
  EXPECT_EQ(3, std::count(after_insert.begin(), after_insert.end(), '\0'));

  EXPECT_EQ(-1, AddUserGoods(502, kUser, 20, kSevenDays));
  const std::string after_update = ErrorLog().substr(after_insert.size());
  EXPECT_NE(std::string::npos, after_update.find("write refused")) << after_update;
  // One record of 20 + message + 1 + 2 bytes per failure.
  EXPECT_EQ(3, std::count(after_update.begin(), after_update.end(), '\0'));

  EXPECT_EQ(1u, Goods(kUser).size());
  EXPECT_EQ("2031-01-10 12:00:00", DueTime(10));
}

// Row ids are 64-bit. Cut to 32 bits, an extension of row 5,000,000,000
// changed nothing yet reported success, and a quota grant rewrote the row
// of another player whose id has the same low 32 bits.
TEST_P(UserGoods, RowIdsBeyond32BitsNameTheirOwnRow) {
  const int alice = AddUser("alice");
  const int bob = AddUser("bob");
  const int64_t big = 5000000000;
  const int64_t same_low_bits = big & 0xFFFFFFFF;
  AddGoodsRow(bob, 601, 3100, "2031-01-01 00:00:00", same_low_bits, 4);
  AddGoodsRow(alice, 601, 3100, "2031-01-01 00:00:00", big, 4);
  AddGoodsRow(alice, 701, 20, "2031-01-01 00:00:00", big + 1);

  ASSERT_EQ(0, AddUserGoods(701, alice, 20, kSevenDays));
  EXPECT_EQ(ParseTimeText("2031-01-01 00:00:00") + kSevenDays,
            ParseTimeText(DueTime(big + 1).c_str()));
  ASSERT_EQ(0, goods::AddBuyDayGoods(602, 3150, alice, 6));
  EXPECT_EQ("6", db_->Query("SELECT nBuyDay FROM tblUserGoods WHERE nId = " +
                            std::to_string(big))[0][0]);
  EXPECT_EQ("4", db_->Query("SELECT nBuyDay FROM tblUserGoods WHERE nId = " +
                            std::to_string(same_low_bits))[0][0]);
}

INSTANTIATE_TEST_SUITE_P(Backends, UserGoods, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
