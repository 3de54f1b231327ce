// The statement runners and field reads on every backend: results, error
// texts, the error log, the NULL rules and values that must arrive intact.

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "backend_fixture.h"
#include "db/ado.h"
#include "db/current_connection.h"
#include "db/recordset.h"
#include "db/runner.h"
#include "db/transaction.h"
#include "support/test_db.h"
#include "util/text.h"
#include "zelvar/zelvar.h"

namespace zelvar::test {
namespace {

using db::AdoRstGetField;
using db::AdoRstIsEOF;
using db::AdoRstMoveNext;
using db::ExecuteSql;
using db::QuerySql;
using db::RecordsetHandle;
using db::Sql;
using db::SqlValue;
using db::Variant;

const std::string kOpenFailedUtf8 = ToNarrow(db::kOpenFailedText);

// A connection string of the backend that can't open: a missing file, or a
// port where no server listens.
std::string UnopenableString(Backend backend, const std::string& folder) {
  if (backend == Backend::kSqlite) {
    return "Provider=SQLite;Data Source=" + folder + "/missing.db";
  }
  return "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Database=zelvar;Uid=zelvar;Pwd=x;";
}

std::u16string TextOf(const Variant& value) {
  std::u16string text;
  EXPECT_TRUE(value.ToText(&text));
  return text;
}

using RunnerTest = BackendTest;

TEST_P(RunnerTest, StatementsRunAndQueriesReadTheirRows) {
  ZELVAR_REQUIRE_DB();
  std::u16string error = u"untouched";
  ASSERT_EQ(ExecuteSql(Sql("INSERT INTO tblUser (sUsername, sNick, nSex, nLevel) VALUES "
                           "('%s', '%s', %d, %d)",
                           {SqlValue::Text(u"alice"), SqlValue::Text(u"Alice"),
                            SqlValue::Integer(1), SqlValue::Integer(7)}),
                       &error),
            0);
  EXPECT_EQ(error, u"untouched");  // filled only on failure
  EXPECT_EQ(db_->QueryInt("SELECT nLevel FROM tblUser WHERE sUsername = 'alice'"), 7);

  RecordsetHandle rs;
  ASSERT_EQ(QuerySql(Sql("SELECT nId, sNick, nSex FROM tblUser WHERE (sUsername = '%s')",
                         {SqlValue::Text(u"alice")}),
                     rs, nullptr),
            0);
  ASSERT_EQ(AdoRstIsEOF(rs), 0);
  Variant nick;
  Variant sex;
  // Names match without regard to case (PostgreSQL reports them in lower
  // case; handlers ask for "nID" where the column is nId).
  ASSERT_EQ(AdoRstGetField(rs, "SNICK", &nick), 0);
  ASSERT_EQ(AdoRstGetField(rs, "nsex", &sex), 0);
  EXPECT_EQ(TextOf(nick), u"Alice");
  EXPECT_EQ(sex.Int32(), 1);
  Variant again;
  ASSERT_EQ(AdoRstGetField(rs, "sNick", &again), 0);
  EXPECT_EQ(again, nick);
  EXPECT_EQ(AdoRstMoveNext(rs), 0);  // from the last row onto the end
  EXPECT_EQ(AdoRstIsEOF(rs), -1);
  EXPECT_NE(AdoRstMoveNext(rs), 0);
}

TEST_P(RunnerTest, FailedStatementGivesTheBackendsTextAndNoLogRecord) {
  ZELVAR_REQUIRE_DB();
  std::u16string error;
  EXPECT_EQ(ExecuteSql(Sql("INSERTT INTO tblUser (nSex) VALUES (1)"), &error), -1);
  EXPECT_FALSE(error.empty());
  EXPECT_NE(error, db::kOpenFailedText);

  // A failed query empties the caller's record set.
  RecordsetHandle rs;
  ASSERT_EQ(QuerySql(Sql("SELECT nId FROM tblUser"), rs, nullptr), 0);
  ASSERT_NE(rs, nullptr);
  error.clear();
  EXPECT_EQ(QuerySql(Sql("SELECT nId FROM tblNoSuchTable"), rs, &error), -1);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(rs, nullptr);
  EXPECT_EQ(QuerySql(Sql("SELEC nId FROM tblUser"), rs, nullptr), -1);  // null text is fine

  EXPECT_EQ(dir_.ReadFile("ZelvarError.log"), "");
  // The connection stays usable after failures.
  EXPECT_EQ(ExecuteSql(Sql("INSERT INTO tblUser (nSex) VALUES (1)"), nullptr), 0);
}

TEST_P(RunnerTest, QueryWithoutRowsIsAtItsEndAtOnce) {
  ZELVAR_REQUIRE_DB();
  RecordsetHandle rs;
  ASSERT_EQ(QuerySql(Sql("SELECT nId FROM tblUser WHERE (nId = %d)", {SqlValue::Integer(42)}), rs,
                     nullptr),
            0);
  EXPECT_EQ(AdoRstIsEOF(rs), -1);
  Variant value = Variant::Integer(5);
  EXPECT_NE(AdoRstGetField(rs, "nId", &value), 0);
  EXPECT_EQ(value, Variant::Integer(5));
  EXPECT_NE(AdoRstMoveNext(rs), 0);
}

TEST_P(RunnerTest, UpdateThroughQuerySqlRunsAndGivesAnEmptyRecordset) {
  // A handler marks messages read with QuerySql.
  ZELVAR_REQUIRE_DB();
  db_->Exec("INSERT INTO tblUserMsg (nUserId, sContent, nRead) VALUES (3, 'a', 0)");
  RecordsetHandle rs;
  ASSERT_EQ(QuerySql(Sql("update tblUserMsg set nRead = 1 WHERE (nRead = 0) AND (nUserId = %d)",
                         {SqlValue::Integer(3)}),
                     rs, nullptr),
            0);
  EXPECT_EQ(AdoRstIsEOF(rs), -1);
  EXPECT_EQ(db_->QueryInt("SELECT nRead FROM tblUserMsg WHERE nUserId = 3"), 1);
}

TEST_P(RunnerTest, UnopenableDatabaseIsReportedAndLoggedOnce) {
  ZELVAR_REQUIRE_DB();
  const std::string bad = UnopenableString(GetParam(), dir_.path());
  SetConnectionString(bad);

  std::u16string error;
  EXPECT_EQ(ExecuteSql(Sql("INSERT INTO tblUser (nSex) VALUES (1)"), &error), -1);
  EXPECT_EQ(error, db::kOpenFailedText);
  EXPECT_EQ(ErrorLogRecords(kOpenFailedUtf8), 1);

  // The caller's record set is left as it was.
  RecordsetHandle rs = std::make_unique<db::Recordset>(db::ResultSet());
  db::Recordset* before = rs.get();
  error.clear();
  EXPECT_EQ(QuerySql(Sql("SELECT nId FROM tblUser"), rs, &error), -1);
  EXPECT_EQ(error, db::kOpenFailedText);
  EXPECT_EQ(rs.get(), before);
  EXPECT_EQ(ErrorLogRecords(kOpenFailedUtf8), 2);
  EXPECT_EQ(ExecuteSql(Sql("DELETE FROM tblUser"), nullptr), -1);  // null text is fine
  EXPECT_EQ(ErrorLogRecords(kOpenFailedUtf8), 3);

  struct stat info;
  EXPECT_NE(stat((dir_.path() + "/missing.db").c_str(), &info), 0) << "a file was created";
}

TEST_P(RunnerTest, OpenDBFriendKeepsTheOldStringWhenTheNewOneFails) {
  ZELVAR_REQUIRE_DB();
  std::string bad = UnopenableString(GetParam(), dir_.path());
  char* text = bad.data();
  EXPECT_EQ(OpenDBFriend(&text), -1);
  EXPECT_EQ(OpenDBFriend(nullptr), -1);
  char* null_text = nullptr;
  EXPECT_EQ(OpenDBFriend(&null_text), -1);
  EXPECT_EQ(db::TestAndSetConnectionString("Provider=Nothing;"), -1);
  EXPECT_EQ(db::TestAndSetConnectionString(""), -1);
  EXPECT_EQ(*CurrentConnectionString(), db_->connection_string());
  EXPECT_EQ(dir_.ReadFile("ZelvarError.log"), "");  // a failed test logs nothing
  EXPECT_EQ(ExecuteSql(Sql("INSERT INTO tblUser (nSex) VALUES (1)"), nullptr), 0);

  // A good string through the export takes over.
  SetConnectionString(kBuiltInConnectionString);
  std::string good = db_->connection_string();
  text = good.data();
  EXPECT_EQ(OpenDBFriend(&text), 0);
  EXPECT_EQ(*CurrentConnectionString(), good);
}

TEST_P(RunnerTest, NullRules) {
  ZELVAR_REQUIRE_DB();
  db_->Exec("INSERT INTO tblUser (sUsername) VALUES ('nulls')");
  RecordsetHandle rs;
  ASSERT_EQ(QuerySql(Sql("SELECT sNick, nSex, bLogined, sFacePic FROM tblUser"), rs, nullptr), 0);
  Variant nick = Variant::Integer(9);
  ASSERT_EQ(AdoRstGetField(rs, "sNick", &nick), 0);
  EXPECT_EQ(nick.kind(), Variant::Kind::kText);
  EXPECT_EQ(TextOf(nick), u"");
  Variant face_pic;  // a long variable-length column too
  ASSERT_EQ(AdoRstGetField(rs, "sFacePic", &face_pic), 0);
  EXPECT_EQ(TextOf(face_pic), u"");
  Variant sex = Variant::Integer(9);
  ASSERT_EQ(AdoRstGetField(rs, "nSex", &sex), 0);
  EXPECT_TRUE(sex.IsNull());
  EXPECT_EQ(sex.Int32(), 0);
  Variant logined;
  ASSERT_EQ(AdoRstGetField(rs, "bLogined", &logined), 0);
  EXPECT_TRUE(logined.IsNull());
}

TEST_P(RunnerTest, NullInFixedLengthOrLongTextStaysNull) {
  ZELVAR_REQUIRE_DB();
  db_->Exec("CREATE TABLE tblFixed (nId INTEGER, cCode CHAR(8), sLong TEXT)");
  db_->Exec("INSERT INTO tblFixed (nId) VALUES (1)");
  RecordsetHandle rs;
  ASSERT_EQ(QuerySql(Sql("SELECT cCode, sLong FROM tblFixed"), rs, nullptr), 0);
  Variant code;
  Variant long_text;
  ASSERT_EQ(AdoRstGetField(rs, "cCode", &code), 0);
  ASSERT_EQ(AdoRstGetField(rs, "sLong", &long_text), 0);
  EXPECT_TRUE(code.IsNull());
  EXPECT_TRUE(long_text.IsNull());
}

TEST_P(RunnerTest, FailedReadsLeaveTheValueAlone) {
  ZELVAR_REQUIRE_DB();
  db_->Exec("INSERT INTO tblUser (sNick) VALUES ('x')");
  RecordsetHandle rs;
  ASSERT_EQ(QuerySql(Sql("SELECT sNick FROM tblUser"), rs, nullptr), 0);
  Variant value = Variant::Text(u"kept");
  EXPECT_NE(AdoRstGetField(rs, "nNoSuchColumn", &value), 0);
  EXPECT_NE(AdoRstGetField(rs, "", &value), 0);
  EXPECT_EQ(value, Variant::Text(u"kept"));
  ASSERT_EQ(AdoRstMoveNext(rs), 0);
  EXPECT_NE(AdoRstGetField(rs, "sNick", &value), 0);
  EXPECT_EQ(value, Variant::Text(u"kept"));

  RecordsetHandle empty;
  EXPECT_EQ(AdoRstIsEOF(empty), 0);  // a failed test reads as a current row
  EXPECT_NE(AdoRstMoveNext(empty), 0);
  EXPECT_NE(AdoRstGetField(empty, "sNick", &value), 0);
  EXPECT_EQ(value, Variant::Text(u"kept"));
}

TEST_P(RunnerTest, FieldValuesOfEveryKind) {
  ZELVAR_REQUIRE_DB();
  ASSERT_EQ(ExecuteSql(Sql("INSERT INTO tblUserGoods (nType, nUserId, nGoodsId, tAddTime, "
                           "tDueTime) VALUES (%d, %d, %d, '%s', '%s')",
                           {SqlValue::Integer(3001), SqlValue::Integer(-5),
                            SqlValue::Integer(2147483647), SqlValue::DateTime("2011-05-03 09:05:07"),
                            SqlValue::DateTime("2050-10-12 19:02:00")}),
                       nullptr),
            0);
  db_->Exec("INSERT INTO tblFriendTradeItem (sTradeName, nHeadX, nHeadY) VALUES ('Rose', 12.5, -4)");
  db_->Exec("INSERT INTO tblUser (sNick, bLogined) VALUES ('on', TRUE)");
  db_->Exec("INSERT INTO tblUser (sNick, bLogined) VALUES ('off', FALSE)");

  RecordsetHandle rs;
  ASSERT_EQ(QuerySql(Sql("SELECT * FROM tblUserGoods WHERE (nUserId = %d) AND (nGoodsId = %d) "
                         "order by nid desc",
                         {SqlValue::Integer(-5), SqlValue::Integer(2147483647)}),
                     rs, nullptr),
            0);
  ASSERT_EQ(AdoRstIsEOF(rs), 0);
  Variant value;
  ASSERT_EQ(AdoRstGetField(rs, "nID", &value), 0);
  EXPECT_GT(value.Int32(), 0);
  ASSERT_EQ(AdoRstGetField(rs, "nGoodsId", &value), 0);
  EXPECT_EQ(value.Int32(), 2147483647);
  ASSERT_EQ(AdoRstGetField(rs, "nUserId", &value), 0);
  EXPECT_EQ(value.Int32(), -5);
  ASSERT_EQ(AdoRstGetField(rs, "tAddTime", &value), 0);
  EXPECT_EQ(TextOf(value), u"2011-05-03 09:05:07");
  ASSERT_EQ(AdoRstGetField(rs, "tDueTime", &value), 0);
  EXPECT_EQ(TextOf(value), u"2050-10-12 19:02:00");

  // Date-times compare as times against a bound value.
  ASSERT_EQ(QuerySql(Sql("SELECT nId FROM tblUserGoods WHERE (tDueTime > '%s') AND (nUserId = %d)",
                         {SqlValue::DateTime("2050-10-12 19:01:59"), SqlValue::Integer(-5)}),
                     rs, nullptr),
            0);
  EXPECT_EQ(AdoRstIsEOF(rs), 0);
  ASSERT_EQ(QuerySql(Sql("SELECT nId FROM tblUserGoods WHERE (tDueTime > '%s') AND (nUserId = %d)",
                         {SqlValue::DateTime("2050-10-12 19:02:00"), SqlValue::Integer(-5)}),
                     rs, nullptr),
            0);
  EXPECT_EQ(AdoRstIsEOF(rs), -1);

  ASSERT_EQ(QuerySql(Sql("SELECT  nId, sTradeName, nHeadX, nHeadY FROM tblFriendTradeItem"), rs,
                     nullptr),
            0);
  ASSERT_EQ(AdoRstGetField(rs, "nHeadX", &value), 0);
  EXPECT_EQ(value.Real(), 12.5);
  ASSERT_EQ(AdoRstGetField(rs, "nHeadY", &value), 0);
  EXPECT_EQ(value.Real(), -4.0);

  ASSERT_EQ(QuerySql(Sql("SELECT sNick, bLogined FROM tblUser ORDER BY nId"), rs, nullptr), 0);
  ASSERT_EQ(AdoRstGetField(rs, "bLogined", &value), 0);
  EXPECT_EQ(value, Variant::Integer(1));
  ASSERT_EQ(AdoRstMoveNext(rs), 0);
  ASSERT_EQ(AdoRstGetField(rs, "bLogined", &value), 0);
  EXPECT_EQ(value, Variant::Integer(0));
}

TEST_P(RunnerTest, QuotedIntegerPlacesTakeIntegers) {
  ZELVAR_REQUIRE_DB();
  ASSERT_EQ(ExecuteSql(Sql("INSERT INTO tblUserGoods (nType, nUserId,nGoodsId,tAddTime,tDueTime,"
                           "nBuyDay,nLevel,nUsing,sHeadColor) VALUES ('%d', '%d', '%d', '%s','%s',"
                           "'%d','%d','%d','%s')",
                           {SqlValue::Integer(3000), SqlValue::Integer(8), SqlValue::Integer(1),
                            SqlValue::DateTime("2020-01-02 03:04:05"),
                            SqlValue::DateTime("2050-10-12 19:02:00"), SqlValue::Integer(30),
                            SqlValue::Integer(1), SqlValue::Integer(0),
                            SqlValue::Text(u"L:0;S:0;R:0;G:0;B:0")}),
                       nullptr),
            0);
  EXPECT_EQ(db_->QueryInt("SELECT nBuyDay + nType FROM tblUserGoods WHERE nUserId = 8"), 3030);
}

// Texts that break statements built by pasting, or that lose characters on
// the way: each must come back byte for byte and touch no other row.
const std::vector<std::u16string>& HostileTexts() {
  static const std::vector<std::u16string> texts = {
      u"'",
      u"''",
      u"O'Brien",
      u"it's a 'quoted' word",
      u"\\",
      u"\\'",
      u"back\\slash\\",
      u"'; DROP TABLE tblUser; --",
      u"x' OR '1'='1",
      u"x'); DELETE FROM tblUser; --",
      u"/* comment */",
      u"-- line comment",
      u"a;b;c",
      u"%s %d %%",
      u"?",
      u"$1 :name @p",
      u"\"double quoted\"",
      u"`back ticks`",
      u"\u2019 \u2018 \u02BC \uFF07 \u201C\u201D",
      u"\u6570\u636E\u5E93\u6CA1\u80FD\u6253\u5F00",
      u"\u4F60\u597D\uFF0C\u4E16\u754C",
      u"\U0001F600\U0001F680 emoji",
      u"tab\there\nnew line\r\n",
      u"   leading and trailing   ",
      u"\u00E9\u00E8\u00FC\u00DF",
      u"\u05E9\u05DC\u05D5\u05DD \u0645\u0631\u062D\u0628\u0627",
      u"\\x27\\u0027&#39;",
      u"",
      std::u16string(3000, u'\''),
      std::u16string(1000, u'\u4E2D') + u"\U0001F389",
  };
  return texts;
}

TEST_P(RunnerTest, HostileTextsArriveIntactAndTouchNoOtherRow) {
  ZELVAR_REQUIRE_DB();
  db_->Exec("INSERT INTO tblUser (sUsername, sFacePic, nSex) VALUES ('sentinel', 'keep', -1)");
  const auto& texts = HostileTexts();
  for (size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(i);
    std::u16string error;
    ASSERT_EQ(ExecuteSql(Sql("INSERT INTO tblUser (sFacePic, nSex) VALUES ('%s', %d)",
                             {SqlValue::Text(texts[i]), SqlValue::Integer(static_cast<int>(i))}),
                         &error),
              0)
        << ToNarrow(error);
    // The text in a WHERE finds exactly its own row.
    RecordsetHandle rs;
    ASSERT_EQ(QuerySql(Sql("SELECT nSex, sFacePic FROM tblUser WHERE (sFacePic = '%s')",
                           {SqlValue::Text(texts[i])}),
                       rs, &error),
              0)
        << ToNarrow(error);
    ASSERT_EQ(AdoRstIsEOF(rs), 0);
    Variant value;
    ASSERT_EQ(AdoRstGetField(rs, "nSex", &value), 0);
    EXPECT_EQ(value.Int32(), static_cast<int>(i));
    ASSERT_EQ(AdoRstGetField(rs, "sFacePic", &value), 0);
    EXPECT_EQ(TextOf(value), texts[i]);
    ASSERT_EQ(AdoRstMoveNext(rs), 0);
    EXPECT_EQ(AdoRstIsEOF(rs), -1);
  }
  // Read back on a connection of its own, byte for byte.
  const auto rows = db_->Query("SELECT nSex, sFacePic FROM tblUser WHERE nSex >= 0 ORDER BY nSex");
  ASSERT_EQ(rows.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(rows[i][1].has_value());
    EXPECT_EQ(*rows[i][1], ToNarrow(texts[i]));
  }
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblUser WHERE sUsername = 'sentinel' AND "
                          "sFacePic = 'keep' AND nSex = -1"),
            1);
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblUser"), static_cast<int64_t>(texts.size() + 1));
}

