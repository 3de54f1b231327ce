// QuerySqlBatch on every backend: each query's record set must be the one
// QuerySql gives it on its own, whether the batch runs whole, breaks off at
// a failing query, runs in several rounds, holds queries that can only run
// on their own, or can't open a connection at all.

#include <string>
#include <vector>

#include "backend_fixture.h"
#include "db/current_connection.h"
#include "db/recordset.h"
#include "db/runner.h"
#include "util/text.h"

namespace zelvar::test {
namespace {

using db::RecordsetHandle;
using db::Sql;
using db::SqlValue;

// A record set written out: columns, then every row's fields as text
// ("(null)" for a null), "failed" for an empty handle.
std::string Dump(const RecordsetHandle& recordset, const std::vector<std::string>& columns) {
  if (!recordset) return "failed";
  std::string text;
  while (db::AdoRstIsEOF(recordset) == 0) {
    for (const std::string& column : columns) {
      db::Variant value;
      if (db::AdoRstGetField(recordset, column.c_str(), &value) != 0) {
        text += "?";
      } else if (value.IsNull()) {
        text += "(null)";
      } else {
        std::u16string field;
        value.ToText(&field);
        text += ToNarrow(field);
      }
      text += "|";
    }
    text += "\n";
    if (db::AdoRstMoveNext(recordset) != 0) break;
  }
  return text;
}

const std::vector<std::string> kProfileColumns = {"sNick", "nSex", "sFacePic", "bLogined"};

Sql Profile(int id) {
  return Sql("SELECT sNick, nSex, sFacePic, bLogined FROM tblUser WHERE (nId = %d)",
             {SqlValue::Integer(id)});
}

class QueryBatch : public BackendTest {
 protected:
  void AddUsers(int first, int last) {
    std::string rows;
    for (int id = first; id <= last; ++id) {
      if (!rows.empty()) rows += ", ";
      rows += "(" + std::to_string(id) + ", 'u" + std::to_string(id) + "', 'nick " +
              std::to_string(id) + "', " + std::to_string(id % 2) + ", " +
              (id % 5 == 0 ? std::string("NULL") : "'face" + std::to_string(id) + "'") + ", " +
              (id % 3 == 0 ? "TRUE" : "FALSE") + ", 1)";
    }
    db_->Exec("INSERT INTO tblUser (nId, sUsername, sNick, nSex, sFacePic, bLogined, nLevel) "
              "VALUES " + rows);
  }

