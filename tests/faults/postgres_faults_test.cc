// PostgreSQL under faults, with a load of mixed requests from four
// threads: the server restarted (fast and immediate shutdown, on a server
// of the test's own), and the pooled connections ended from the server
// side (pg_terminate_backend). Requests during the outage fail cleanly;
// every request after it succeeds; the invariants of the load hold.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db/runner.h"
#include "faults/mixed_load.h"
#include "faults/private_postgres.h"
#include "support/test_db.h"

namespace zelvar::test {
namespace {

using Clock = MixedLoad::Clock;
constexpr int kThreads = 4;
constexpr int kPlayers = 16;

struct TimedOutcome {
  LoadOutcome outcome;
  Clock::time_point begin;
  Clock::time_point end;
};

// Runs random requests on `threads` threads while `event` runs on this
// one; the outcomes of every thread, in order.
std::vector<TimedOutcome> LoadDuring(MixedLoad& load, int threads,
                                     const std::function<void()>& event) {
  std::atomic<bool> stop{false};
  std::vector<std::vector<TimedOutcome>> outcomes(static_cast<size_t>(threads));
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::mt19937_64 random(static_cast<uint64_t>(t) * 7919 + 1);
      while (!stop.load()) {
        TimedOutcome timed;
        timed.begin = Clock::now();
        timed.outcome = load.Run(t, random);
        timed.end = Clock::now();
        outcomes[static_cast<size_t>(t)].push_back(std::move(timed));
      }
    });
  }
  event();
  stop = true;
  for (std::thread& worker : workers) worker.join();
  std::vector<TimedOutcome> all;
  for (auto& list : outcomes) all.insert(all.end(), list.begin(), list.end());
  return all;
}

