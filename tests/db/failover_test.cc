// What a server's failure means, per family of server, and which server of
// a list a new connection goes to.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/failover.h"
#include "db/odbc_internal.h"

namespace zelvar::db {
namespace {

// S: the statement failed, the connection is sound; R: the transaction
// runs again; L: the connection is lost; N: lost, and the statement did
// not run (another connection may run it).
char KindOf(SqlFamily family, const char* state, int native, const char16_t* message) {
  const FailureReading reading = ReadFailure({{state, native, message}}, family);
  if (reading.not_serving) return 'N';
  if (reading.link) return 'L';
  return reading.retryable ? 'R' : 'S';
}

TEST(FailureKinds, PerFamilyOfServer) {
  struct Case {
    SqlFamily family;
    const char* state;
    int native;
    const char16_t* message;
    char kind;
  };
  const SqlFamily kMy = SqlFamily::kMySql;
  const SqlFamily kPg = SqlFamily::kPostgres;
  const SqlFamily kOther = SqlFamily::kOther;  // SQL Server among others
  const Case cases[] = {
      // MariaDB and Galera, as their driver reports them.
      {kMy, "08S01", 1047, u"WSREP has not yet prepared node for application use", 'N'},
      {kMy, "08S01", 2013, u"Lost connection to server during query", 'L'},
      {kMy, "08S01", 2006, u"Server has gone away", 'L'},
      {kMy, "70100", 1927, u"Connection was killed", 'L'},
      {kMy, "HY000", 4031, u"The client was disconnected by the server because of inactivity", 'L'},
      {kMy, "HY000", 2013, u"Lost connection", 'L'},
      {kMy, "HY000", 5014, u"Write error: Connection reset by peer (104)", 'L'},
      {kMy, "HY018", 1317, u"Query execution was interrupted", 'S'},
      {kMy, "70100", 1317, u"Query execution was interrupted", 'S'},
      {kMy, "HY000", 1205, u"Lock wait timeout exceeded; try restarting transaction", 'R'},
      {kMy, "40001", 1213, u"Deadlock found when trying to get lock", 'R'},
      {kMy, "23000", 1062, u"Duplicate entry '1' for key 'PRIMARY'", 'S'},
      // PostgreSQL: psqlODBC's native codes are its own.
      {kPg, "40001", 7, u"could not serialize access", 'R'},
      {kPg, "40P01", 7, u"deadlock detected", 'R'},
      {kPg, "57P01", 7, u"terminating connection due to administrator command", 'L'},
      {kPg, "HY000", 1205, u"some failure", 'S'},
      {kPg, "HY000", 1047, u"some failure", 'S'},
      {kPg, "HY000", 4031, u"some failure", 'S'},
      // SQL Server: 1205 is a deadlock victim.
      {kOther, "40001", 1205, u"Transaction was deadlocked", 'R'},
      {kOther, "HY000", 1205, u"deadlocked", 'R'},
      {kOther, "08S01", 0, u"Communication link failure", 'L'},
      {kOther, "HY000", 1047, u"some failure", 'S'},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KindOf(c.family, c.state, c.native, c.message), c.kind)
        << "family " << static_cast<int>(c.family) << ", " << c.state << " " << c.native;
  }
}

// A connection of the fake servers: only its server's name matters.
class ServerConnection final : public Connection {
 public:
  explicit ServerConnection(std::string server) : server(std::move(server)) {}
  Status Run(const Sql&, ResultSet*) override { return Status::OK(); }
  int64_t Changes() const override { return 0; }
  Status Begin() override { return Status::OK(); }
  Status Commit() override { return Status::OK(); }
  Status Rollback() override { return Status::OK(); }
  SqlFamily Family() const override { return SqlFamily::kOther; }
  bool IsAlive() override { return true; }
  const std::string server;
};

// The first server that answers, in the order listed; one that failed
// lately waits behind the others until its pause is over, then is
// preferred again; one that did not serve likewise.
TEST(Failover, FirstAnsweringServerPreferredAgainAfterItsPause) {
  // Names of their own: what is known of servers is process-wide.
  const std::vector<std::string> servers = {"failover-test-a", "failover-test-b", "failover-test-c"};
  std::vector<std::string> down = {"failover-test-a"};
  std::vector<std::string> tried;
  const ServerOpener open = [&](const std::string& server, std::unique_ptr<Connection>* opened) {
    tried.push_back(server);
    for (const std::string& dead : down) {
      if (dead == server) return Status::Link(u"refused by " + std::u16string(server.begin(), server.end()));
    }
    *opened = std::make_unique<ServerConnection>(server);
    return Status::OK();
  };
  const auto open_one = [&] {
    tried.clear();
    std::unique_ptr<Connection> connection;
    EXPECT_TRUE(OpenFirstAnswering(servers, open, &connection).ok());
    return connection ? static_cast<ServerConnection&>(*connection).server : std::string();
  };

  EXPECT_EQ(open_one(), "failover-test-b");
  EXPECT_EQ(tried, (std::vector<std::string>{"failover-test-a", "failover-test-b"}));
  EXPECT_EQ(open_one(), "failover-test-b");
  EXPECT_EQ(tried, (std::vector<std::string>{"failover-test-b"})) << "a is in its pause";

  down.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  EXPECT_EQ(open_one(), "failover-test-a") << "back from its pause, the first is preferred";

  NoteNotServing("failover-test-a");
  EXPECT_EQ(open_one(), "failover-test-b");

  down = servers;
  tried.clear();
  std::unique_ptr<Connection> none;
  const Status failed = OpenFirstAnswering(servers, open, &none);
  EXPECT_TRUE(failed.IsLink());
  EXPECT_EQ(tried.size(), 3u) << "every server is tried before the open fails";
  EXPECT_NE(failed.text().find(u"refused by failover-test-c"), std::u16string::npos);
}

}  // namespace
}  // namespace zelvar::db
