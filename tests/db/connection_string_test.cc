// Connection strings: splitting, and which backend each form reaches with
// which ODBC string.
#include "db/connection_string.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace zelvar::db {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

const std::vector<std::string> kMicrosoft18 = {"PostgreSQL Unicode", "ODBC Driver 17 for SQL Server",
                                               "ODBC Driver 18 for SQL Server", "FreeTDS"};
const std::vector<std::string> kFreeTdsOnly = {"PostgreSQL Unicode", "FreeTDS"};

std::string Translate(const std::string& text, const std::vector<std::string>& drivers) {
  ConnectionTarget target = ResolveConnectionString(text, drivers);
  EXPECT_EQ(target.kind, ConnectionTarget::Kind::kOdbc) << target.error;
  return target.odbc;
}

// The pairs of a translated string, to compare them without regard to
// the order they were written in.
Pairs Split(const std::string& text) {
  Pairs pairs;
  EXPECT_TRUE(SplitConnectionString(text, &pairs)) << text;
  return pairs;
}

std::string ValueOf(const Pairs& pairs, const std::string& keyword) {
  for (const auto& [k, v] : pairs) {
    if (k == keyword) return v;
  }
  return "<missing>";
}

TEST(SplitConnectionString, PlainBracedAndQuotedValues) {
  Pairs pairs;
  ASSERT_TRUE(SplitConnectionString(
      " Provider = SQLite ; Data Source={/tmp/a;b}}c.db};Password=\"x\"\"y;z\";User='o''k';;", &pairs));
  ASSERT_EQ(pairs.size(), 4u);
  EXPECT_EQ(pairs[0], (std::pair<std::string, std::string>("Provider", "SQLite")));
  EXPECT_EQ(pairs[1].second, "/tmp/a;b}c.db");
  EXPECT_EQ(pairs[2].second, "x\"y;z");
  EXPECT_EQ(pairs[3].second, "o'k");
}

TEST(SplitConnectionString, RefusesWhatIsNoList) {
  Pairs pairs;
  EXPECT_FALSE(SplitConnectionString("just words", &pairs));
  EXPECT_FALSE(SplitConnectionString("=value", &pairs));
  EXPECT_FALSE(SplitConnectionString("Password={unclosed", &pairs));
  EXPECT_FALSE(SplitConnectionString("Password=\"unclosed", &pairs));
  EXPECT_FALSE(SplitConnectionString("Password={a}b;", &pairs));
  EXPECT_TRUE(SplitConnectionString("", &pairs));
  EXPECT_TRUE(pairs.empty());
}

TEST(ResolveConnectionString, SqliteWithAnyCaseAndBracedPath) {
  ConnectionTarget target =
      ResolveConnectionString("provider=sqlite;DATA SOURCE={/data/my;db.sqlite}", {});
  ASSERT_EQ(target.kind, ConnectionTarget::Kind::kSqlite) << target.error;
  EXPECT_EQ(target.sqlite_path, "/data/my;db.sqlite");

  target = ResolveConnectionString("Provider=SQLite;", {});
  EXPECT_EQ(target.kind, ConnectionTarget::Kind::kInvalid);
  EXPECT_FALSE(target.error.empty());
}

TEST(ResolveConnectionString, OdbcStringsGoThroughAsTheyStand) {
  const std::string driver = "Driver={PostgreSQL Unicode};Server=db;Port=5432;Pwd={a;b};";
  ConnectionTarget target = ResolveConnectionString(driver, {});
  ASSERT_EQ(target.kind, ConnectionTarget::Kind::kOdbc);
  // PostgreSQL's driver is told to set no savepoint before each statement
  // of a transaction, unless the string sets the level itself.
  EXPECT_EQ(target.odbc, driver + "Protocol=7.4-0;");
  const std::string own_level = "Driver={PostgreSQL Unicode};Server=db;protocol=7.4-2";
  EXPECT_EQ(ResolveConnectionString(own_level, {}).odbc, own_level);

  target = ResolveConnectionString("dsn=friends;uid=sa", {});
  ASSERT_EQ(target.kind, ConnectionTarget::Kind::kOdbc);
  EXPECT_EQ(target.odbc, "dsn=friends;uid=sa");
}

