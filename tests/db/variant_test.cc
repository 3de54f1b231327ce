// How field values are taken apart: whole numbers, reals and texts.

#include "db/variant.h"

#include <gtest/gtest.h>

namespace zelvar::db {
namespace {

TEST(Variant, WholeNumberRule) {
  EXPECT_EQ(Variant::Integer(7).Int32(), 7);
  EXPECT_EQ(Variant::Integer((int64_t{1} << 32) + 5).Int32(), 5);  // low 32 bits
  EXPECT_EQ(Variant::Integer(-1).Int32(), -1);
  EXPECT_EQ(Variant::Real(3.9).Int32(), 3);
  EXPECT_EQ(Variant::Real(-3.9).Int32(), -3);
  EXPECT_EQ(Variant::Real(1e12).Int32(), 2147483647);
  EXPECT_EQ(Variant::Real(-1e12).Int32(), -2147483647 - 1);
  EXPECT_EQ(Variant::Text(u" 42abc").Int32(), 42);
  EXPECT_EQ(Variant::Text(u"-17").Int32(), -17);
  EXPECT_EQ(Variant::Text(u"abc").Int32(), 0);
  EXPECT_EQ(Variant::Null().Int32(), 0);
  EXPECT_EQ(Variant().Int32(), 0);
}

TEST(Variant, RealRule) {
  EXPECT_EQ(Variant::Real(12.5).Real(), 12.5);
  EXPECT_EQ(Variant::Integer(-4).Real(), -4.0);
  EXPECT_EQ(Variant::Text(u"0.25").Real(), 0.25);
  EXPECT_EQ(Variant::Text(u"-1.5e2").Real(), -150.0);
  EXPECT_EQ(Variant::Null().Real(), 0.0);
}

TEST(Variant, TextRule) {
  std::u16string text = u"kept";
  EXPECT_FALSE(Variant::Null().ToText(&text));
  EXPECT_FALSE(Variant().ToText(&text));
  EXPECT_EQ(text, u"kept");
  ASSERT_TRUE(Variant::Integer(-5).ToText(&text));
  EXPECT_EQ(text, u"-5");
  ASSERT_TRUE(Variant::Real(0.1).ToText(&text));
  EXPECT_EQ(text, u"0.1");
  ASSERT_TRUE(Variant::Real(12.5).ToText(&text));
  EXPECT_EQ(text, u"12.5");
  ASSERT_TRUE(Variant::Text(u"").ToText(&text));
  EXPECT_EQ(text, u"");
}

}  // namespace
}  // namespace zelvar::db