TEST_P(RunnerTest, LoneSurrogateArrivesAsQuestionMark) {
  ZELVAR_REQUIRE_DB();
  const std::u16string text = {u'a', static_cast<char16_t>(0xD800), u'b'};
  ASSERT_EQ(ExecuteSql(Sql("INSERT INTO tblUser (sNick) VALUES ('%s')", {SqlValue::Text(text)}),
                       nullptr),
            0);
  EXPECT_EQ(db_->Query("SELECT sNick FROM tblUser")[0][0], std::optional<std::string>("a?b"));
}

TEST_P(RunnerTest, StatementRunAgainWithOtherValuesGivesItsOwnRows) {
  // Prepared statements are reused per connection: values must not stick.
  ZELVAR_REQUIRE_DB();
  db_->Exec("INSERT INTO tblUser (sNick) VALUES ('one')");
  db_->Exec("INSERT INTO tblUser (sNick) VALUES ('two')");
  const auto nick_of = [](int id) {
    RecordsetHandle rs;
    Variant nick;
    EXPECT_EQ(QuerySql(Sql("SELECT sNick FROM tblUser WHERE (nId = %d)", {SqlValue::Integer(id)}),
                       rs, nullptr),
              0);
    if (AdoRstIsEOF(rs) != 0) return std::u16string(u"<none>");
    EXPECT_EQ(AdoRstGetField(rs, "sNick", &nick), 0);
    std::u16string text;
    nick.ToText(&text);
    return text;
  };
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(nick_of(1), u"one");
    EXPECT_EQ(nick_of(2), u"two");
    EXPECT_EQ(nick_of(3), u"<none>");
  }
  // A table changed behind the cached statement's back.
  db_->Exec("ALTER TABLE tblUser ADD COLUMN nExtra INTEGER");
  db_->Exec("UPDATE tblUser SET sNick = 'uno' WHERE nId = 1");
  EXPECT_EQ(nick_of(1), u"uno");
}

