#include "util/text.h"

#include <gtest/gtest.h>

#include "util/text_format.h"

namespace zelvar {
namespace {

TEST(Text, RoundTripsChineseAndEmoji) {
  const std::u16string wide = u"缺失remark 😀 ünï";
  const std::string narrow = ToNarrow(wide);
  EXPECT_EQ(narrow, "缺失remark 😀 ünï");
  EXPECT_EQ(ToWide(narrow), wide);
  EXPECT_EQ(ThroughNarrow(wide), wide);
}

TEST(Text, LoneSurrogatesBecomeQuestionMarks) {
  const std::u16string lone_high = {u'a', char16_t(0xD83D), u'b'};
  const std::u16string lone_low = {char16_t(0xDE00), u'c'};
  EXPECT_EQ(ToNarrow(lone_high), "a?b");
  EXPECT_EQ(ToNarrow(lone_low), "?c");
  EXPECT_EQ(ThroughNarrow(lone_high), u"a?b");
  EXPECT_EQ(ToWchar(lone_high), L"a?b");
}

TEST(Text, InvalidUtf8BecomesReplacementCharacter) {
  EXPECT_EQ(ToWide("a\xff" "b"), u"a\uFFFDb");
  // Overlong forms and encoded surrogates are not characters.
  EXPECT_EQ(ToWide("\xc0\xaf"), u"\uFFFD\uFFFD");
  EXPECT_EQ(ToWide("\xed\xa0\x80"), u"\uFFFD\uFFFD\uFFFD");
  // A sequence cut short at the end.
  EXPECT_EQ(ToWide("x\xe4\xb8"), u"x\uFFFD\uFFFD");
}

TEST(Text, BufferConversionsCheckTheirSize) {
  char narrow[8];
  EXPECT_EQ(WideToNarrow(u"abc", narrow, sizeof narrow, kNarrowCodePage), narrow);
  EXPECT_STREQ(narrow, "abc");
  // "中文" needs six bytes and the terminator.
  EXPECT_EQ(WideToNarrow(u"中文", narrow, 6, kNarrowCodePage), nullptr);
  EXPECT_EQ(WideToNarrow(u"中文", narrow, 7, kNarrowCodePage), narrow);
  EXPECT_EQ(WideToNarrow(nullptr, narrow, 8, kNarrowCodePage), nullptr);
  EXPECT_EQ(WideToNarrow(u"a", nullptr, 8, kNarrowCodePage), nullptr);

  char16_t wide[4];
  EXPECT_EQ(NarrowToWide("中文", wide, 3, kNarrowCodePage), wide);
  EXPECT_EQ(std::u16string(wide), u"中文");
  EXPECT_EQ(NarrowToWide("abcd", wide, 4, kNarrowCodePage), nullptr);
  EXPECT_EQ(NarrowToWide(nullptr, wide, 4, kNarrowCodePage), nullptr);
}

TEST(TextFormat, FillsIntegersTextsAndReals) {
  EXPECT_EQ(FormatText(u"id,%d;name,%s;", {3, u"Rose"}), u"id,3;name,Rose;");
  EXPECT_EQ(FormatText(u"x,%f;y,%f;", {static_cast<double>(0.1f), -4.0}),
            u"x,0.100000;y,-4.000000;");
  EXPECT_EQ(FormatText(u"%d%%", {-7}), u"-7%");
  // Values are inserted as they are, never read as formats.
  EXPECT_EQ(FormatText(u"[%s]", {u"%d%s"}), u"[%d%s]");
  // A place without an argument stays as written.
  EXPECT_EQ(FormatText(u"%d and %d", {1}), u"1 and %d");
  EXPECT_EQ(FormatText(u"帐号有问题 Account ：%s", {u""}), u"帐号有问题 Account ：");
  EXPECT_EQ(FormatText(u"%f", {1e300}).size(), 308u);
}

}  // namespace
}  // namespace zelvar
