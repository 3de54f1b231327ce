// Database servers as operators run them: a driver that can't carry wide
// texts, a serialization failure at commit, a row lock held past the
// request's time, a server that accepts connections and never answers, a
// server that refuses every connect, and MariaDB's driver shared by two
// threads. No request may hang, report a write it did not make, or hammer
// a server that is down.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/backend.h"
#include "db/current_connection.h"
#include "db/odbc_env.h"
#include "db/request.h"
#include "db/runner.h"
#include "db/sql.h"
#include "goods/grants.h"
#include "support/test_db.h"
#include "util/text.h"
#include "zelvar/zelvar.h"

namespace zelvar::test {
namespace {

using Clock = std::chrono::steady_clock;
using db::Sql;
using db::SqlValue;

int LogRecords(const ScopedTempDir& dir, const std::string& text) {
  const std::string log = dir.ReadFile("ZelvarError.log");
  int count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
  return count;
}

// A listener on 127.0.0.1 that accepts every connection and then stays
// silent (a hung server) or closes it at once (a server refusing logins).
class FakeServer {
 public:
  enum class Mode { kSilent, kClose };

  explicit FakeServer(Mode mode) : mode_(mode) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd_, 64) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "no listening socket";
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int held : held_) close(held);
    close(fd_);
  }

  int port() const { return port_; }
  int accepted() const { return accepted_; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd ready{fd_, POLLIN, 0};
      if (poll(&ready, 1, 50) != 1) continue;
      const int client = accept(fd_, nullptr, nullptr);
      if (client < 0) continue;
      ++accepted_;
      if (mode_ == Mode::kSilent) {
        held_.push_back(client);
      } else {
        close(client);
      }
    }
  }

  Mode mode_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::vector<int> held_;
  std::thread thread_;
};

std::string StringFor(const std::string& driver, int port) {
  return "Driver={" + driver + "};Server=127.0.0.1;Port=" + std::to_string(port) +
         ";Database=zelvar;Uid=zelvar;Pwd=secret;";
}

bool DriverInstalled(const std::string& name) {
  for (const std::string& driver : db::InstalledOdbcDrivers()) {
    if (driver == name) return true;
  }
  return false;
}

class LiveServer : public testing::Test {
 protected:
  void TearDown() override {
    db::CloseIdleConnections();
    SetConnectionString(kBuiltInConnectionString);
  }
  ScopedTempDir dir_;
};

// psqlODBC's ANSI driver refuses every wide value: OpenDBFriend answered
// 0, then every request failed with nothing in the error log.
TEST_F(LiveServer, DriverWithoutWideTextsIsRefusedAndItsFailuresLogged) {
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(Backend::kPostgres);
  if (db == nullptr) return;
  std::string ansi = db->connection_string();
  ansi.replace(ansi.find("PostgreSQL Unicode"), 18, "PostgreSQL ANSI");
  db->Use();
  EXPECT_EQ(-1, db::TestAndSetConnectionString(ansi));
  EXPECT_EQ(*CurrentConnectionString(), db->connection_string());

  SetConnectionString(ansi);
  EXPECT_EQ(-1, db::ExecuteSql(Sql("INSERT INTO tblUser (sNick) VALUES ('%s')",
                                   {SqlValue::Text(u"凯")}),
                               nullptr));
  EXPECT_EQ(1, LogRecords(dir_, "refused a wide text value"));
}