// The wrappers below the runners hold the lease themselves: a failed
// statement leaves it usable, and nothing runs through an empty one.
TEST_P(RunnerTest, WrappersGiveCodesAndKeepTheLeaseAfterAFailedStatement) {
  ZELVAR_REQUIRE_DB();
  db::Lease connection;
  std::u16string error;
  ASSERT_EQ(db::AdoConnOpen(connection, CurrentConnectionString(), &error), 0)
      << ToNarrow(error);
  EXPECT_EQ(db::AdoConnExecute(connection, Sql("INSERTT INTO tblUser (nSex) VALUES (1)"), &error),
            -1);
  EXPECT_FALSE(error.empty());
  ASSERT_EQ(db::AdoConnExecute(connection, Sql("INSERT INTO tblUser (nSex) VALUES (1)"), nullptr),
            0);
  RecordsetHandle rs;
  ASSERT_EQ(db::AdoRstOpen(rs, Sql("SELECT nSex FROM tblUser"), connection, nullptr), 0);
  EXPECT_EQ(rs->row_count(), 1u);
  EXPECT_EQ(db::AdoConnClose(connection), 0);
  EXPECT_FALSE(connection);

  EXPECT_EQ(db::AdoConnExecute(connection, Sql("SELECT 1"), nullptr), db::kEPointer);
  EXPECT_EQ(db::AdoRstOpen(rs, Sql("SELECT 1"), connection, nullptr), db::kEPointer);
  EXPECT_EQ(rs, nullptr);
  EXPECT_EQ(db::AdoConnClose(connection), db::kEPointer);
  EXPECT_EQ(db::AdoConnOpen(connection, nullptr, &error), -1);
  EXPECT_FALSE(connection);
}

