// The mixed load from eight threads through PgBouncer in transaction
// pooling mode (scripts/with-pgbouncer), with fewer server sessions than
// threads: each of the module's connections then meets several server
// sessions, and each server session serves several of the module's
// connections. Nothing goes wrong on the way, so every request must
// succeed and the invariants of the load hold strictly.
//
// Runs when ZELVAR_TEST_PGBOUNCER_PORT is set; fails without it when
// ZELVAR_REQUIRE_PGBOUNCER=1.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "faults/mixed_load.h"
#include "support/test_db.h"

namespace zelvar::test {
namespace {

using Clock = MixedLoad::Clock;

constexpr int kThreads = 8;
constexpr int kPlayers = 16;
constexpr auto kDuration = std::chrono::seconds(8);
constexpr int kRequestsPerThread = 3000;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

TEST(PgBouncerLoad, EightThreadsKeepEveryInvariant) {
  const std::string port = Env("ZELVAR_TEST_PGBOUNCER_PORT");
  if (port.empty()) {
    if (Env("ZELVAR_REQUIRE_PGBOUNCER") == "1") {
      FAIL() << "ZELVAR_REQUIRE_PGBOUNCER=1 but ZELVAR_TEST_PGBOUNCER_PORT is not set "
                "(run under scripts/with-postgres scripts/with-pgbouncer)";
    }
    GTEST_SKIP() << "no PgBouncer (run under scripts/with-postgres scripts/with-pgbouncer)";
  }
  const int pool_size = std::atoi(Env("ZELVAR_TEST_PGBOUNCER_POOL_SIZE").c_str());
  ASSERT_GT(pool_size, 0) << "ZELVAR_TEST_PGBOUNCER_POOL_SIZE is not set";
  ASSERT_LT(pool_size, kThreads) << "a pool as large as the load shares no session";

  ScopedTempDir dir;
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(Backend::kPostgres);
  ASSERT_NE(nullptr, db);
  ASSERT_NE(std::string::npos, db->connection_string().find("Port=" + port + ";"))
      << "the module's string does not go through the pooler: " << db->connection_string();
  MixedLoad load(db.get(), kPlayers, kThreads);
  db->Use();

  std::atomic<bool> stop{false};
  std::vector<std::vector<LoadOutcome>> failures(kThreads);
  std::vector<int> done(kThreads, 0);
  std::vector<std::thread> workers;
  const Clock::time_point deadline = Clock::now() + kDuration;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      std::mt19937_64 random(static_cast<uint64_t>(t) * 104729 + 17);
      for (int i = 0; i < kRequestsPerThread && !stop.load() && Clock::now() < deadline; ++i) {
        LoadOutcome outcome = load.Run(t, random);
        ++done[t];
        if (!outcome.ok) failures[t].push_back(std::move(outcome));
      }
    });
  }
  // The server's sessions on the database while the load runs (the
  // checks' own session is straight to the server and not counted): never
  // more than the pool holds, or the requests did not go through it.
  int64_t most_sessions = 0;
  while (Clock::now() < deadline) {
    most_sessions = std::max(
        most_sessions,
        db->QueryInt("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                     "AND pid <> pg_backend_pid() AND backend_type = 'client backend'"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  stop = true;
  for (std::thread& worker : workers) worker.join();

  int64_t requests = 0;
  for (int count : done) requests += count;
  size_t failed = 0;
  for (const auto& list : failures) {
    for (const LoadOutcome& outcome : list) {
      if (++failed <= 20) {
        ADD_FAILURE() << LoadKindName(outcome.kind) << " failed " << outcome.detail;
      }
    }
  }
  std::printf("%lld requests from %d threads, %zu failed, at most %lld server sessions "
              "(pool of %d)\n",
              static_cast<long long>(requests), kThreads, failed,
              static_cast<long long>(most_sessions), pool_size);
  for (const auto& [kind, tally] : load.Tally()) {
    std::printf("  %-22s %6lld requests, %lld failed\n", LoadKindName(kind),
                static_cast<long long>(tally.first), static_cast<long long>(tally.second));
  }
  EXPECT_EQ(0u, failed) << "requests failed with nothing wrong on the way";
  EXPECT_GT(requests, 8 * kThreads) << "too few requests to share the pool";
  EXPECT_GE(most_sessions, 1) << "no server session seen during the load";
  EXPECT_LE(most_sessions, pool_size) << "more server sessions than the pooler holds";
  for (const std::string& violation : load.Check(/*strict=*/true)) ADD_FAILURE() << violation;
}

}  // namespace
}  // namespace zelvar::test