TEST(ResolveConnectionString, UnusableStringsSayWhy) {
  for (const char* text : {"", "   ", "Provider=Jet.OLEDB;Data Source=x.mdb", "Server=db;Uid=sa",
                           "Provider=sqloledb;Data Source={open"}) {
    ConnectionTarget target = ResolveConnectionString(text, kMicrosoft18);
    EXPECT_EQ(target.kind, ConnectionTarget::Kind::kInvalid) << text;
    EXPECT_FALSE(target.error.empty()) << text;
  }
  ConnectionTarget target = ResolveConnectionString("Provider=sqloledb;Initial Catalog=x", kMicrosoft18);
  EXPECT_EQ(target.kind, ConnectionTarget::Kind::kInvalid);
  EXPECT_NE(target.error.find("Data Source"), std::string::npos) << target.error;
}

// The module's own keywords: read on every backend, never handed to a
// driver; MariaDB's driver gets its time bounds and matched-row counts.
TEST(ResolveConnectionString, TimeoutsAndTheModulesKeywords) {
  ConnectionTarget sqlite =
      ResolveConnectionString("Provider=SQLite;Data Source=a.db;Command Timeout=7;", {});
  EXPECT_EQ(sqlite.options.command_timeout, std::chrono::seconds(7));
  EXPECT_EQ(sqlite.options.connect_timeout, std::chrono::seconds(15));

  ConnectionTarget pg = ResolveConnectionString(
      "Driver={PostgreSQL Unicode};Server=h;Connect Timeout=3;Named Statements=yes", {});
  EXPECT_EQ(pg.options.connect_timeout, std::chrono::seconds(3));
  EXPECT_EQ(pg.options.command_timeout, std::chrono::seconds(30));
  EXPECT_TRUE(pg.options.named_statements);
  EXPECT_EQ(Split(pg.odbc), (Pairs{{"Driver", "PostgreSQL Unicode"}, {"Server", "h"},
                                   {"Protocol", "7.4-0"}}));

  ConnectionTarget maria = ResolveConnectionString(
      "Driver={MariaDB Unicode};Server=h;OPTION=8;Command Timeout=40;", {});
  EXPECT_EQ(Split(maria.odbc), (Pairs{{"Driver", "MariaDB Unicode"}, {"Server", "h"},
                                     {"OPTION", "10"}, {"CONN_TIMEOUT", "15"},
                                     {"READ_TIMEOUT", "40"}, {"WRITE_TIMEOUT", "40"}}));

  for (const char* bad : {"Provider=SQLite;Data Source=a.db;Command Timeout=soon",
                          "Driver={X};Connect Timeout=-1"}) {
    ConnectionTarget target = ResolveConnectionString(bad, {});
    EXPECT_EQ(target.kind, ConnectionTarget::Kind::kInvalid) << bad;
    EXPECT_NE(target.error.find("whole number of seconds"), std::string::npos) << target.error;
  }
}

