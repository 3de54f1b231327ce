// The console's sessions, sign-in limit and listening rules, below HTTP.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tools/zelvar/console/console.h"
#include "tools/zelvar/console/web_sessions.h"

namespace zelvar::console {
namespace {

TEST(ConsoleSessions, EndAtTheirTimeAtSignOutAndWithTheirLogin) {
  SessionTable table(std::chrono::seconds(1));
  const WebSession a = table.Start("ana", Role::kAdmin);
  const WebSession b = table.Start("ana", Role::kAdmin);
  const WebSession c = table.Start("sam", Role::kSupport);
  EXPECT_NE(a.token, b.token);
  EXPECT_NE(a.token, a.csrf);
  EXPECT_EQ(a.token.size(), 64u);
  ASSERT_TRUE(table.Find(a.token));
  table.End(a.token);
  EXPECT_FALSE(table.Find(a.token));
  table.EndLogin("ana");
  EXPECT_FALSE(table.Find(b.token));
  ASSERT_TRUE(table.Find(c.token));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_FALSE(table.Find(c.token)) << "a session outlived its time";
  EXPECT_FALSE(table.Find(""));
}

TEST(ConsoleSessions, FailedSignInsAreLimitedPerKeyInTheirWindow) {
  LoginLimiter limiter(3, std::chrono::seconds(1));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(limiter.WaitSeconds("name:sam"), 0);
    limiter.Failed("name:sam");
  }
  EXPECT_GE(limiter.WaitSeconds("name:sam"), 1);
  EXPECT_EQ(limiter.WaitSeconds("name:ana"), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(limiter.WaitSeconds("name:sam"), 0) << "the window never slid";
  EXPECT_FALSE(SameToken("", ""));
  EXPECT_FALSE(SameToken("abc", "abd"));
  EXPECT_TRUE(SameToken("abc", "abc"));
}

TEST(ConsoleListen, OnlyLoopbackCountsAsLoopback) {
  const struct {
    const char* text;
    bool ok, loopback;
  } cases[] = {{"127.0.0.1:8470", true, true},  {"127.8.9.1:0", true, true},     {"[::1]:8470", true, true},
               {"localhost:80", true, true},     {"0.0.0.0:8470", true, false},   {"[::]:8470", true, false},
               {"10.0.0.5:8470", true, false},   {"db.example:8470", true, false}, {"128.0.0.1:1", true, false},
               {"::1:8470", false, false},       {"127.0.0.1", false, false},     {"127.0.0.1:65536", false, false},
               {":8470", false, false},          {"127.0.0.1:x", false, false}};
  for (const auto& c : cases) {
    ListenAddress address;
    std::string error;
    EXPECT_EQ(ParseListen(c.text, &address, &error), c.ok) << c.text;
    if (c.ok) EXPECT_EQ(address.loopback, c.loopback) << c.text;
  }
}

}  // namespace
}  // namespace zelvar::console
