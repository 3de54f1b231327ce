// A MariaDB server as one node of several: a list whose first server is
// down, a row lock that outlasts the lock wait timeout, a link cut during
// the commit, and nodes (relays in front of the one test server) killed,
// stopped and brought back under load. No request may hang, report a
// write it did not make, or run a write twice.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db/backend.h"
#include "db/current_connection.h"
#include "db/runner.h"
#include "db/sql.h"
#include "db/transaction.h"
#include "faults/tcp_relay.h"
#include "support/test_db.h"

namespace zelvar::test {
namespace {

using Clock = std::chrono::steady_clock;
using db::Sql;
using db::SqlValue;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int ServerPort() {
  const char* port = std::getenv("ZELVAR_TEST_MARIADB_PORT");
  return port == nullptr ? 0 : std::atoi(port);
}

// A port on 127.0.0.1 where nothing listens: connects are refused.
int DeadPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

std::string Server(int port) { return "127.0.0.1:" + std::to_string(port); }

// One grant-like write: a row of its own, the body's runs counted.
int InsertUser(const std::string& name, std::atomic<int>* runs) {
  return db::RunTransaction(
      [&](db::Transaction& tx) {
        if (runs != nullptr) ++*runs;
        return tx.Execute(Sql("INSERT INTO tblUser (sUsername, sFacePic, nLevel) VALUES ('%s', '', 1)",
                              {SqlValue::Text(std::u16string(name.begin(), name.end()))}),
                          nullptr);
      },
      nullptr);
}

class FailoverMariaDB : public testing::Test {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(Backend::kMariaDb);
    if (db_ == nullptr) GTEST_SKIP() << "no MariaDB server";
    ASSERT_GT(ServerPort(), 0) << "ZELVAR_TEST_MARIADB_PORT is not set";
  }
  void TearDown() override {
    db::CloseIdleConnections();
    SetConnectionString(kBuiltInConnectionString);
  }
  // The test database's string with the servers `servers` and `extra`
  // keywords; a later keyword overrides an earlier one.
  std::string With(const std::string& servers, const std::string& extra = "") const {
    return db_->connection_string() + ";Server=" + servers + ";" + extra;
  }
  int64_t Users(const std::string& name) {
    return db_->QueryInt("SELECT COUNT(*) FROM tblUser WHERE sUsername = '" + name + "'");
  }

