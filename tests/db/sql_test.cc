// Statement texts with values kept apart, and the same texts for the logs.

#include "db/sql.h"

#include <gtest/gtest.h>

namespace zelvar::db {
namespace {

TEST(Sql, PlacesBecomeParametersWithTheirApostrophes) {
  Sql sql("INSERT INTO t (a,b,c,d) VALUES (%d,'%s','%d', '%s')",
          {SqlValue::Integer(1), SqlValue::Text(u"x"), SqlValue::Integer(2),
           SqlValue::DateTime("2011-05-03 09:05:07")});
  EXPECT_EQ(sql.parameterized(), "INSERT INTO t (a,b,c,d) VALUES (?,?,?, ?)");
  EXPECT_EQ(sql.values().size(), 4u);
  // Statements without values pass unchanged, apostrophes and all.
  EXPECT_EQ(Sql("SELECT 'a' FROM t WHERE x = '%'").parameterized(), "SELECT 'a' FROM t WHERE x = '%'");
  EXPECT_EQ(Sql("SELECT  nId FROM t ").parameterized(), "SELECT  nId FROM t ");
}

TEST(Sql, PercentSignsThatAreNoPlaces) {
  Sql sql("SELECT nId FROM t WHERE s LIKE '%%x%%' AND n = %d", {SqlValue::Integer(3)});
  EXPECT_EQ(sql.parameterized(), "SELECT nId FROM t WHERE s LIKE '%x%' AND n = ?");
  EXPECT_EQ(sql.Text(), u"SELECT nId FROM t WHERE s LIKE '%x%' AND n = 3");
}

TEST(Sql, MissingValuesLeaveTheirPlacesAsWritten) {
  Sql sql("UPDATE t SET a = %d WHERE (b = %d)", {SqlValue::Integer(5)});
  EXPECT_EQ(sql.parameterized(), "UPDATE t SET a = ? WHERE (b = %d)");
  EXPECT_EQ(sql.Text(), u"UPDATE t SET a = 5 WHERE (b = %d)");
  Sql surplus("SELECT a FROM t WHERE b = %d", {SqlValue::Integer(1), SqlValue::Integer(2)});
  EXPECT_EQ(surplus.parameterized(), "SELECT a FROM t WHERE b = ?");
  EXPECT_EQ(surplus.values().size(), 1u);
}

TEST(Sql, TextWritesValuesInWithApostrophesDoubled) {
  Sql sql("INSERT INTO t VALUES (%d, '%s', '%d', '%s')",
          {SqlValue::Integer(-42), SqlValue::Text(u"O'Brien '\u4F60'"), SqlValue::Integer(7),
           SqlValue::DateTime("2050-10-12 19:02:00")});
  EXPECT_EQ(sql.Text(), u"INSERT INTO t VALUES (-42, 'O''Brien ''\u4F60''', '7', '2050-10-12 19:02:00')");
}

}  // namespace
}  // namespace zelvar::db
