// Lost links on PostgreSQL: sessions the server ends (pg_terminate_backend,
// a restart) must be found dead before a statement is sent on them, and
// the pool must carry on with fresh connections, with no crash and no
// connection left behind.
//
// A restart would cut off every other test's sessions, so the restart
// tests run again in a process of their own against a server of their own
// (scripts/with-postgres inside the test).
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <barrier>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/backend.h"
#include "db/pool.h"
#include "db/recordset.h"
#include "db/runner.h"
#include "db/sql.h"
#include "db/transaction.h"
#include "support/postgres.h"
#include "support/test_db.h"
#include "util/text.h"

namespace zelvar::db {
namespace {

using test::Backend;
using test::TestDatabase;
using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The sockets the process has open: a connection that was let go without
// closing its handle would keep one.
int OpenSockets() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    struct stat st;
    if (entry->d_name[0] != '.' && fstatat(dirfd(dir), entry->d_name, &st, 0) == 0 &&
        S_ISSOCK(st.st_mode)) {
      ++count;
    }
  }
  closedir(dir);
  return count;
}

std::unique_ptr<Connection> Open(const TestDatabase& db) {
  Status error;
  std::unique_ptr<Connection> connection;
  error = OpenOdbcConnection(db.connection_string(), &connection);
  EXPECT_NE(connection, nullptr) << ToNarrow(error.text());
  return connection;
}

int64_t BackendPid(Connection& connection) {
  ResultSet rows;
  Status error;
  EXPECT_TRUE((error = connection.Run(Sql("SELECT pg_backend_pid() AS pid"), &rows)).ok())
      << ToNarrow(error.text());
  if (rows.rows.size() != 1) return 0;
  return rows.rows[0][0].Int32();
}