void Sleep(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// Every kind once from each thread; every one must succeed.
void ExpectEveryKindSucceeds(MixedLoad& load) {
  std::vector<std::thread> workers;
  std::vector<std::vector<LoadOutcome>> outcomes(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      std::mt19937_64 random(static_cast<uint64_t>(t) + 101);
      for (int kind = 0; kind < static_cast<int>(LoadKind::kCount); ++kind) {
        outcomes[t].push_back(load.RunKind(t, static_cast<LoadKind>(kind), random));
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  for (const auto& list : outcomes) {
    for (const LoadOutcome& outcome : list) {
      EXPECT_TRUE(outcome.ok) << LoadKindName(outcome.kind) << " failed " << outcome.detail;
    }
  }
}

void ExpectNoViolations(MixedLoad& load, bool strict) {
  for (const std::string& violation : load.Check(strict)) ADD_FAILURE() << violation;
}

bool PostgresRequired() {
  const char* require = std::getenv("ZELVAR_REQUIRE_PG");
  return require != nullptr && std::string(require) == "1";
}

class PostgresRestart : public testing::TestWithParam<const char*> {};

TEST_P(PostgresRestart, RequestsFailCleanlyDuringAndSucceedAfter) {
  if (!PrivatePostgres::Available()) {
    if (PostgresRequired()) FAIL() << "ZELVAR_TEST_PG_BIN and ZELVAR_TEST_PG_USER are not set";
    GTEST_SKIP() << "no PostgreSQL binaries (run under scripts/with-postgres)";
  }
  ScopedTempDir dir;
  std::string error;
  std::unique_ptr<PrivatePostgres> server = PrivatePostgres::Start(&error);
  ASSERT_NE(nullptr, server) << error;
  std::unique_ptr<TestDatabase> db = TestDatabase::Attach(Backend::kPostgres,
                                                          server->connection_string());
  ASSERT_NE(nullptr, db);
  MixedLoad load(db.get(), kPlayers, kThreads);
  db->Use();

  const std::string mode = GetParam();
  Clock::time_point down, up;
  bool restarted = false;
  const std::vector<TimedOutcome> outcomes = LoadDuring(load, kThreads, [&] {
    Sleep(1.5);
    down = Clock::now();
    restarted = server->Restart(mode);
    up = Clock::now();
    Sleep(3);
  });
  ASSERT_TRUE(restarted) << "the server did not come back";
  // Connects wait out a back-off of at most a second after failing, so
  // requests may still fail that long after the server is back.
  const Clock::time_point settled = up + std::chrono::seconds(1);
  load.MarkTrouble(down, settled);
  int64_t failed_during = 0, after = 0;
  for (const TimedOutcome& timed : outcomes) {
    if (timed.begin > settled) {
      ++after;
      EXPECT_TRUE(timed.outcome.ok) << LoadKindName(timed.outcome.kind) << " failed "
                                    << timed.outcome.detail << " after the restart";
    } else if (timed.end >= down && !timed.outcome.ok) {
      ++failed_during;
    }
    EXPECT_TRUE(timed.outcome.ok || timed.outcome.detail.empty())
        << LoadKindName(timed.outcome.kind) << ": " << timed.outcome.detail;
  }
  std::printf("restart -m %s: %zu requests, %lld failed in an outage of %.2f s, %lld after it\n",
              mode.c_str(), outcomes.size(), static_cast<long long>(failed_during),
              std::chrono::duration<double>(up - down).count(), static_cast<long long>(after));
  EXPECT_GT(failed_during, 0) << "no request met the outage";
  EXPECT_GT(after, 100) << "too few requests after the restart";
  EXPECT_NE(std::string::npos, dir.ReadFile("ZelvarError.log").find("数据库没能打开"))
      << "the outage left no error-log record";
  ExpectEveryKindSucceeds(load);

  // The session of the checks did not survive the restart.
  db::CloseIdleConnections();
  std::unique_ptr<TestDatabase> checks = TestDatabase::Attach(Backend::kPostgres,
                                                              server->connection_string());
  ASSERT_NE(nullptr, checks);
  load.set_database(checks.get());
  // A fast shutdown ends sessions between statements and answers every
  // commit it made; an immediate one may lose the answer to a commit.
  ExpectNoViolations(load, /*strict=*/mode == "fast");
}

INSTANTIATE_TEST_SUITE_P(Modes, PostgresRestart, testing::Values("fast", "immediate"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

// The module's sessions ended from the server side, while idle and while
// the load runs.
TEST(PostgresTerminated, NextRequestsSucceed) {
  ScopedTempDir dir;
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(Backend::kPostgres);
  if (db == nullptr) return;  // skipped or failed by Create
  MixedLoad load(db.get(), kPlayers, kThreads);
  db->Use();
  // The module's sessions only: an autovacuum worker on the database is
  // the server's own and may not be ended by this role.
  const std::string terminate =
      "SELECT COALESCE(SUM(CASE WHEN pg_terminate_backend(pid) THEN 1 ELSE 0 END), 0) FROM "
      "pg_stat_activity WHERE datname = current_database() AND pid <> pg_backend_pid() AND "
      "usename = current_user AND backend_type = 'client backend'";

  // Idle pooled connections: none of the next requests may see them.
  LoadDuring(load, kThreads, [] { Sleep(1); });
  EXPECT_GE(db->QueryInt(terminate), kThreads / 2) << "the pool held no connection to end";
  Sleep(0.2);  // the backends take a moment to go
  ExpectEveryKindSucceeds(load);
  ExpectNoViolations(load, /*strict=*/true);

  // Sessions ended while requests run on them.
  Clock::time_point begin, end;
  int64_t ended = 0;
  const std::vector<TimedOutcome> outcomes = LoadDuring(load, kThreads, [&] {
    Sleep(0.5);
    begin = Clock::now();
    // At least 15 rounds, and on a slow run (a memory checker) more until
    // more than 15 sessions were ended.
    for (int i = 0; i < 100 && (i < 15 || ended <= 15); ++i) {
      ended += db->QueryInt(terminate);
      Sleep(0.2);
    }
    end = Clock::now();
    Sleep(1);
  });
  load.MarkTrouble(begin, end);
  EXPECT_GT(ended, 15);
  for (const TimedOutcome& timed : outcomes) {
    if (timed.begin > end) {
      EXPECT_TRUE(timed.outcome.ok) << LoadKindName(timed.outcome.kind) << " failed "
                                    << timed.outcome.detail << " after the sessions ended";
    }
  }
  ExpectEveryKindSucceeds(load);
  ExpectNoViolations(load, /*strict=*/true);
}

// A live schema change (a column added, a text widened, a type changed)
// while the pool holds warm connections: every request of every kind
// succeeds on the first try on every pooled connection. With statements
// kept under a name on the server, the server refuses those prepared
// before the change ("cached plan must not change result type", MariaDB's
// 1615); they are prepared again and run once more.
struct SchemaCase {
  Backend backend;
  bool named;
};

class LiveSchemaChange : public testing::TestWithParam<SchemaCase> {};

TEST_P(LiveSchemaChange, EveryRequestSucceedsOnEveryPooledConnection) {
  ScopedTempDir dir;
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(GetParam().backend);
  if (db == nullptr) return;  // skipped or failed by Create
  MixedLoad load(db.get(), kPlayers, kThreads);
  const std::string named = GetParam().named ? "Named Statements=yes;" : "";
  ASSERT_EQ(0, db::TestAndSetConnectionString(db->connection_string() + ";" + named));
  LoadDuring(load, kThreads, [] { Sleep(1); });
  ExpectEveryKindSucceeds(load);

  if (GetParam().backend == Backend::kPostgres) {
    db->Exec("ALTER TABLE tblUserGoods ADD COLUMN nExtra integer");
    db->Exec("ALTER TABLE tblUser ADD COLUMN sExtra varchar(10)");
    db->Exec("ALTER TABLE tblUser ALTER COLUMN sNick TYPE varchar(300)");
    db->Exec("ALTER TABLE tblUser ALTER COLUMN nLevel TYPE bigint");
    db->Exec("ALTER TABLE tblUserMsg ALTER COLUMN nFromUserId TYPE bigint");
    db->Exec("ALTER TABLE tblFriendTradeHistory ADD COLUMN nExtra integer");
  } else {
    db->Exec("ALTER TABLE tblUserGoods ADD COLUMN nExtra INT NULL");
    db->Exec("ALTER TABLE tblUser ADD COLUMN sExtra VARCHAR(10) NULL");
    db->Exec("ALTER TABLE tblUser MODIFY nLevel BIGINT NULL");
    db->Exec("ALTER TABLE tblUserMsg MODIFY nFromUserId BIGINT NULL");
    db->Exec("ALTER TABLE tblFriendTradeHistory ADD COLUMN nExtra INT NULL");
  }
  ExpectEveryKindSucceeds(load);
  ExpectEveryKindSucceeds(load);
  ExpectNoViolations(load, /*strict=*/true);
}

std::vector<SchemaCase> SchemaCases() {
  std::vector<SchemaCase> cases = {{Backend::kPostgres, false}, {Backend::kPostgres, true}};
  for (Backend backend : AllBackends()) {
    if (backend == Backend::kMariaDb) {
      cases.push_back({Backend::kMariaDb, false});
      cases.push_back({Backend::kMariaDb, true});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Servers, LiveSchemaChange, testing::ValuesIn(SchemaCases()),
                         [](const testing::TestParamInfo<SchemaCase>& info) {
                           return BackendName(info.param.backend) +
                                  (info.param.named ? "Named" : "Unnamed");
                         });

}  // namespace
}  // namespace zelvar::test