// A serialization failure at COMMIT ends the transaction: the connection
// is known to be out of one and stays in the pool (it used to be thrown
// away, a new server login for every such failure).
TEST_F(LiveServer, ConnectionOutOfATransactionAfterAFailedCommitIsKept) {
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(Backend::kPostgres);
  if (db == nullptr) return;
  db::Status error;
  std::unique_ptr<db::Connection> first;
  error = db::OpenOdbcConnection(db->connection_string(), &first);
  std::unique_ptr<db::Connection> second;
  error = db::OpenOdbcConnection(db->connection_string(), &second);
  ASSERT_TRUE(first && second);
  // Write skew: each reads what the other writes.
  const Sql count("SELECT count(*) FROM tblUser WHERE nLevel = 7");
  const Sql insert("INSERT INTO tblUser (nLevel) VALUES (7)");
  db::ResultSet rows;
  ASSERT_TRUE((error = first->Begin()).ok() && (error = second->Begin()).ok());
  ASSERT_TRUE((error = first->Run(count, &rows)).ok() && (error = second->Run(count, &rows)).ok());
  ASSERT_TRUE((error = first->Run(insert, nullptr)).ok() && (error = second->Run(insert, nullptr)).ok());
  ASSERT_TRUE((error = first->Commit()).ok()) << ToNarrow(error.text());
  ASSERT_FALSE((error = second->Commit()).ok());
  EXPECT_TRUE(error.IsRetryable()) << ToNarrow(error.text());
  EXPECT_TRUE((error = second->Rollback()).ok()) << ToNarrow(error.text());
  EXPECT_TRUE(second->IsAlive());
  EXPECT_TRUE((error = second->Run(count, &rows)).ok()) << ToNarrow(error.text());
}

// A row lock held by another session for minutes: a request that needs
// the row fails within its Command Timeout (here 2 s) instead of waiting as
// long as the lock lasts, with one error-log record, and the next request
// after the lock is gone succeeds.
TEST_F(LiveServer, HeldRowLockEndsTheRequestWithinItsTime) {
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(Backend::kPostgres);
  if (db == nullptr) return;
  db->Exec("INSERT INTO tblUser (sUsername, sFacePic, nLevel) VALUES ('alice', '', 1)");
  const int id = static_cast<int>(db->QueryInt("SELECT nId FROM tblUser"));
  db::Status error;
  std::unique_ptr<db::Connection> holder;
  error = db::OpenOdbcConnection(db->connection_string(), &holder);
  ASSERT_TRUE(holder);
  ASSERT_TRUE((error = holder->Begin()).ok());
  ASSERT_TRUE((error = holder->Run(Sql("UPDATE tblUser SET nLevel = 2 WHERE nId = %d",
                              {SqlValue::Integer(id)}),
                          nullptr)).ok());
  // Without a bound the requests below would wait until this.
  std::promise<void> done;
  std::thread release([&, finished = done.get_future()] {
    finished.wait_for(std::chrono::seconds(15));
    holder->Rollback();
  });
  ASSERT_EQ(0, db::TestAndSetConnectionString(db->connection_string() + "Command Timeout=2;"));

  Clock::time_point start = Clock::now();
  EXPECT_EQ(-1, goods::AddBuyDayGoods(601, 3100, id, 2));  // a transaction
  EXPECT_LT(SecondsSince(start), 6.0);
  start = Clock::now();
  EXPECT_EQ(-1, db::ExecuteSql(Sql("UPDATE tblUser SET nLevel = 3 WHERE nId = %d",
                                   {SqlValue::Integer(id)}),
                               nullptr));  // no transaction
  EXPECT_LT(SecondsSince(start), 6.0);
  EXPECT_EQ(2, LogRecords(dir_, ToNarrow(db::kTimedOutLogText)));

  done.set_value();
  release.join();
  EXPECT_EQ(0, db::ExecuteSql(Sql("UPDATE tblUser SET nLevel = 4 WHERE nId = %d",
                                  {SqlValue::Integer(id)}),
                              nullptr));
  EXPECT_EQ(4, db->QueryInt("SELECT nLevel FROM tblUser"));
}