  ScopedTempDir dir_;
  std::unique_ptr<TestDatabase> db_;
};

// The driver got the list as it stood and no connection opened.
TEST_F(FailoverMariaDB, DeadFirstServerThenTheLiveOne) {
  ASSERT_EQ(0, db::TestAndSetConnectionString(
                   With(Server(DeadPort()) + "," + Server(ServerPort()))));
  EXPECT_EQ(0, InsertUser("after-dead", nullptr));
  EXPECT_EQ(1, Users("after-dead"));
  ASSERT_EQ(0, db::TestAndSetConnectionString(
                   With("127.0.0.1", "Port=" + std::to_string(DeadPort()) +
                                         ";Failover=" + Server(ServerPort()))));
  EXPECT_EQ(0, InsertUser("after-dead-failover", nullptr));
  EXPECT_EQ(1, Users("after-dead-failover"));
}

// A node that is not ready (Galera's 1047) refuses statements before
// running them: a statement and a transaction go to the next server and
// are stored once; a refused commit fails the request and is not run
// again. It used to fail every request that met such a node.
TEST_F(FailoverMariaDB, NodeNotReadySendsTheWorkToTheNextServer) {
  TcpRelay not_ready(ServerPort());
  TcpRelay ready(ServerPort());
  not_ready.RefuseAsNotReady("tblUser");
  ASSERT_EQ(0, db::TestAndSetConnectionString(
                   With(Server(not_ready.port()) + "," + Server(ready.port()))));
  EXPECT_EQ(0, db::ExecuteSql(Sql("INSERT INTO tblUser (sUsername, sFacePic, nLevel) "
                                  "VALUES ('statement', '', 1)"),
                              nullptr));
  EXPECT_GE(not_ready.refused(), 1);
  EXPECT_EQ(1, Users("statement"));

  // Once its pause is over, the first server is asked first again.
  db::CloseIdleConnections();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::atomic<int> runs{0};
  const int refused_before = not_ready.refused();
  EXPECT_EQ(0, InsertUser("transaction", &runs));
  EXPECT_GT(not_ready.refused(), refused_before);
  EXPECT_EQ(2, runs);
  EXPECT_EQ(1, Users("transaction"));

  not_ready.RefuseAsNotReady("COMMIT");
  db::CloseIdleConnections();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  runs = 0;
  EXPECT_EQ(-1, InsertUser("refused-commit", &runs));
  EXPECT_EQ(1, runs) << "a transaction whose commit was sent ran again";
  EXPECT_EQ(0, Users("refused-commit"));
}

// A lock wait timeout undoes only the statement: the transaction runs
// again from its start and commits once the lock is free, or fails by its
// deadline with nothing stored.
TEST_F(FailoverMariaDB, LockWaitTimeoutRunsTheTransactionAgain) {
  db_->Exec("INSERT INTO tblUser (sUsername, sFacePic, nLevel) VALUES ('locked', '', 1)");
  std::atomic<int> runs{0};
  const auto raise_level = [&] {
    return db::RunTransaction(
        [&](db::Transaction& tx) {
          ++runs;
          int result = tx.Execute(Sql("SET SESSION innodb_lock_wait_timeout = 1"), nullptr);
          if (result != 0) return result;
          return tx.Execute(Sql("UPDATE tblUser SET nLevel = nLevel + 1 WHERE sUsername = 'locked'"),
                            nullptr);
        },
        nullptr);
  };
  for (const int hold_seconds : {3, 30}) {
    std::unique_ptr<db::Connection> holder;
    ASSERT_TRUE(db::OpenConnection(db_->connection_string(), &holder).ok());
    ASSERT_TRUE(holder->Begin().ok());
    ASSERT_TRUE(holder->Run(Sql("UPDATE tblUser SET nLevel = 100 WHERE sUsername = 'locked'"), nullptr).ok());
    std::promise<void> done;
    std::thread release([&, finished = done.get_future()] {
      finished.wait_for(std::chrono::seconds(hold_seconds));
      holder->Rollback();
    });
    ASSERT_EQ(0, db::TestAndSetConnectionString(db_->connection_string() + ";Command Timeout=6;"));
    runs = 0;
    const Clock::time_point start = Clock::now();
    const int result = raise_level();
    const double seconds = SecondsSince(start);
    done.set_value();
    release.join();
    if (hold_seconds < 6) {
      EXPECT_EQ(0, result);
      EXPECT_GE(runs, 2) << "the lock wait timeout did not end the first run";
      EXPECT_EQ(2, db_->QueryInt("SELECT nLevel FROM tblUser WHERE sUsername = 'locked'"));
    } else {
      EXPECT_EQ(-1, result);
      EXPECT_LT(seconds, 9.0);
      EXPECT_EQ(2, db_->QueryInt("SELECT nLevel FROM tblUser WHERE sUsername = 'locked'"));
    }
  }
}

// The link breaks after the commit went out and before its answer came:
// the request fails (the write may have been made: here it was), the body
// is not run again, and the next request works on a fresh connection.
TEST_F(FailoverMariaDB, LinkLostDuringTheCommitFailsTheRequestOnce) {
  TcpRelay relay(ServerPort());
  ASSERT_EQ(0, db::TestAndSetConnectionString(With(Server(relay.port()))));
  relay.CutAfter("COMMIT");
  std::atomic<int> runs{0};
  EXPECT_EQ(-1, InsertUser("cut-at-commit", &runs));
  EXPECT_TRUE(relay.cut());
  EXPECT_EQ(1, runs) << "a commit of unknown outcome was run again";
  EXPECT_EQ(0, InsertUser("after-the-cut", nullptr));
  EXPECT_EQ(1, Users("cut-at-commit"));
  EXPECT_EQ(1, Users("after-the-cut"));
}

}  // namespace
}  // namespace zelvar::test