// Several servers: each gets a string naming it alone, the list and
// Failover= never reach a driver; SQL Server's "host,port" stays one
// server; a list that can't be read says why.
TEST(ResolveConnectionString, ServerListsGiveOneStringPerServer) {
  ConnectionTarget maria = ResolveConnectionString(
      "Driver={MariaDB Unicode};Server=a, b:3307 ,[::1]:3308;Port=3306;Uid=u;", {});
  ASSERT_EQ(maria.kind, ConnectionTarget::Kind::kOdbc) << maria.error;
  ASSERT_EQ(maria.servers.size(), 3u);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"a", "3306"}, {"b", "3307"}, {"::1", "3308"}};
  for (size_t i = 0; i < expected.size(); ++i) {
    const Pairs pairs = Split(maria.servers[i]);
    EXPECT_EQ(ValueOf(pairs, "Server"), expected[i].first);
    EXPECT_EQ(ValueOf(pairs, "Port"), expected[i].second);
    EXPECT_EQ(ValueOf(pairs, "Uid"), "u");
    EXPECT_EQ(ValueOf(pairs, "CONN_TIMEOUT"), "15");
  }
  EXPECT_EQ(maria.odbc, maria.servers[0]);

  ConnectionTarget pg = ResolveConnectionString(
      "Driver={PostgreSQL Unicode};Servername=p;Port=5432;Failover=q:5433,r;Database=z", {});
  ASSERT_EQ(pg.servers.size(), 3u) << pg.error;
  EXPECT_EQ(Split(pg.servers[1]),
            (Pairs{{"Driver", "PostgreSQL Unicode"}, {"Database", "z"}, {"Server", "q"},
                   {"Port", "5433"}, {"Protocol", "7.4-0"}}));
  EXPECT_EQ(ValueOf(Split(pg.servers[2]), "Port"), "5432");

  ConnectionTarget with_port = ResolveConnectionString("Driver={MariaDB Unicode};Server=a:3307", {});
  EXPECT_TRUE(with_port.servers.empty());
  EXPECT_EQ(ValueOf(Split(with_port.odbc), "Port"), "3307");

  const std::string sql_server = "Driver={ODBC Driver 18 for SQL Server};Server=h,1433;UID=sa";
  ConnectionTarget one = ResolveConnectionString(sql_server, {});
  EXPECT_TRUE(one.servers.empty());
  EXPECT_EQ(one.odbc, sql_server);

  for (const auto& [text, why] : std::vector<std::pair<std::string, std::string>>{
           {"Driver={MariaDB Unicode};Server=a,,b", "empty"},
           {"Driver={MariaDB Unicode};Server=a,:3306", "empty host"},
           {"Driver={MariaDB Unicode};Server=a,b:70000", "bad port \"70000\""},
           {"Driver={MariaDB Unicode};Server=a;Failover=b:x", "bad port \"x\""},
           {"Driver={MariaDB Unicode};Server=a,b;Port=db", "Port \"db\""},
           {"Driver={MariaDB Unicode};Failover=b", "Server= is missing"},
           {"Driver={ODBC Driver 18 for SQL Server};Server=h;Failover=g", "MariaDB's"},
           {"Provider=sqloledb;Data Source=h;Failover=g", "MariaDB's"}}) {
    ConnectionTarget target = ResolveConnectionString(text, kMicrosoft18);
    EXPECT_EQ(target.kind, ConnectionTarget::Kind::kInvalid) << text;
    EXPECT_NE(target.error.find(why), std::string::npos) << text << ": " << target.error;
  }
}

TEST(SqlServerTranslation, BuiltInStringWithTheBestDriver) {
  Pairs pairs = Split(Translate(
      "Provider=sqloledb;Data Source=127.0.0.1;Initial Catalog=Brontal;User Id=Tavmorin;"
      "Password=qoxerafindu;",
      kMicrosoft18));
  EXPECT_EQ(ValueOf(pairs, "Driver"), "ODBC Driver 18 for SQL Server");
  EXPECT_EQ(ValueOf(pairs, "Server"), "127.0.0.1");
  EXPECT_EQ(ValueOf(pairs, "Database"), "Brontal");
  EXPECT_EQ(ValueOf(pairs, "UID"), "Tavmorin");
  EXPECT_EQ(ValueOf(pairs, "PWD"), "qoxerafindu");
  // The OLE DB provider did not encrypt unless asked; driver 18 would.
  EXPECT_EQ(ValueOf(pairs, "Encrypt"), "no");
  for (const auto& [keyword, value] : pairs) {
    EXPECT_NE(keyword, "Provider");
    EXPECT_NE(keyword, "Data Source");
    EXPECT_NE(keyword, "Initial Catalog");
  }
}

