// The integer chain: ordering, the search hint, removal at every place,
// iteration and copying.
#include "queries/int_chain.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace zelvar::queries {
namespace {

// The chain's keys and values in iteration order, walked as callers do.
std::vector<std::pair<int32_t, int>> Contents(IntStruct& chain) {
  std::vector<std::pair<int32_t, int>> out;
  if (chain.MoveFirst() == 0) return out;
  do {
    int value = 0;
    int32_t key = 0;
    EXPECT_EQ(chain.GetCurrent(&value, &key), 1);
    out.emplace_back(key, value);
  } while (chain.MoveNext() != 0);
  return out;
}

using Pairs = std::vector<std::pair<int32_t, int>>;

void Fill(IntStruct& chain, std::initializer_list<int32_t> keys) {
  for (int32_t key : keys) {
    int value = key * 10;
    ASSERT_EQ(chain.Insert(key, &value, 0), 1) << key;
  }
}

TEST(IntChain, InsertKeepsKeysAscendingAndRefusesDuplicates) {
  IntStruct chain;
  EXPECT_EQ(chain.GetCount(0), 0);
  Fill(chain, {3, 1, 2});
  EXPECT_EQ(Contents(chain), (Pairs{{1, 10}, {2, 20}, {3, 30}}));
  EXPECT_EQ(chain.GetCount(0), 3);

  int other = 99;
  EXPECT_EQ(chain.Insert(1, &other, 0), 0);  // at the head
  EXPECT_EQ(chain.Insert(2, &other, 0), 0);  // inside
  EXPECT_EQ(chain.Insert(3, &other, 0), 0);  // at the end
  EXPECT_EQ(Contents(chain), (Pairs{{1, 10}, {2, 20}, {3, 30}}));
  EXPECT_EQ(chain.GetCount(0), 3);

  Fill(chain, {-5, 100, 0});
  EXPECT_EQ(Contents(chain),
            (Pairs{{-5, -50}, {0, 0}, {1, 10}, {2, 20}, {3, 30}, {100, 1000}}));
}

TEST(IntChain, FindFromEveryHintPosition) {
  IntStruct chain;
  int value = -1;
  EXPECT_EQ(chain.Find(1, &value, 0), 0);
  Fill(chain, {10, 20, 30, 40, 50});

  // Ascending run, as the friend list makes it.
  for (int32_t key : {10, 20, 30, 40, 50}) {
    ASSERT_EQ(chain.Find(key, &value, 0), 1);
    EXPECT_EQ(value, key * 10);
  }
  // The hint is now at 50: keys before it are found from the head.
  ASSERT_EQ(chain.Find(20, &value, 0), 1);
  EXPECT_EQ(value, 200);
  ASSERT_EQ(chain.Find(20, &value, 0), 1);  // the hint itself
  ASSERT_EQ(chain.Find(10, &value, 0), 1);  // the head, hint behind it
  EXPECT_EQ(value, 100);

  // Absent keys leave the out value alone, wherever they fall.
  for (int32_t key : {5, 15, 25, 45, 55}) {
    value = -7;
    EXPECT_EQ(chain.Find(key, &value, 0), 0) << key;
    EXPECT_EQ(value, -7);
  }
  // A failed search did not move the hint off the chain.
  ASSERT_EQ(chain.Find(40, &value, 0), 1);
  EXPECT_EQ(value, 400);
  ASSERT_EQ(chain.Find(10, &value, 0), 1);
  EXPECT_EQ(value, 100);
  // With the hint at the head, a smaller key is absent at once.
  EXPECT_EQ(chain.Find(1, &value, 0), 0);
}

TEST(IntChain, InsertInFrontKeepsHintUsable) {
  IntStruct chain;
  Fill(chain, {10, 20, 30});  // hint at 30
  Fill(chain, {5});           // new head; hint stays at 30
  int value = 0;
  ASSERT_EQ(chain.Find(5, &value, 0), 1);
  EXPECT_EQ(value, 50);
  ASSERT_EQ(chain.Find(30, &value, 0), 1);
  ASSERT_EQ(chain.Find(10, &value, 0), 1);
  EXPECT_EQ(value, 100);
}

TEST(IntChain, RemoveAtHeadMiddleAndEnd) {
  IntStruct chain;
  Fill(chain, {1, 2, 3, 4, 5});
  EXPECT_EQ(chain.Remove(0, 0), 0);  // before the head
  EXPECT_EQ(chain.Remove(6, 0), 0);  // after the end
  EXPECT_EQ(chain.GetCount(0), 5);

  EXPECT_EQ(chain.Remove(1, 0), 1);
  EXPECT_EQ(Contents(chain), (Pairs{{2, 20}, {3, 30}, {4, 40}, {5, 50}}));
  EXPECT_EQ(chain.Remove(3, 0), 1);
  EXPECT_EQ(Contents(chain), (Pairs{{2, 20}, {4, 40}, {5, 50}}));
  EXPECT_EQ(chain.Remove(5, 0), 1);
  EXPECT_EQ(Contents(chain), (Pairs{{2, 20}, {4, 40}}));
  EXPECT_EQ(chain.Remove(3, 0), 0);
  EXPECT_EQ(chain.GetCount(0), 2);

  EXPECT_EQ(chain.Remove(2, 0), 1);
  EXPECT_EQ(chain.Remove(4, 0), 1);
  EXPECT_EQ(chain.GetCount(0), 0);
  EXPECT_EQ(chain.MoveFirst(), 0);
  EXPECT_EQ(chain.Remove(4, 0), 0);
  Fill(chain, {7});
  EXPECT_EQ(Contents(chain), (Pairs{{7, 70}}));
}

TEST(IntChain, RemoveAroundTheHint) {
  IntStruct chain;
  Fill(chain, {1, 2, 3, 4, 5, 6});
  int value = 0;

  ASSERT_EQ(chain.Find(4, &value, 0), 1);  // hint at 4
  EXPECT_EQ(chain.Remove(4, 0), 1);        // the hint itself
  ASSERT_EQ(chain.Find(5, &value, 0), 1);  // hint at 5
  EXPECT_EQ(chain.Remove(6, 0), 1);        // after the hint
  ASSERT_EQ(chain.Find(5, &value, 0), 1);
  EXPECT_EQ(chain.Remove(2, 0), 1);        // before the hint
  EXPECT_EQ(Contents(chain), (Pairs{{1, 10}, {3, 30}, {5, 50}}));

  // Every remaining key is still found from wherever the hint went.
  for (int32_t key : {5, 3, 1, 3, 5}) {
    ASSERT_EQ(chain.Find(key, &value, 0), 1) << key;
    EXPECT_EQ(value, key * 10);
  }
}

TEST(IntChain, IterationWrapsToTheFirstNode) {
  IntStruct chain;
  int value = -1;
  int32_t key = -1;
  EXPECT_EQ(chain.MoveFirst(), 0);
  EXPECT_EQ(chain.GetCurrent(&value, &key), 0);
  EXPECT_EQ(chain.MoveNext(), 0);
  EXPECT_EQ(value, -1);

  Fill(chain, {1, 2, 3});
  ASSERT_EQ(chain.MoveFirst(), 1);
  EXPECT_EQ(chain.MoveNext(), 1);
  EXPECT_EQ(chain.MoveNext(), 1);
  EXPECT_EQ(chain.MoveNext(), 0);  // at the last node
  ASSERT_EQ(chain.GetCurrent(&value, nullptr), 1);
  EXPECT_EQ(value, 10);  // back on the first

  // Inserting puts the cursor back on the first node.
  EXPECT_EQ(chain.MoveNext(), 1);
  Fill(chain, {0});
  ASSERT_EQ(chain.GetCurrent(&value, &key), 1);
  EXPECT_EQ(key, 0);
}

TEST(IntChain, RemoveAllEmptiesAndLeavesAFreshChain) {
  IntStruct chain;
  EXPECT_EQ(chain.RemoveAll(), 0);
  Fill(chain, {4, 8, 12});
  int value = 0;
  ASSERT_EQ(chain.Find(8, &value, 0), 1);
  EXPECT_EQ(chain.RemoveAll(), 1);
  EXPECT_EQ(chain.GetCount(0), 0);
  EXPECT_EQ(chain.MoveFirst(), 0);
  EXPECT_EQ(chain.GetCurrent(&value, nullptr), 0);
  EXPECT_EQ(chain.MoveNext(), 0);
  EXPECT_EQ(chain.Find(8, &value, 0), 0);
  EXPECT_EQ(chain.RemoveAll(), 0);

  Fill(chain, {9, 3});
  EXPECT_EQ(Contents(chain), (Pairs{{3, 30}, {9, 90}}));
  ASSERT_EQ(chain.Find(9, &value, 0), 1);
  EXPECT_EQ(value, 90);
}

TEST(IntChain, CopyFromMergesInKeyOrder) {
  IntStruct target;
  IntStruct source;
  EXPECT_EQ(target.CopyFrom(nullptr), 0);
  EXPECT_EQ(target.CopyFrom(&target), 0);
  EXPECT_EQ(target.CopyFrom(&source), 1);  // empty: nothing copied
  EXPECT_EQ(target.GetCount(0), 0);

  Fill(source, {5, 1, 3});
  int kept = -2;
  ASSERT_EQ(target.Insert(3, &kept, 0), 1);
  EXPECT_EQ(target.CopyFrom(&source), 1);
  EXPECT_EQ(Contents(target), (Pairs{{1, 10}, {3, -2}, {5, 50}}));
  EXPECT_EQ(Contents(source), (Pairs{{1, 10}, {3, 30}, {5, 50}}));

  // The walk leaves the source's cursor on its first node.
  ASSERT_EQ(source.MoveNext(), 1);
  EXPECT_EQ(target.CopyFrom(&source), 1);
  int value = 0;
  int32_t key = 0;
  ASSERT_EQ(source.GetCurrent(&value, &key), 1);
  EXPECT_EQ(key, 1);
  EXPECT_EQ(target.GetCount(0), 3);
}

// A chain of texts that records every value it is asked to release.
class TextChain : public ChainTemplate<std::string> {
 public:
  explicit TextChain(std::vector<std::string>* released) : released_(released) {}
  ~TextChain() override { RemoveAll(); }
  int ReleaseValue(std::string* value) override {
    released_->push_back(*value);
    return 0;
  }

