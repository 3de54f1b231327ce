#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "db/current_connection.h"
#include "util/host_log.h"
#include "support/test_db.h"
#include "zelvar/zelvar.h"

namespace zelvar {
namespace {

TEST(Shell, OpenLogStoresAnyHandle) {
  CTool tool;
  EXPECT_EQ(OpenLog(reinterpret_cast<intptr_t>(&tool)), 0);
  EXPECT_EQ(CurrentLogger(), &tool);
  EXPECT_EQ(OpenLog(0), 0);
  EXPECT_EQ(CurrentLogger(), nullptr);
}

TEST(Shell, MyDeletePtrTakesNullAndModuleArrays) {
  MyDeletePtr(nullptr);
  MyDeletePtr(new char[16]);
}

TEST(Shell, BuiltInConnectionStringIsInForceUntilReplaced) {
  EXPECT_EQ(*CurrentConnectionString(),
            "Provider=sqloledb;Data Source=127.0.0.1;Initial Catalog=Brontal;"
            "User Id=Tavmorin;Password=qoxerafindu;");
}

TEST(Shell, ConcurrentReplacementsLeaveReadersWholeStrings) {
  const std::string before = *CurrentConnectionString();
  std::shared_ptr<const std::string> held = CurrentConnectionString();
  // Replaced once before the writers start, so that the readers never see
  // the built-in string, however late the writers get going.
  SetConnectionString("Provider=SQLite;Data Source=start");
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([i] {
      for (int n = 0; n < 2000; ++n) SetConnectionString("Provider=SQLite;Data Source=" + std::to_string(i));
    });
  }
  for (int n = 0; n < 2000; ++n) {
    const auto current = CurrentConnectionString();
    // Not ASSERT: the writers must still be joined.
    EXPECT_EQ(current->rfind("Provider=SQLite;Data Source=", 0), 0u);
  }
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(*held, before);
  SetConnectionString(before);
}

struct Recorded {
  std::vector<std::pair<int, std::string>> lines;
};

void Record(void* context, int level, const char* line) {
  static_cast<Recorded*>(context)->lines.emplace_back(level, line);
}

TEST(Tool, CallbackReceivesFormattedUtf8Lines) {
  Recorded recorded;
  CTool tool(&Record, &recorded);
  EXPECT_GT(tool.Write(7000, L"成功添加了 sendNum：%d,nUserId:%d", 3, 42), 0);
  EXPECT_GT(tool.Write(7000, L"%ls", L"Account 😀"), 0);
  ASSERT_EQ(recorded.lines.size(), 2u);
  EXPECT_EQ(recorded.lines[0], std::make_pair(7000, std::string("成功添加了 sendNum：3,nUserId:42")));
  EXPECT_EQ(recorded.lines[1].second, "Account 😀");
}

TEST(Tool, LongLinesAreWrittenWhole) {
  Recorded recorded;
  CTool tool(&Record, &recorded);
  const std::wstring long_text(100000, L'x');
  tool.Write(7000, L"[%ls]", long_text.c_str());
  ASSERT_EQ(recorded.lines.size(), 1u);
  EXPECT_EQ(recorded.lines[0].second.size(), 100002u);
}

TEST(Tool, FileSinkAppendsTimeStampedLinesAndCopiesShareIt) {
  test::ScopedTempDir dir;
  {
    CTool tool("tool.log");
    CTool copy;
    copy = tool;
    tool.Write(7000, L"first %d", 1);
    CTool second(copy);
    second.Write(7000, L"second");
  }
  const std::string log = dir.ReadFile("tool.log");
  ASSERT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
  EXPECT_NE(log.find(" first 1\n"), std::string::npos);
  EXPECT_NE(log.find(" second\n"), std::string::npos);
  EXPECT_EQ(log[4], '-');
}

TEST(Tool, UnopenableFileDropsLines) {
  CTool tool("/nonexistent-folder/zelvar.log");
  EXPECT_GE(tool.Write(7000, L"dropped"), 0);
}

TEST(Tool, ConcurrentWritersNeverInterleave) {
  test::ScopedTempDir dir;
  {
    CTool tool("tool.log");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&tool, t] {
        for (int i = 0; i < 500; ++i) tool.Write(7000, L"thread %d line %d end", t, i);
      });
    }
    for (auto& thread : threads) thread.join();
  }
  const std::string log = dir.ReadFile("tool.log");
  size_t lines = 0;
  for (size_t start = 0; start < log.size();) {
    const size_t end = log.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = log.substr(start, end - start);
    EXPECT_EQ(line.substr(line.size() - 4), " end") << line;
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, 2000u);
}

}  // namespace
}  // namespace zelvar
