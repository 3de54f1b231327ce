// The ODBC backend against PostgreSQL through psqlODBC: type codes of the
// shipped schema, field values of each kind, bound values, failures and
// their kinds, transactions, and the liveness check. Each test has a
// database of its own on the server that scripts/with-postgres started.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/backend.h"
#include "db/sql.h"
#include "support/test_db.h"
#include "util/text.h"

namespace zelvar::db {
namespace {

using test::Backend;
using test::TestDatabase;

std::string Narrow(const std::u16string& text) { return ToNarrow(text); }

class OdbcTest : public testing::Test {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(Backend::kPostgres);
    if (db_ == nullptr) return;
    connection_ = Open();
  }

  std::unique_ptr<Connection> Open() {
    Status error;
    std::unique_ptr<Connection> connection;
    error = OpenOdbcConnection(db_->connection_string(), &connection);
    EXPECT_NE(connection, nullptr) << Narrow(error.text());
    return connection;
  }

  ResultSet Query(Connection& connection, const Sql& sql) {
    ResultSet rows;
    Status error;
    EXPECT_TRUE((error = connection.Run(sql, &rows)).ok()) << sql.format() << "\n" << Narrow(error.text());
    return rows;
  }

  void Execute(Connection& connection, const Sql& sql) {
    Status error;
    EXPECT_TRUE((error = connection.Run(sql, nullptr)).ok()) << sql.format() << "\n" << Narrow(error.text());
  }

  // The single value of a one-row, one-column query.
  Variant Single(Connection& connection, const Sql& sql) {
    ResultSet rows = Query(connection, sql);
    if (rows.rows.size() != 1 || rows.rows[0].size() != 1) {
      ADD_FAILURE() << "expected one value from " << sql.format();
      return Variant();
    }
    return rows.rows[0][0];
  }