// A server that accepts the connection and never answers: the connect
// ends within its Connect Timeout on every driver, and while one thread
// waits on such a server (MariaDB's driver), another opens a connection to
// a live PostgreSQL server at once.
TEST_F(LiveServer, SilentServerBoundsTheConnectAndHoldsUpNoOtherConnect) {
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(Backend::kPostgres);
  if (db == nullptr) return;
  FakeServer silent(FakeServer::Mode::kSilent);
  std::vector<std::string> drivers = {"PostgreSQL Unicode"};
  if (DriverInstalled("MariaDB Unicode")) drivers.push_back("MariaDB Unicode");
  for (const std::string& driver : drivers) {
    std::future<std::pair<int, double>> connect = std::async(std::launch::async, [&] {
      const Clock::time_point start = Clock::now();
      const int result =
          db::TestAndSetConnectionString(StringFor(driver, silent.port()) + "Connect Timeout=2;");
      return std::make_pair(result, SecondsSince(start));
    });
    if (driver.find("MariaDB") != std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      db::CloseIdleConnections();
      const Clock::time_point start = Clock::now();
      EXPECT_EQ(0, db::TestAndSetConnectionString(db->connection_string()));
      EXPECT_LT(SecondsSince(start), 1.5) << "a connect waited for another driver's";
    }
    ASSERT_EQ(std::future_status::ready, connect.wait_for(std::chrono::seconds(20)))
        << driver << ": the connect did not end";
    const auto [result, seconds] = connect.get();
    EXPECT_EQ(-1, result) << driver;
    EXPECT_LT(seconds, 6.0) << driver;
  }
}

// A server that refuses every connect: requests fail at once, each with
// its one open-failure record, while connects are tried again only after
// a growing pause (it used to be one connect per request, hundreds a
// second).
TEST_F(LiveServer, FailedConnectsBackOff) {
  FakeServer refusing(FakeServer::Mode::kClose);
  SetConnectionString(StringFor("PostgreSQL Unicode", refusing.port()));
  int requests = 0;
  const Clock::time_point start = Clock::now();
  while (SecondsSince(start) < 1.5) {
    db::RecordsetHandle rows;
    EXPECT_EQ(-1, db::QuerySql(Sql("SELECT 1"), rows, nullptr));
    ++requests;
  }
  EXPECT_GT(requests, 50);
  EXPECT_LE(refusing.accepted(), 10) << requests << " requests";
  EXPECT_EQ(requests, LogRecords(dir_, ToNarrow(db::kOpenFailedText)));
}

// MariaDB's driver kept a connection's own lock after a text of several
// statements, so the second thread to use the connection waited for ever:
// two threads asking for friend lists one after the other must both go on.
TEST_F(LiveServer, MariaDbFriendListsFromTwoThreads) {
  std::unique_ptr<TestDatabase> db = TestDatabase::Create(Backend::kMariaDb);
  if (db == nullptr) return;
  for (int i = 1; i <= 6; ++i) {
    db->Exec("INSERT INTO tblUser (nId, sUsername, sNick, nSex, sFacePic, bLogined) VALUES (" +
             std::to_string(i) + ", 'u" + std::to_string(i) + "', 'n', 1, 'f', 1)");
    if (i > 1) {
      db->Exec("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (1, " + std::to_string(i) + ")");
    }
  }
  db->Use();
  std::atomic<int> lists{0};
  auto ask = [&] {
    for (int i = 0; i < 50; ++i) {
      char* reply = nullptr;
      int length = 0;
      if (GetUserExtraDataFriend(1, 1610, &reply, &length) == 0) {
        CKParam packet;
        int count = 0;
        if (packet.SetBufferPtr(reply, length) == 0 && packet.GetInt(-10000, count) == 0 &&
            count == 5) {
          ++lists;
        }
        MyDeletePtr(reply);
      }
    }
  };
  std::future<void> first = std::async(std::launch::async, ask);
  std::future<void> second = std::async(std::launch::async, ask);
  if (first.wait_for(std::chrono::seconds(60)) != std::future_status::ready ||
      second.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "a thread waits for ever on a connection";
    std::_Exit(1);  // the waiting thread can't be joined
  }
  EXPECT_EQ(100, lists.load());
}

}  // namespace
}  // namespace zelvar::test