// Waits (bounded) until IsAlive gives false; the server ends a session
// a moment after it was asked to.
bool BecomesDead(Connection& connection) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    if (!connection.IsAlive()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class OdbcLinkTest : public testing::Test {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(Backend::kPostgres);
    if (db_ == nullptr) return;
    connection_ = Open(*db_);
  }

  void Terminate(int64_t pid) {
    db_->Exec("SELECT pg_terminate_backend(" + std::to_string(pid) + ")");
    // Until the session is gone from the server's list.
    const std::string gone =
        "SELECT count(*) FROM pg_stat_activity WHERE pid = " + std::to_string(pid);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (db_->QueryInt(gone) != 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  std::unique_ptr<TestDatabase> db_;
  std::unique_ptr<Connection> connection_;
};

TEST_F(OdbcLinkTest, CheckOfAnIdleConnectionSendsNothing) {
  if (connection_ == nullptr) return;
  const int64_t pid = BackendPid(*connection_);
  ResultSet rows;
  Status error;
  ASSERT_TRUE((error = connection_->Run(Sql("SELECT 42 AS marker"), &rows)).ok());
  const std::string activity = "SELECT query, state, state_change FROM pg_stat_activity WHERE pid = " +
                               std::to_string(pid);
  auto before = db_->Query(activity);
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(before[0][0], "SELECT 42 AS marker");
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(connection_->IsAlive());
  // The server saw nothing: same last statement, same moment of change.
  EXPECT_EQ(db_->Query(activity), before);
}

// MariaDB: the check of a pooled connection before each lease costs the
// server no round trip either: the bytes it received from the connection
// grow by the status queries alone.
TEST(OdbcLinkMariaDb, CheckOfAConnectionSendsNothing) {
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(Backend::kMariaDb);
  if (db == nullptr) return;
  std::unique_ptr<Connection> connection = Open(*db);
  ASSERT_NE(connection, nullptr);
  const auto received = [&] {
    ResultSet rows;
    EXPECT_TRUE(connection->Run(Sql("SHOW SESSION STATUS LIKE 'Bytes_received'"), &rows).ok());
    std::u16string text;
    if (rows.rows.size() != 1 || !rows.rows[0][1].ToText(&text)) return int64_t{-1};
    return static_cast<int64_t>(std::stoll(ToNarrow(text)));
  };
  const int64_t first = received();
  const int64_t second = received();
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(connection->IsAlive());
  const int64_t third = received();
  ASSERT_GT(first, 0);
  EXPECT_EQ(third - second, second - first);
}

TEST_F(OdbcLinkTest, TerminatedSessionIsFoundDeadBeforeUse) {
  if (connection_ == nullptr) return;
  const int64_t pid = BackendPid(*connection_);
  ASSERT_TRUE(connection_->IsAlive());
  Terminate(pid);
  EXPECT_TRUE(BecomesDead(*connection_));
  // Stays dead, and says so when used anyway.
  EXPECT_FALSE(connection_->IsAlive());
  Status error;
  EXPECT_FALSE((error = connection_->Run(Sql("SELECT 1"), nullptr)).ok());
  EXPECT_TRUE(error.IsLink());
}

TEST_F(OdbcLinkTest, StatementOnATerminatedSessionIsALinkFailure) {
  if (connection_ == nullptr) return;
  const int64_t pid = BackendPid(*connection_);
  Terminate(pid);
  // Sent without asking IsAlive first: the failure must be told apart
  // from a failed statement, and the process must survive writing to a
  // closed socket.
  Status error;
  ResultSet rows;
  EXPECT_FALSE((error = connection_->Run(Sql("SELECT nId FROM tblUser WHERE nId = %d", {SqlValue::Integer(1)}),
                                &rows)).ok());
  EXPECT_TRUE(error.IsLink()) << ToNarrow(error.text());
  EXPECT_FALSE(error.text().empty());
  EXPECT_FALSE(connection_->IsAlive());
  error = Status();
  EXPECT_FALSE((error = connection_->Begin()).ok());
  EXPECT_TRUE(error.IsLink());
}

// Connections opened in the same moment each find their own socket: none
// falls back to probing with a statement once idle, and each one's lost
// session is seen on it alone.
TEST_F(OdbcLinkTest, ConnectionsOpenedAtOnceEachKnowTheirSocket) {
  if (connection_ == nullptr) return;
  constexpr int kConnections = 6;
  std::vector<std::unique_ptr<Connection>> connections(kConnections);
  {
    std::barrier start(kConnections);
    std::vector<std::thread> threads;
    for (int i = 0; i < kConnections; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        connections[i] = Open(*db_);
      });
    }
    for (auto& thread : threads) thread.join();
  }
  std::vector<int64_t> pids;
  for (auto& connection : connections) {
    ASSERT_NE(connection, nullptr);
    pids.push_back(BackendPid(*connection));
    ResultSet rows;
    Status error;
    ASSERT_TRUE((error = connection->Run(Sql("SELECT 42 AS marker"), &rows)).ok());
  }
  // Longer than an idle connection without a known socket waits before
  // it is probed.
  std::this_thread::sleep_for(std::chrono::milliseconds(5500));
  for (auto& connection : connections) EXPECT_TRUE(connection->IsAlive());
  for (int64_t pid : pids) {
    auto rows = db_->Query("SELECT query FROM pg_stat_activity WHERE pid = " + std::to_string(pid));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "SELECT 42 AS marker") << "probed: its socket was not known";
  }

  Terminate(pids[2]);
  EXPECT_TRUE(BecomesDead(*connections[2]));
  for (int i = 0; i < kConnections; ++i) {
    if (i != 2) EXPECT_TRUE(connections[i]->IsAlive()) << i;
  }
}

