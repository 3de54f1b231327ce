// What only the SQLite backend does: files that are not databases, the
// shape of date-time texts stored by other programs, expression columns.

#include <sys/stat.h>

#include <fstream>

#include "db/current_connection.h"
#include "db/recordset.h"
#include "db/runner.h"
#include "support/test_db.h"
#include "util/text.h"

namespace zelvar::test {
namespace {

using db::AdoRstGetField;
using db::QuerySql;
using db::RecordsetHandle;
using db::Sql;
using db::Variant;

TEST(SqliteBackend, FileThatIsNoDatabaseDoesNotOpenAndStaysAsItWas) {
  ScopedTempDir dir;
  const std::string path = dir.path() + "/notes.txt";
  {
    std::ofstream(path) << "just some text, long enough to look like a header of a file";
  }
  const std::string before = dir.ReadFile("notes.txt");
  EXPECT_EQ(db::TestAndSetConnectionString("Provider=SQLite;Data Source=" + path), -1);
  SetConnectionString("Provider=SQLite;Data Source=" + path);
  std::u16string error;
  EXPECT_EQ(db::ExecuteSql(Sql("CREATE TABLE t (a INT)"), &error), -1);
  EXPECT_EQ(error, db::kOpenFailedText);
  EXPECT_EQ(dir.ReadFile("notes.txt"), before);
  // A folder is no database either.
  SetConnectionString("Provider=SQLite;Data Source=" + dir.path());
  EXPECT_EQ(db::ExecuteSql(Sql("SELECT 1"), &error), -1);
  EXPECT_EQ(error, db::kOpenFailedText);
  SetConnectionString(kBuiltInConnectionString);
}

TEST(SqliteBackend, DateTimesComeBackInOneShape) {
  ScopedTempDir dir;
  auto db = TestDatabase::Create(Backend::kSqlite);
  ASSERT_NE(db, nullptr);
  db->Use();
  db->Exec("INSERT INTO tblUserMsg (nUserId, tAddTime) VALUES (1, '2011-05-03T09:05:07')");
  db->Exec("INSERT INTO tblUserMsg (nUserId, tAddTime) VALUES (2, '2011-05-03 09:05:07.123')");
  db->Exec("INSERT INTO tblUserMsg (nUserId, tAddTime) VALUES (3, '2011-05-03T09:05:07.5+08:00')");
  RecordsetHandle rs;
  ASSERT_EQ(QuerySql(Sql("SELECT tAddTime FROM tblUserMsg ORDER BY nUserId"), rs, nullptr), 0);
  for (int row = 0; row < 3; ++row) {
    SCOPED_TRACE(row);
    Variant value;
    ASSERT_EQ(AdoRstGetField(rs, "tAddTime", &value), 0);
    std::u16string text;
    ASSERT_TRUE(value.ToText(&text));
    EXPECT_EQ(text, u"2011-05-03 09:05:07");
    ASSERT_EQ(db::AdoRstMoveNext(rs), 0);
  }
}

TEST(SqliteBackend, ExpressionColumnsTakeTheirValuesType) {
  ScopedTempDir dir;
  auto db = TestDatabase::Create(Backend::kSqlite);
  ASSERT_NE(db, nullptr);
  db->Use();
  db->Exec("INSERT INTO tblUser (sNick, nLevel) VALUES ('a', 3)");
  RecordsetHandle rs;
  ASSERT_EQ(QuerySql(Sql("SELECT COUNT(*) AS nCount, MAX(sNick) AS sTop, MAX(sFacePic) AS sNone "
                         "FROM tblUser"),
                     rs, nullptr),
            0);
  Variant value;
  ASSERT_EQ(AdoRstGetField(rs, "nCount", &value), 0);
  EXPECT_EQ(value, Variant::Integer(1));
  ASSERT_EQ(AdoRstGetField(rs, "sTop", &value), 0);
  EXPECT_EQ(value, Variant::Text(u"a"));
  ASSERT_EQ(AdoRstGetField(rs, "sNone", &value), 0);
  EXPECT_TRUE(value.IsNull());  // no declared type: nothing says it is text
}

TEST(SqliteBackend, TextWithASecondStatementIsRefusedWhole) {
  // Running only the first statement would report the rest as done.
  ScopedTempDir dir;
  auto db = TestDatabase::Create(Backend::kSqlite);
  ASSERT_NE(db, nullptr);
  db->Use();
  std::u16string error;
  EXPECT_EQ(db::ExecuteSql(Sql("INSERT INTO tblUser (sNick) VALUES ('a'); DELETE FROM tblFriend"),
                           &error),
            -1);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(db->QueryInt("SELECT COUNT(*) FROM tblUser"), 0);
  // A trailing semicolon is no second statement.
  EXPECT_EQ(db::ExecuteSql(Sql("INSERT INTO tblUser (sNick) VALUES ('a');  "), nullptr), 0);
  EXPECT_EQ(db->QueryInt("SELECT COUNT(*) FROM tblUser"), 1);
}

}  // namespace
}  // namespace zelvar::test