  std::unique_ptr<TestDatabase> db_;
  std::unique_ptr<Connection> connection_;
};

#define ZELVAR_REQUIRE_CONNECTION() \
  do {                              \
    if (connection_ == nullptr) return; \
  } while (0)

// The NULL rule and the field readers depend on the type each column of
// the shipped schema reports through the driver's default settings: every
// text column variable-length wide text (a NULL reads as empty text),
// every date-time a timestamp, nHeadX/nHeadY reals, bLogined a boolean.
TEST_F(OdbcTest, SchemaColumnsReportTheTypesTheReadersNeed) {
  ZELVAR_REQUIRE_CONNECTION();
  for (const char* table : {"tblUser", "tblFriend", "tblUserMsg", "tblFriendTradeHistory",
                            "tblFriendTradeItem", "tblInviteRecord", "tblUserGoods"}) {
    ResultSet rows = Query(*connection_, Sql(std::string("SELECT * FROM ") + table + " WHERE 1 = 0"));
    ASSERT_FALSE(rows.column_names.empty()) << table;
    EXPECT_TRUE(rows.rows.empty());
    for (size_t i = 0; i < rows.column_names.size(); ++i) {
      const std::string& name = rows.column_names[i];
      int expected = kAdInteger;
      if (name == "nheadx" || name == "nheady") {
        expected = kAdDouble;
      } else if (std::string(table) == "tblUserGoods" && name == "nid") {
        expected = kAdBigInt;  // goods rows outgrow 32-bit ids first
      } else if (name[0] == 's') {
        expected = kAdVarWChar;
      } else if (name[0] == 't' && name != "tduration") {
        expected = kAdDBTimeStamp;
      } else if (name[0] == 'b') {
        expected = kAdBoolean;
      }
      EXPECT_EQ(rows.column_types[i], expected) << table << "." << name;
    }
  }
}

TEST_F(OdbcTest, FieldValuesOfEveryKind) {
  ZELVAR_REQUIRE_CONNECTION();
  db_->Exec(
      "INSERT INTO tblUser (nId, sUsername, sNick, nSex, bLogined, nLevel) VALUES "
      "(1, 'ann', NULL, 2, TRUE, NULL), (2, 'bob', 'Bob', 1, FALSE, 7), (3, 'cy', '', 0, NULL, 0)");
  ResultSet rows = Query(*connection_, Sql("SELECT nId, sNick, bLogined, nLevel FROM tblUser ORDER BY nId"));
  ASSERT_EQ(rows.rows.size(), 3u);
  EXPECT_EQ(rows.column_names, (std::vector<std::string>{"nid", "snick", "blogined", "nlevel"}));
  EXPECT_EQ(rows.rows[0], (std::vector<Variant>{Variant::Integer(1), Variant::Null(),
                                                 Variant::Integer(1), Variant::Null()}));
  EXPECT_EQ(rows.rows[1], (std::vector<Variant>{Variant::Integer(2), Variant::Text(u"Bob"),
                                                 Variant::Integer(0), Variant::Integer(7)}));
  EXPECT_EQ(rows.rows[2], (std::vector<Variant>{Variant::Integer(3), Variant::Text(u""),
                                                 Variant::Null(), Variant::Integer(0)}));

  // Date-times as YYYY-MM-DD HH:MM:SS, whatever fraction the server keeps.
  rows = Query(*connection_,
               Sql("SELECT TIMESTAMP '2011-05-03 09:05:07.987654' AS t, DATE '2024-02-29' AS d, "
                   "CAST(NULL AS timestamp) AS n, CAST(2.5 AS double precision) AS r, "
                   "CAST(NULL AS text) AS long_text, CAST(NULL AS char(4)) AS fixed, "
                   "CAST(9000000000 AS bigint) AS big"));
  ASSERT_EQ(rows.rows.size(), 1u);
  EXPECT_EQ(rows.column_types, (std::vector<int>{kAdDBTimeStamp, 133, kAdDBTimeStamp, kAdDouble,
                                                 kAdLongVarWChar, kAdWChar, kAdBigInt}));
  EXPECT_EQ(rows.rows[0], (std::vector<Variant>{Variant::Text(u"2011-05-03 09:05:07"),
                                                 Variant::Text(u"2024-02-29 00:00:00"),
                                                 Variant::Null(), Variant::Real(2.5),
                                                 Variant::Null(), Variant::Null(),
                                                 Variant::Integer(9000000000)}));
}

TEST_F(OdbcTest, BoundValuesArriveIntactAndSelectExactlyTheirRow) {
  ZELVAR_REQUIRE_CONNECTION();
  const std::vector<std::u16string> texts = {
      u"O'Brien",          u"''",          u"back\\slash\\",   u"\\'; DROP TABLE tblUser; --",
      u"好友 消息",        u"😀🎮 emoji",  u"? and $1 and %s", u"\u2019\u02bc\uff07 quotes",
      u"line\nbreak\ttab", u"/* comment", u" leading and trailing "};
  for (size_t i = 0; i < texts.size(); ++i) {
    Execute(*connection_,
            Sql("INSERT INTO tblUser (sUsername, sNick, nLevel) VALUES ('%s', '%s', %d)",
                {SqlValue::Text(u"user" + std::u16string(1, static_cast<char16_t>(u'a' + i))),
                 SqlValue::Text(texts[i]), SqlValue::Integer(static_cast<int64_t>(i))}));
  }
  for (size_t i = 0; i < texts.size(); ++i) {
    ResultSet rows = Query(*connection_, Sql("SELECT nLevel, sNick FROM tblUser WHERE sNick = '%s'",
                                             {SqlValue::Text(texts[i])}));
    ASSERT_EQ(rows.rows.size(), 1u) << Narrow(texts[i]);
    EXPECT_EQ(rows.rows[0][0], Variant::Integer(static_cast<int64_t>(i)));
    EXPECT_EQ(rows.rows[0][1], Variant::Text(texts[i]));
  }
  // Read by a reader of its own, so a fault that writes and reads alike
  // can't hide.
  auto raw = db_->Query("SELECT sNick FROM tblUser WHERE nLevel = 4");
  ASSERT_EQ(raw.size(), 1u);
  EXPECT_EQ(raw[0][0], ToNarrow(texts[4]));
  EXPECT_EQ(db_->QueryInt("SELECT count(*) FROM tblUser"), static_cast<int64_t>(texts.size()));

  // A lone surrogate has no UTF-8 form: it arrives as "?".
  Execute(*connection_, Sql("UPDATE tblUser SET sNick = '%s' WHERE nLevel = 0",
                            {SqlValue::Text(std::u16string(u"a") + char16_t(0xD800) + u"b")}));
  EXPECT_EQ(Single(*connection_, Sql("SELECT sNick FROM tblUser WHERE nLevel = 0")),
            Variant::Text(u"a?b"));
}

TEST_F(OdbcTest, LongTextsComeBackWhole) {
  ZELVAR_REQUIRE_CONNECTION();
  // 4000 code units, with surrogate pairs falling across the pieces in
  // which texts are read.
  std::u16string face;
  while (face.size() < 3997) face += u"😀中";
  face += u"end";
  face.resize(4000);
  Execute(*connection_, Sql("INSERT INTO tblUser (nId, sFacePic) VALUES (1, '%s')",
                            {SqlValue::Text(face)}));
  EXPECT_EQ(Single(*connection_, Sql("SELECT sFacePic FROM tblUser WHERE nId = 1")),
            Variant::Text(face));

  std::u16string huge(100000, u'x');
  huge[0] = u'<';
  huge[99999] = u'>';
  EXPECT_EQ(Single(*connection_, Sql("SELECT repeat('x', 99998) AS t")),
            Variant::Text(huge.substr(1, 99998)));
  EXPECT_EQ(Single(*connection_, Sql("SELECT CAST('%s' AS text) AS t", {SqlValue::Text(huge)})),
            Variant::Text(huge));
}

TEST_F(OdbcTest, IntegersOfEitherWidthAndDateTimeValues) {
  ZELVAR_REQUIRE_CONNECTION();
  // One statement text run with a value beyond 32 bits, then a small one,
  // then a big one again: the cached statement must follow the types.
  const Sql big("SELECT CAST(%d AS bigint) AS v", {SqlValue::Integer(5000000000)});
  const Sql small("SELECT CAST(%d AS bigint) AS v", {SqlValue::Integer(-7)});
  EXPECT_EQ(Single(*connection_, big), Variant::Integer(5000000000));
  EXPECT_EQ(Single(*connection_, small), Variant::Integer(-7));
  EXPECT_EQ(Single(*connection_, big), Variant::Integer(5000000000));

  for (const char* due : {"2030-01-02 03:04:05", "2010-06-07 08:09:10"}) {
    Execute(*connection_, Sql("INSERT INTO tblUserGoods (nType, nUserId, nGoodsId, tAddTime, tDueTime) "
                              "VALUES (%d, %d, %d, '%s', '%s')",
                              {SqlValue::Integer(3001), SqlValue::Integer(9), SqlValue::Integer(1),
                               SqlValue::DateTime("2020-01-01 00:00:00"), SqlValue::DateTime(due)}));
  }
  ResultSet rows = Query(*connection_,
                         Sql("SELECT tDueTime FROM tblUserGoods WHERE (tDueTime > '%s') AND (nUserId = %d)",
                             {SqlValue::DateTime("2020-05-05 12:00:00"), SqlValue::Integer(9)}));
  ASSERT_EQ(rows.rows.size(), 1u);
  EXPECT_EQ(rows.rows[0][0], Variant::Text(u"2030-01-02 03:04:05"));
}

// More statement texts than the cache keeps, then the first ones again:
// each text still runs as itself.
TEST_F(OdbcTest, StatementsBeyondTheCacheStillRunAsThemselves) {
  ZELVAR_REQUIRE_CONNECTION();
  for (int round = 0; round < 2; ++round) {
    for (int k = 0; k < 300; k += round + 1) {
      const Sql sql("SELECT CAST(%d AS bigint) + " + std::to_string(k) + " AS v",
                    {SqlValue::Integer(1000 * round)});
      EXPECT_EQ(Single(*connection_, sql), Variant::Integer(1000 * round + k));
    }
  }
}

TEST_F(OdbcTest, FailedStatementsGiveTheServersTextAndKeepTheConnection) {
  ZELVAR_REQUIRE_CONNECTION();
  ResultSet rows;
  Status error;
  EXPECT_FALSE((error = connection_->Run(Sql("SELEC nId FROM tblUser"), &rows)).ok());
  EXPECT_TRUE(error.IsStatement());
  EXPECT_NE(Narrow(error.text()).find("syntax error"), std::string::npos) << Narrow(error.text());

  error = Status();
  EXPECT_FALSE((error = connection_->Run(Sql("INSERT INTO tblUser (sFacePic) VALUES ('%s')",
                                    {SqlValue::Text(std::u16string(4001, u'f'))}),
                                nullptr)).ok());
  EXPECT_TRUE(error.IsStatement());
  EXPECT_FALSE(error.text().empty());

  EXPECT_TRUE(connection_->IsAlive());
  EXPECT_EQ(Single(*connection_, Sql("SELECT count(*) FROM tblUser")), Variant::Integer(0));
}

TEST_F(OdbcTest, TransactionsCommitRollBackAndRestoreAutocommit) {
  ZELVAR_REQUIRE_CONNECTION();
  Status error;
  ASSERT_TRUE((error = connection_->Begin()).ok()) << Narrow(error.text());
  Execute(*connection_, Sql("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (1, 2)"));
  EXPECT_EQ(db_->QueryInt("SELECT count(*) FROM tblFriend"), 0);  // not yet visible
  ASSERT_TRUE((error = connection_->Rollback()).ok()) << Narrow(error.text());
  EXPECT_EQ(db_->QueryInt("SELECT count(*) FROM tblFriend"), 0);

  ASSERT_TRUE((error = connection_->Begin()).ok()) << Narrow(error.text());
  EXPECT_EQ(Single(*connection_, Sql("SELECT current_setting('transaction_isolation') AS level")), Variant::Text(u"serializable"));
  Execute(*connection_, Sql("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (3, 4)"));
  ASSERT_TRUE((error = connection_->Commit()).ok()) << Narrow(error.text());
  EXPECT_EQ(db_->QueryInt("SELECT count(*) FROM tblFriend"), 1);

  // Back in autocommit at the default isolation: a statement is visible
  // to others at once.
  EXPECT_EQ(Single(*connection_, Sql("SELECT current_setting('transaction_isolation') AS level")), Variant::Text(u"read committed"));
  Execute(*connection_, Sql("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (5, 6)"));
  EXPECT_EQ(db_->QueryInt("SELECT count(*) FROM tblFriend"), 2);
  EXPECT_TRUE(connection_->IsAlive());
}

// A connection let go in the middle of a transaction (its lease ended by
// a failure) must roll it back and close, not linger with its locks.
TEST_F(OdbcTest, ConnectionClosedInsideATransactionRollsBackAndLetsGo) {
  ZELVAR_REQUIRE_CONNECTION();
  const std::string sessions =
      "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database()";
  const int64_t before = db_->QueryInt(sessions);
  Status error;
  ASSERT_TRUE((error = connection_->Begin()).ok());
  Execute(*connection_, Sql("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (1, 2)"));
  connection_.reset();
  // The session ends a moment after the client let go.
  for (int i = 0; i < 500 && db_->QueryInt(sessions) != before - 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(db_->QueryInt(sessions), before - 1);
  EXPECT_EQ(db_->QueryInt("SELECT count(*) FROM tblFriend"), 0);
}

TEST_F(OdbcTest, ConcurrentUpdateIsARetryableSerializationFailure) {
  ZELVAR_REQUIRE_CONNECTION();
  std::unique_ptr<Connection> other = Open();
  ASSERT_NE(other, nullptr);
  db_->Exec("INSERT INTO tblUser (nId, nLevel) VALUES (1, 10)");
  Status error;
  ASSERT_TRUE((error = connection_->Begin()).ok());
  ASSERT_TRUE((error = other->Begin()).ok());
  const Sql read("SELECT nLevel FROM tblUser WHERE nId = %d", {SqlValue::Integer(1)});
  const Sql bump("UPDATE tblUser SET nLevel = nLevel + 1 WHERE nId = %d", {SqlValue::Integer(1)});
  EXPECT_EQ(Single(*connection_, read), Variant::Integer(10));
  EXPECT_EQ(Single(*other, read), Variant::Integer(10));
  Execute(*connection_, bump);
  ASSERT_TRUE((error = connection_->Commit()).ok()) << Narrow(error.text());

  error = Status();
  EXPECT_FALSE((error = other->Run(bump, nullptr)).ok());
  EXPECT_TRUE(error.IsRetryable()) << Narrow(error.text());
  EXPECT_TRUE((error = other->Rollback()).ok());
  EXPECT_TRUE(other->IsAlive());
  EXPECT_EQ(Single(*other, read), Variant::Integer(11));
}

// Behind a pooler in transaction mode (scripts/with-pgbouncer) the
// connections share server sessions: a transaction of one connection must
// leave nothing behind that another connection's statements then run at.
TEST_F(OdbcTest, AnotherConnectionsTransactionLeavesTheDefaultIsolation) {
  ZELVAR_REQUIRE_CONNECTION();
  std::unique_ptr<Connection> other = Open();
  ASSERT_NE(other, nullptr);
  const auto level = [&] {
    std::u16string text;
    Single(*other, Sql("SELECT current_setting('transaction_isolation') AS level")).ToText(&text);
    return Narrow(text);
  };
  EXPECT_EQ(level(), "read committed");
  Status error;
  ASSERT_TRUE((error = connection_->Begin()).ok()) << Narrow(error.text());
  Execute(*connection_, Sql("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (1, 2)"));
  ASSERT_TRUE((error = connection_->Commit()).ok()) << Narrow(error.text());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(level(), "read committed") << "statement " << i;
}

// A server that takes the TCP connection but never answers, and a port
// where nothing listens: both end in a link failure. The silent one ends
// with the login timeout; the bound below only guards against a hang.
TEST(OdbcOpen, UnreachableServerFailsInBoundedTimeAsALinkFailure) {
  int silent = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(silent, 8), 0);
  socklen_t length = sizeof(address);
  getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
  const int silent_port = ntohs(address.sin_port);

  int closed = socket(AF_INET, SOCK_STREAM, 0);
  address.sin_port = 0;
  bind(closed, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  getsockname(closed, reinterpret_cast<sockaddr*>(&address), &length);
  const int closed_port = ntohs(address.sin_port);
  close(closed);  // nothing listens there now

  for (int port : {closed_port, silent_port}) {
    const std::string odbc = "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" +
                             std::to_string(port) + ";Database=zelvar;Uid=zelvar;Pwd=x;";
    Status error;
    auto start = std::chrono::steady_clock::now();
    std::unique_ptr<Connection> connection;
    error = OpenOdbcConnection(odbc, &connection);
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
    EXPECT_EQ(connection, nullptr) << port;
    EXPECT_TRUE(error.IsLink());
    EXPECT_FALSE(error.text().empty());
    EXPECT_LT(seconds, 60) << "the open did not give up";
  }
  close(silent);
}

}  // namespace
}  // namespace zelvar::db