// Pooled connections whose sessions were ended are replaced before use:
// the runners' callers see no failure.
TEST_F(OdbcLinkTest, PoolReplacesTerminatedSessionsUnseen) {
  if (connection_ == nullptr) return;
  test::ScopedTempDir dir;
  db_->Use();
  RecordsetHandle recordset;
  std::u16string error_text;
  ASSERT_EQ(ExecuteSql(Sql("INSERT INTO tblUser (sNick) VALUES ('%s')", {SqlValue::Text(u"x")}),
                       &error_text),
            0)
      << ToNarrow(error_text);
  ASSERT_GE(Pool::Instance().IdleCount(db_->connection_string()), 1u);
  // Client sessions of this role only: an autovacuum worker on the
  // database may not be ended by it.
  db_->Exec(
      "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() "
      "AND pid <> pg_backend_pid() AND usename = current_user AND backend_type = 'client backend'");
  // A moment for the sessions to end; IsAlive must then see them dead.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(QuerySql(Sql("SELECT count(*) AS n FROM tblUser"), recordset, &error_text), 0)
        << ToNarrow(error_text);
    Variant count;
    ASSERT_EQ(AdoRstGetField(recordset, "n", &count), 0);
    EXPECT_EQ(count.Int32(), 1);
  }
  EXPECT_EQ(dir.ReadFile("ZelvarError.log"), "");
}

// --- Restarts, each on a server of its own. ---

std::string SourceDir() {
  std::string dir = Env("ZELVAR_SOURCE_DIR");
  return dir.empty() ? ZELVAR_SOURCE_DIR : dir;
}

enum class Where { kHere, kDone, kSkip };

// In the outer process: runs the current test again in a child process
// under scripts/with-postgres and reports its result (kDone). In that
// child (ZELVAR_TEST_PG_PRIVATE set): kHere, the test runs in it.
Where RunOnPrivateServer() {
  if (!Env("ZELVAR_TEST_PG_PRIVATE").empty()) return Where::kHere;
  if (!test::PostgresAvailable()) {
    if (Env("ZELVAR_REQUIRE_PG") != "1") return Where::kSkip;
    ADD_FAILURE() << "ZELVAR_REQUIRE_PG=1 but no PostgreSQL server (run under scripts/with-postgres)";
    return Where::kDone;
  }
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (length <= 0) {
    ADD_FAILURE() << "can't find the test program";
    return Where::kDone;
  }
  self[length] = 0;
  const std::string command = "'" + SourceDir() + "/scripts/with-postgres' env ZELVAR_TEST_PG_PRIVATE=1 '" +
                              self + "' --gtest_filter=" + info->test_suite_name() + "." + info->name();
  const int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << " failed";
  return Where::kDone;
}

#define ZELVAR_ON_PRIVATE_SERVER()                                              \
  do {                                                                          \
    switch (RunOnPrivateServer()) {                                             \
      case Where::kHere:                                                        \
        break;                                                                  \
      case Where::kSkip:                                                        \
        GTEST_SKIP() << "no PostgreSQL server (ZELVAR_TEST_PG_ADMIN is not set)"; \
      case Where::kDone:                                                        \
        return;                                                                 \
    }                                                                           \
  } while (0)

