// Kind 1615: the catalogue of trade items, one text per item.

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "queries/query_fixture.h"

namespace zelvar::test {
namespace {

class TradeItems : public QueryTest {
 protected:
  // Texts are SQL literals (possibly NULL).
  void AddItem(int id, const std::string& name, const std::string& desc, int pacificate,
               const std::string& image, const std::string& x, const std::string& y) {
    db_->Exec("INSERT INTO tblFriendTradeItem (nId, sTradeName, sTradeDesc, nPacificate, "
              "sTradeImage, nHeadX, nHeadY) VALUES (" +
              std::to_string(id) + ", " + name + ", " + desc + ", " + std::to_string(pacificate) +
              ", " + image + ", " + x + ", " + y + ")");
  }
};

TEST_P(TradeItems, ItemTextIsExact) {
  AddItem(3, "'Rose'", "'A red rose'", 10, "'rose.png'", "12.5", "-4");
  CKParam expected;
  expected.SetInt(1, 1615);
  expected.SetCString(-100,
                      u"id,3;name,Rose;desc,A red rose;pacificate,10;image,rose.png;"
                      u"smallImage,smallrose.png;x,12.500000;y,-4.000000;");
  expected.SetInt(-10, 1);
  const std::string image(expected.GetBufferPtr(), static_cast<size_t>(expected.GetLength()));

  EXPECT_EQ(Ask(1, 1615).image, image);
  // Whoever asks gets the same catalogue.
  EXPECT_EQ(Ask(-5, 1615).image, image);
}

TEST_P(TradeItems, ValuesStandAsTheyAreAndPositionsInSinglePrecision) {
  AddItem(1, "'a,b;c'", "'line; with, marks'", -2, "''", "0.1", "12345.678");
  AddItem(2, "'花'", "NULL", 0, "'x.png'", "-0.5", "0");
  Reply reply = Ask(1, 1615);
  ASSERT_EQ(reply.Int(-10), 2);
  std::set<std::u16string> texts{reply.Text(-100).value_or(u""), reply.Text(-200).value_or(u"")};
  EXPECT_EQ(texts, (std::set<std::u16string>{
                       u"id,1;name,a,b;c;desc,line; with, marks;pacificate,-2;image,;"
                       u"smallImage,small;x,0.100000;y,12345.677734;",
                       u"id,2;name,花;desc,;pacificate,0;image,x.png;smallImage,smallx.png;"
                       u"x,-0.500000;y,0.000000;"}));
}

TEST_P(TradeItems, KeysWrapAtSixteenBits) {
  std::string values;
  for (int id = 1; id <= 330; ++id) {
    if (!values.empty()) values += ", ";
    values += "(" + std::to_string(id) + ", 'n', 'd', 1, 'i', 1, 2)";
  }
  db_->Exec("INSERT INTO tblFriendTradeItem (nId, sTradeName, sTradeDesc, nPacificate, "
            "sTradeImage, nHeadX, nHeadY) VALUES " + values);
  Reply reply = Ask(1, 1615);
  EXPECT_EQ(reply.Int(-10), 330);
  std::set<std::u16string> texts;
  for (int k = 1; k <= 330; ++k) {
    const short key = static_cast<short>(-100 * k);
    ASSERT_TRUE(reply.Text(key).has_value()) << k;
    texts.insert(*reply.Text(key));
  }
  EXPECT_EQ(texts.size(), 330u);
  EXPECT_TRUE(reply.Text(32736).has_value());  // item 328
  EXPECT_TRUE(reply.Text(-32700).has_value());  // item 327
}

INSTANTIATE_TEST_SUITE_P(Backends, TradeItems, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
