// The speak entry of a face text: splitting, the counter of each goods type,
// and the rewriting after a quota grant.

#include "goods/speak_entry.h"

#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace zelvar::goods {
namespace {

std::vector<std::u16string> Split(std::u16string_view text) {
  std::vector<std::u16string> pieces = {u"left over"};
  EXPECT_EQ(0, SplitByComma(text, &pieces));
  return pieces;
}

TEST(SplitByComma, KeepsOnlyNonEmptyPiecesInOrder) {
  using Pieces = std::vector<std::u16string>;
  EXPECT_EQ(Pieces({u"1", u"22", u"3"}), Split(u"1,22,3"));
  EXPECT_EQ(Pieces({u"a", u"b"}), Split(u",,a,,,b,"));
  EXPECT_EQ(Pieces({u" x "}), Split(u" x "));
  EXPECT_EQ(Pieces({u"个", u"天"}), Split(u"个,天"));
  EXPECT_EQ(Pieces(), Split(u""));
  EXPECT_EQ(Pieces(), Split(u",,,"));
}

TEST(SpeakEntry, EachCounterHasItsGoodsType) {
  struct Case {
    int goods_type;
    const char16_t* fresh_entry;
  };
  const Case cases[] = {
      {3100, u"Speak:3,0,0,0,0,0,0,0,0,0;"}, {3150, u"Speak:0,3,0,0,0,0,0,0,0,0;"},
      {3200, u"Speak:0,0,3,0,0,0,0,0,0,0;"}, {3250, u"Speak:0,0,0,3,0,0,0,0,0,0;"},
      {3251, u"Speak:0,0,0,0,3,0,0,0,0,0;"}, {3252, u"Speak:0,0,0,0,0,3,0,0,0,0;"},
      {3210, u"Speak:0,0,0,0,0,0,3,0,0,0;"}, {3254, u"Speak:0,0,0,0,0,0,0,3,0,0;"},
      {3255, u"Speak:0,0,0,0,0,0,0,0,3,0;"}, {3256, u"Speak:0,0,0,0,0,0,0,0,0,3;"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.fresh_entry, RewriteSpeakEntry(u"", c.goods_type, 3)) << c.goods_type;
  }
  for (int other : {3000, 3099, 3101, 3253, 3257, 3999, 2999, 4000}) {
    EXPECT_EQ(0, SpeakCounterOf(other)) << other;
    EXPECT_EQ(u"A:1;", RewriteSpeakEntry(u"A:1;", other, 2)) << other;
  }
}

TEST(SpeakEntry, RewritesFaceTexts) {
  struct Case {
    const char16_t* before;
    int count;
    int goods_type;
    const char16_t* after;
  };
  const Case cases[] = {
      {u"", 2, 3150, u"Speak:0,2,0,0,0,0,0,0,0,0;"},
      {u"A:1;", 2, 3150, u"A:1;Speak:0,2,0,0,0,0,0,0,0,0;"},
      {u"Speak:1,2,3,4,5,6,7,8,9,10;", 6, 3210, u"Speak:1,2,3,4,5,6,13,8,9,10;"},
      {u"X:1;Speak:1,2,3,4,5,6,7,8,9,10;Y:2;", 1, 3100, u"X:1;Y:2;Speak:2,2,3,4,5,6,7,8,9,10;"},
      // Fewer than ten numbers: the entry is dropped and started afresh.
      {u"Speak:1,2,3,4,5,6,7,8,9;", 1, 3100, u"Speak:1,0,0,0,0,0,0,0,0,0;"},
      // Without its ";" the entry stays as it is.
      {u"Speak:1,2", 1, 3100, u"Speak:1,2Speak:1,0,0,0,0,0,0,0,0,0;"},
      {u"Speak;B:2;", 2, 3256, u"B:2;Speak:0,0,0,0,0,0,0,0,0,2;"},
      // Numbers past the tenth are dropped; empty places don't count.
      {u"Speak:1,2,3,4,5,6,7,8,9,10,11,12;", 1, 3256, u"Speak:1,2,3,4,5,6,7,8,9,11;"},
      {u"Speak:,1,,2,3,4,5,6,7,8,9,10,;", 1, 3100, u"Speak:2,2,3,4,5,6,7,8,9,10;"},
      // Numbers are read as far as they go: blanks and a sign before them.
      {u"Speak: 5,-3,+4,x,7z,6,7,8,9,10;", 2, 3150, u"Speak:5,-1,4,0,7,6,7,8,9,10;"},
      // A ":" inside the numbers also separates them.
      {u"Speak:1:2,3,4,5,6,7,8,9,10,11;", 1, 3100, u"Speak:2,2,3,4,5,6,7,8,9,10;"},
      // Only the first entry is rewritten.
      {u"Speak:1,1,1,1,1,1,1,1,1,1;Speak:2,2,2,2,2,2,2,2,2,2;", 1, 3100,
       u"Speak:2,2,2,2,2,2,2,2,2,2;Speak:2,1,1,1,1,1,1,1,1,1;"},
      // "Speak" opens the entry whatever follows it.
      {u"Speaking:0,0,0,0,0,0,0,0,0,0;", 1, 3100, u"Speak:1,0,0,0,0,0,0,0,0,0;"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    EXPECT_EQ(c.after, RewriteSpeakEntry(c.before, c.goods_type, c.count)) << "case " << i;
  }
}

TEST(SpeakEntry, TypeWithoutCounterRebuildsTheEntryUnchanged) {
  EXPECT_EQ(u"X:1;Speak:1,2,3,4,5,6,7,8,9,10;",
            RewriteSpeakEntry(u"Speak:1,2,3,4,5,6,7,8,9,10;X:1;", 3253, 6));
  EXPECT_EQ(u"X:1;", RewriteSpeakEntry(u"Speak:1,2;X:1;", 3253, 6));
  EXPECT_EQ(u"", RewriteSpeakEntry(u"", 3253, 6));
}

TEST(SpeakEntry, CountersStopAtTheirBounds) {
  EXPECT_EQ(u"Speak:2147483647,0,0,0,0,0,0,0,0,0;",
            RewriteSpeakEntry(u"Speak:2147483647,0,0,0,0,0,0,0,0,0;", 3100, 6));
  EXPECT_EQ(u"Speak:2147483647,-2147483648,0,0,0,0,0,0,0,0;",
            RewriteSpeakEntry(u"Speak:99999999999999999999,-99999999999,0,0,0,0,0,0,0,0;", 3253, 1));
}

TEST(SpeakEntry, LoweringTakesBackOnlyTheCounterAndNeverBelowZero) {
  int64_t before = -1, after = -1;
  std::u16string face = u"Face:1;Speak:4, 3,0,0,0,0,0,0,0,0;Hair:2;";
  ASSERT_TRUE(codec::LowerSpeakCounter(&face, 3150, 2, &before, &after));
  EXPECT_EQ(face, u"Face:1;Speak:4,1,0,0,0,0,0,0,0,0;Hair:2;");
  EXPECT_EQ(before, 3);
  EXPECT_EQ(after, 1);
  ASSERT_TRUE(codec::LowerSpeakCounter(&face, 3210, 5, &before, &after));  // counter 7 already at 0
  EXPECT_EQ(face, u"Face:1;Speak:4,1,0,0,0,0,0,0,0,0;Hair:2;");
  ASSERT_TRUE(codec::LowerSpeakCounter(&face, 3100, 6, &before, &after));
  EXPECT_EQ(face, u"Face:1;Speak:0,1,0,0,0,0,0,0,0,0;Hair:2;");

  // No usable entry, or a type that feeds no counter: nothing to take back.
  for (std::u16string text : {u"Face:1;", u"Speak:1,2,3;", u"Speak:1,0,0,0,0,0,0,0,0,0"}) {
    const std::u16string kept = text;
    EXPECT_FALSE(codec::LowerSpeakCounter(&text, 3100, 1, &before, &after));
    EXPECT_EQ(text, kept);
  }
  std::u16string face2 = u"Speak:1,0,0,0,0,0,0,0,0,0;";
  EXPECT_FALSE(codec::LowerSpeakCounter(&face2, 3253, 1, &before, &after));
}

}  // namespace
}  // namespace zelvar::goods