 private:
  std::vector<std::string>* released_;
};

TEST(IntChain, RemovalReleasesEachValueOnce) {
  std::vector<std::string> released;
  {
    TextChain chain(&released);
    for (auto [key, text] : {std::pair{2, "two"}, {1, "one"}, {3, "three"}, {4, "four"}}) {
      std::string value = text;
      ASSERT_EQ(chain.Insert(key, &value, 0), 1);
    }
    std::string duplicate = "again";
    EXPECT_EQ(chain.Insert(2, &duplicate, 0), 0);

    EXPECT_EQ(chain.Remove(3, 0), 1);
    EXPECT_EQ(chain.Remove(1, 0), 1);
    EXPECT_EQ(released, (std::vector<std::string>{"three", "one"}));

    TextChain copy(&released);
    EXPECT_EQ(copy.CopyFrom(&chain), 1);
    EXPECT_EQ(copy.GetCount(0), 2);
    std::string found;
    ASSERT_EQ(copy.Find(4, &found, 0), 1);
    EXPECT_EQ(found, "four");
  }
  // Both chains released their remaining values on destruction.
  EXPECT_EQ(released,
            (std::vector<std::string>{"three", "one", "two", "four", "two", "four"}));
}

}  // namespace
}  // namespace zelvar::queries