INSTANTIATE_TEST_SUITE_P(AllBackends, RunnerTest, testing::ValuesIn(AllBackends()),
                         BackendParamName);

using LockedRunnerTest = BackendTest;

// A statement of its own that the server undoes as a deadlock's victim
// (an invitation row, say) runs again and is stored once.
TEST_P(LockedRunnerTest, DeadlockVictimRunsAgainAndIsStoredOnce) {
  ZELVAR_REQUIRE_DB();
  db_->Exec("CREATE TABLE tblPair (nId INT PRIMARY KEY, nValue INT)");
  db_->Exec("INSERT INTO tblPair (nId, nValue) VALUES (1, 0)");
  db_->Exec("INSERT INTO tblPair (nId, nValue) VALUES (2, 0)");
  db_->Exec("CREATE TABLE tblBulk (nId INT PRIMARY KEY)");
  int result = 1;
  std::u16string module_error;
  std::thread statement;
  // The rival is a transaction of the module's own, which runs again
  // should the server undo it instead.
  std::u16string rival_error;
  const int rival = db::RunTransaction(
      [&](db::Transaction& transaction) {
        // Heavier than the statement, so that MariaDB undoes that one;
        // PostgreSQL undoes the one that waited first, the statement too.
        for (int i = 0; i < 50; ++i) {
          if (transaction.Execute(Sql("INSERT INTO tblBulk (nId) VALUES (%d)",
                                      {SqlValue::Integer(i)}),
                                  nullptr) != 0) {
            return -1;
          }
        }
        transaction.Execute(Sql("UPDATE tblPair SET nValue = nValue + 100 WHERE nId = 2"),
                            nullptr);
        if (!statement.joinable()) {
          statement = std::thread([&] {
            result = ExecuteSql(
                Sql("UPDATE tblPair SET nValue = nValue + 1 WHERE nId IN (1, 2)"), &module_error);
          });
          // The statement now holds row 1 and waits for row 2.
          std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        return transaction.Execute(Sql("UPDATE tblPair SET nValue = nValue + 100 WHERE nId = 1"),
                                   nullptr);
      },
      &rival_error);
  if (statement.joinable()) statement.join();
  EXPECT_EQ(rival, 0) << ToNarrow(rival_error);
  EXPECT_EQ(result, 0) << ToNarrow(module_error);
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblBulk"), 50);
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblPair WHERE nValue = 101"), 2);
}

INSTANTIATE_TEST_SUITE_P(Servers, LockedRunnerTest,
                         testing::Values(Backend::kPostgres, Backend::kMariaDb), BackendParamName);

}  // namespace
}  // namespace zelvar::test