  // Runs `queries` as a batch and one by one; every query must come out the
  // same. Returns the dumps of the batch.
  std::vector<std::string> ExpectSameAsOneByOne(const std::vector<Sql>& queries,
                                                const std::vector<std::string>& columns) {
    std::vector<RecordsetHandle> batch;
    db::QuerySqlBatch(queries, &batch);
    EXPECT_EQ(batch.size(), queries.size());
    std::vector<std::string> dumps;
    for (size_t i = 0; i < queries.size() && i < batch.size(); ++i) {
      RecordsetHandle alone;
      if (db::QuerySql(queries[i], alone, nullptr) != 0) alone.reset();
      const std::string expected = Dump(alone, columns);
      dumps.push_back(Dump(batch[i], columns));
      EXPECT_EQ(dumps.back(), expected) << "query " << i;
    }
    return dumps;
  }
};

TEST_P(QueryBatch, EachQueryGetsTheRowsItGetsOnItsOwn) {
  ZELVAR_REQUIRE_DB();
  AddUsers(1, 40);
  std::vector<Sql> queries;
  for (int id : {3, 7, 99, 3, 10, 0}) queries.push_back(Profile(id));  // missing, repeated
  std::vector<std::string> dumps = ExpectSameAsOneByOne(queries, kProfileColumns);
  ASSERT_EQ(dumps.size(), 6u);
  EXPECT_EQ(dumps[0], "nick 3|1|face3|1|\n");
  EXPECT_EQ(dumps[2], "");  // no row, but the query ran
  EXPECT_EQ(dumps[3], dumps[0]);
  EXPECT_EQ(dumps[4], "nick 10|0||0|\n");  // NULL in a variable-length text reads empty

  // Several rows per query, in the order the statement sets.
  std::vector<Sql> ranges;
  for (int low : {1, 20, 35}) {
    ranges.push_back(Sql("SELECT nId, sNick FROM tblUser WHERE (nId >= %d) AND (nId < %d) "
                         "ORDER BY nId DESC",
                         {SqlValue::Integer(low), SqlValue::Integer(low + 4)}));
  }
  dumps = ExpectSameAsOneByOne(ranges, {"nId", "sNick"});
  ASSERT_EQ(dumps.size(), 3u);
  EXPECT_EQ(dumps[2], "38|nick 38|\n37|nick 37|\n36|nick 36|\n35|nick 35|\n");
}

TEST_P(QueryBatch, FailingQueriesAndQueriesWithTextsKeepTheirOwnOutcome) {
  ZELVAR_REQUIRE_DB();
  AddUsers(1, 20);
  std::vector<Sql> queries;
  queries.push_back(Profile(1));
  queries.push_back(Profile(2));
  // Fails on every backend; on a server it breaks the batch off.
  queries.push_back(Sql("SELECT sNick FROM tblNoSuchTable WHERE (nId = %d)",
                        {SqlValue::Integer(1)}));
  queries.push_back(Profile(4));
  // A text value: it runs on its own with the value bound.
  queries.push_back(Sql("SELECT sNick, nSex, sFacePic, bLogined FROM tblUser WHERE "
                        "(sUsername = '%s')",
                        {SqlValue::Text(u"u5' OR '1'='1")}));
  queries.push_back(Sql("SELECT sNick, nSex, sFacePic, bLogined FROM tblUser WHERE "
                        "(sUsername = '%s')",
                        {SqlValue::Text(u"u6")}));
  queries.push_back(Profile(7));
  queries.push_back(Profile(8));
  std::vector<std::string> dumps = ExpectSameAsOneByOne(queries, kProfileColumns);
  ASSERT_EQ(dumps.size(), 8u);
  EXPECT_EQ(dumps[2], "failed");
  EXPECT_EQ(dumps[3], "nick 4|0|face4|0|\n");
  EXPECT_EQ(dumps[4], "");
  EXPECT_EQ(dumps[5], "nick 6|0|face6|1|\n");
  EXPECT_EQ(dumps[7], "nick 8|0|face8|0|\n");

  // The connection that took the failing batch still answers.
  std::vector<Sql> again = {Profile(9), Profile(11)};
  dumps = ExpectSameAsOneByOne(again, kProfileColumns);
  ASSERT_EQ(dumps.size(), 2u);
  EXPECT_EQ(dumps[1], "nick 11|1|face11|0|\n");
}

TEST_P(QueryBatch, BatchLongerThanOneRound) {
  ZELVAR_REQUIRE_DB();
  AddUsers(1, 700);
  std::vector<Sql> queries;
  for (int i = 0; i < 640; ++i) queries.push_back(Profile((i * 37) % 720 + 1));
  const std::vector<std::string> dumps = ExpectSameAsOneByOne(queries, kProfileColumns);
  ASSERT_EQ(dumps.size(), 640u);
  EXPECT_EQ(dumps[639], "nick 604|0|face604|0|\n");  // (639 * 37) % 720 + 1
  for (size_t i = 0; i < dumps.size(); ++i) {
    EXPECT_EQ(dumps[i].empty(), (i * 37) % 720 + 1 > 700) << "query " << i;
  }
}

TEST_P(QueryBatch, UnopenableDatabaseFailsEachQueryAsQuerySqlWould) {
  ZELVAR_REQUIRE_DB();
  const std::string missing = "Provider=SQLite;Data Source=" + dir_.path() + "/missing.db";
  SetConnectionString(missing);
  std::vector<RecordsetHandle> batch;
  db::QuerySqlBatch({Profile(1), Profile(2), Profile(3)}, &batch);
  ASSERT_EQ(batch.size(), 3u);
  for (const RecordsetHandle& recordset : batch) EXPECT_EQ(recordset, nullptr);
  // One record per query, as three QuerySql calls write.
  EXPECT_EQ(ErrorLogRecords(ToNarrow(db::kOpenFailedText)), 3);
}

INSTANTIATE_TEST_SUITE_P(Backends, QueryBatch, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
