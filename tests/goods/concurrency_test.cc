// Grants to one player from many threads, and from two processes on one
// SQLite file: every grant counts exactly once.

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db/runner.h"
#include "goods/goods_fixture.h"
#include "goods/grants.h"
#include "util/time_text.h"

namespace zelvar::test {
namespace {

constexpr int kThreads = 8;

class GoodsConcurrency : public GoodsTest {};

TEST_P(GoodsConcurrency, QuotaGrantsFromManyThreadsAllCount) {
  constexpr int kGrantsPerThread = 25;
  const int id = AddUser("alice", "A:1;");
  std::atomic<int> granted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&granted, t] {
      for (int n = 0; n < kGrantsPerThread; ++n) {
        CKParam packet = SendPacket(1, u"alice", {{700 + t, u"1个", 3100, 1, 0}});
        const Response response = Call(1, 1560, packet);
        for (const Record& record : response.records) {
          if (record.key == 100) granted += record.Int();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(kThreads * kGrantsPerThread, granted.load());
  EXPECT_EQ("A:1;Speak:200,0,0,0,0,0,0,0,0,0;", Face(id));
  const auto rows = Goods(id);
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("1", rows[0][5]);
}

TEST_P(GoodsConcurrency, ExtensionsFromManyThreadsAllCount) {
  constexpr int kGrantsPerThread = 5;
  const int64_t start = static_cast<int64_t>(std::time(nullptr));
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&failed] {
      for (int n = 0; n < kGrantsPerThread; ++n) {
        if (goods::AddUserGoods(501, 5, 20, 604800) != 0) ++failed;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const int64_t end = static_cast<int64_t>(std::time(nullptr));

  EXPECT_EQ(0, failed.load());
  const auto rows = Goods(5);
  ASSERT_EQ(1u, rows.size());
  ASSERT_TRUE(rows[0][4].has_value());
  const int64_t due = ParseTimeText(rows[0][4]->c_str());
  EXPECT_GE(due, start + kThreads * kGrantsPerThread * 604800);
  EXPECT_LE(due, end + kThreads * kGrantsPerThread * 604800);
}

// Two processes share one database file on SQLite.
class GoodsProcesses : public GoodsTest {};

TEST_P(GoodsProcesses, QuotaGrantsFromTwoProcessesAllCount) {
  constexpr int kGrantsPerProcess = 25;
  const int id = AddUser("alice");
  // Neither process may use a connection the other opened.
  db::CloseIdleConnections();
  const pid_t child = fork();
  ASSERT_NE(-1, child);
  int failed = 0;
  for (int n = 0; n < kGrantsPerProcess; ++n) {
    if (goods::AddBuyDayGoods(601, 3150, id, 2) != 0) ++failed;
  }
  if (child == 0) _exit(failed);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(0, failed);
  EXPECT_EQ("Speak:0,100,0,0,0,0,0,0,0,0;", Face(id));
  EXPECT_EQ(1u, Goods(id).size());
}

INSTANTIATE_TEST_SUITE_P(Backends, GoodsConcurrency, testing::ValuesIn(AllBackends()),
                         BackendParamName);
INSTANTIATE_TEST_SUITE_P(Sqlite, GoodsProcesses, testing::Values(Backend::kSqlite),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