// pg_ctl restart -m fast as the server's user: every session is ended.
void RestartServer() {
  std::string command;
  const std::string user = Env("ZELVAR_TEST_PG_USER");
  const passwd* me = getpwuid(geteuid());
  if (!user.empty() && (me == nullptr || user != me->pw_name)) command = "runuser -u " + user + " -- ";
  command += "'" + Env("ZELVAR_TEST_PG_BIN") + "/pg_ctl' restart -D '" + Env("ZELVAR_TEST_PG_DATA") +
             "' -m fast -w -t 60 -l '" + Env("ZELVAR_TEST_PG_LOG") + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

TEST(OdbcRestart, OpenConnectionsAreFoundDeadAndFreshOnesWork) {
  ZELVAR_ON_PRIVATE_SERVER();
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(Backend::kPostgres);
  ASSERT_NE(db, nullptr);
  const int sockets_before = OpenSockets();
  {
    std::vector<std::unique_ptr<Connection>> connections;
    for (int i = 0; i < 3; ++i) {
      connections.push_back(Open(*db));
      ASSERT_NE(connections.back(), nullptr);
      ASSERT_GT(BackendPid(*connections.back()), 0);
      ASSERT_TRUE(connections.back()->IsAlive());
    }
    // One of them in the middle of a transaction.
    Status error;
    ASSERT_TRUE((error = connections[0]->Begin()).ok());
    ASSERT_TRUE((error = connections[0]->Run(Sql("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (1, 2)"),
                                    nullptr)).ok());
    RestartServer();
    EXPECT_FALSE((error = connections[0]->Rollback()).ok());
    EXPECT_TRUE(error.IsLink());
    for (auto& connection : connections) {
      EXPECT_TRUE(BecomesDead(*connection));
      Status error;
      EXPECT_FALSE((error = connection->Run(Sql("SELECT 1"), nullptr)).ok());
      EXPECT_TRUE(error.IsLink());
    }
    std::unique_ptr<Connection> fresh = Open(*db);
    ASSERT_NE(fresh, nullptr);
    EXPECT_GT(BackendPid(*fresh), 0);
  }
  EXPECT_EQ(OpenSockets(), sockets_before);
}

TEST(OdbcRestart, PoolCarriesOnWithFreshConnections) {
  ZELVAR_ON_PRIVATE_SERVER();
  test::ScopedTempDir dir;
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(Backend::kPostgres);
  ASSERT_NE(db, nullptr);
  const int sockets_before = OpenSockets();
  db->Use();

  // Four transactions at once: the pool then holds four connections.
  constexpr int kThreads = 4;
  {
    std::barrier all_leased(kThreads);
    std::vector<std::thread> threads;
    std::vector<int> results(kThreads, -2);
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        bool waited = false;
        results[t] = RunTransaction(
            [&](Transaction& transaction) {
              RecordsetHandle recordset;
              int result = transaction.Query(Sql("SELECT count(*) AS n FROM tblUser"), recordset,
                                             nullptr);
              if (!waited) {
                waited = true;
                all_leased.arrive_and_wait();
              }
              return result;
            },
            nullptr);
      });
    }
    for (auto& thread : threads) thread.join();
    for (int result : results) ASSERT_EQ(result, 0);
  }
  ASSERT_EQ(Pool::Instance().IdleCount(db->connection_string()), static_cast<size_t>(kThreads));

  RestartServer();

  // Every statement after the restart succeeds, on threads at once and one
  // after another.
  {
    std::vector<std::thread> threads;
    std::vector<int> results(kThreads * 2, -2);
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        results[2 * t] = ExecuteSql(
            Sql("INSERT INTO tblUser (sNick, nLevel) VALUES ('%s', %d)",
                {SqlValue::Text(u"after restart"), SqlValue::Integer(t)}),
            nullptr);
        RecordsetHandle recordset;
        results[2 * t + 1] = QuerySql(Sql("SELECT nId FROM tblUser WHERE nLevel = %d",
                                          {SqlValue::Integer(t)}),
                                      recordset, nullptr);
      });
    }
    for (auto& thread : threads) thread.join();
    for (int result : results) EXPECT_EQ(result, 0);
  }
  for (int i = 0; i < 5; ++i) {
    RecordsetHandle recordset;
    std::u16string error_text;
    ASSERT_EQ(QuerySql(Sql("SELECT count(*) AS n FROM tblUser"), recordset, &error_text), 0)
        << ToNarrow(error_text);
    Variant count;
    ASSERT_EQ(AdoRstGetField(recordset, "n", &count), 0);
    EXPECT_EQ(count.Int32(), kThreads);
  }
  EXPECT_EQ(dir.ReadFile("ZelvarError.log"), "");

  // The dead connections were closed, not kept: once the idle ones go,
  // the process holds the sockets it held before.
  CloseIdleConnections();
  EXPECT_EQ(OpenSockets(), sockets_before);
}

}  // namespace
}  // namespace zelvar::db