TEST(SqlServerTranslation, EveryProviderNameOfTheFamilyInAnyCase) {
  for (const char* provider : {"sqloledb", "SQLOLEDB.1", "MSOLEDBSQL", "SQLNCLI", "sqlncli11"}) {
    std::string text = std::string("Provider=") + provider + ";Data Source=db1;User Id=u;Password=p";
    Pairs pairs = Split(Translate(text, {"ODBC Driver 17 for SQL Server"}));
    EXPECT_EQ(ValueOf(pairs, "Driver"), "ODBC Driver 17 for SQL Server") << provider;
    EXPECT_EQ(ValueOf(pairs, "Server"), "db1") << provider;
  }
}

TEST(SqlServerTranslation, ServerFormsKeepPortAndInstance) {
  EXPECT_EQ(ValueOf(Split(Translate("Provider=sqloledb;Data Source=db.example.com,1433", kMicrosoft18)),
                    "Server"),
            "db.example.com,1433");
  EXPECT_EQ(ValueOf(Split(Translate("Provider=sqloledb;Data Source=db\\SQLEXPRESS", kMicrosoft18)),
                    "Server"),
            "db\\SQLEXPRESS");
  EXPECT_EQ(ValueOf(Split(Translate("Provider=sqloledb;Data Source=(local)\\SQLEXPRESS", kMicrosoft18)),
                    "Server"),
            "127.0.0.1\\SQLEXPRESS");
  // FreeTDS takes the port as a keyword of its own.
  Pairs free_tds = Split(Translate("Provider=sqloledb;Data Source=10.0.0.5, 2433", kFreeTdsOnly));
  EXPECT_EQ(ValueOf(free_tds, "Driver"), "FreeTDS");
  EXPECT_EQ(ValueOf(free_tds, "Server"), "10.0.0.5");
  EXPECT_EQ(ValueOf(free_tds, "Port"), "2433");
  EXPECT_EQ(ValueOf(free_tds, "ClientCharset"), "UTF-8");
  EXPECT_EQ(ValueOf(Split(Translate("Provider=sqloledb;Data Source=db\\INST", kFreeTdsOnly)), "Server"),
            "db\\INST");
}

TEST(SqlServerTranslation, ValuesThatNeedBracesAreBracedAgain) {
  std::string odbc = Translate(
      "PROVIDER=SQLOLEDB;DATA SOURCE=db;USER ID='we;ird';password={p;w}}d};Initial Catalog=\"My DB\"",
      kMicrosoft18);
  EXPECT_NE(odbc.find("PWD={p;w}}d};"), std::string::npos) << odbc;
  EXPECT_NE(odbc.find("UID={we;ird};"), std::string::npos) << odbc;
  Pairs pairs = Split(odbc);
  EXPECT_EQ(ValueOf(pairs, "PWD"), "p;w}d");
  EXPECT_EQ(ValueOf(pairs, "UID"), "we;ird");
  EXPECT_EQ(ValueOf(pairs, "Database"), "My DB");
}

TEST(SqlServerTranslation, IntegratedSecurityAndOtherKeywords) {
  Pairs pairs = Split(Translate(
      "Provider=sqloledb;Data Source=db;Integrated Security=SSPI;Persist Security Info=False;"
      "Application Name=zelvar;MultiSubnetFailover=Yes;Encrypt=yes",
      kMicrosoft18));
  EXPECT_EQ(ValueOf(pairs, "Trusted_Connection"), "yes");
  EXPECT_EQ(ValueOf(pairs, "UID"), "<missing>");
  EXPECT_EQ(ValueOf(pairs, "APP"), "zelvar");
  EXPECT_EQ(ValueOf(pairs, "MultiSubnetFailover"), "Yes");
  EXPECT_EQ(ValueOf(pairs, "Encrypt"), "yes");
  EXPECT_EQ(ValueOf(pairs, "Persist Security Info"), "<missing>");
}

TEST(SqlServerTranslation, NoSqlServerDriverInstalled) {
  ConnectionTarget target = ResolveConnectionString(
      "Provider=sqloledb;Data Source=db;User Id=u;Password=p", {"PostgreSQL Unicode", "SQLite3"});
  EXPECT_EQ(target.kind, ConnectionTarget::Kind::kInvalid);
  EXPECT_NE(target.error.find("SQL Server"), std::string::npos) << target.error;
}

}  // namespace
}  // namespace zelvar::db
