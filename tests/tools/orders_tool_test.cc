// Goods orders in the tool: migrate brings a database from before the order
// table up to the schema (once, whole, audited); send --order grants an
// order once; goods shows the orders. On a fresh SQLite demo database and on
// PostgreSQL and MariaDB.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include "support/test_db.h"
#include "tool_runner.h"

namespace zelvar::test {
namespace {

using json = nlohmann::json;

class OrdersToolTest : public DemoToolTest {
 protected:
  // The file's tables and indexes with their definitions.
  std::string Objects() {
    std::string objects;
    for (const auto& row : QueryRows(db_, "SELECT type, name, sql FROM sqlite_master ORDER BY type, name")) {
      for (const std::string& value : row) objects += value + "|";
      objects += "\n";
    }
    return objects;
  }
  json LastAudit() {
    const std::vector<std::string> lines = AuditLines();
    if (lines.empty()) {
      ADD_FAILURE() << "no audit line";
      return json::object();
    }
    return json::parse(lines.back());
  }
};

TEST_F(OrdersToolTest, MigrateAddsTheMissingTableOnce) {
  const std::string complete = Objects();
  const std::string rows = Dump();
  Exec("DROP TABLE tblGoodsOrder");

  // Before: init refuses, doctor and goods point at migrate, a sending
  // under an order is refused whole.
  const ToolRun init = Run({"init"});
  EXPECT_EQ(init.status, 1);
  EXPECT_NE(init.err.find("but not tblGoodsOrder; add the missing tables with 'zelvar migrate'"), std::string::npos)
      << init.err;
  const ToolRun doctor = Run({"doctor"});
  EXPECT_NE(doctor.out.find("missing: tblGoodsOrder (add them with 'zelvar migrate')"), std::string::npos)
      << doctor.out;
  const ToolRun goods = Run({"goods", "lina"});
  EXPECT_EQ(goods.status, 0) << goods.err;
  EXPECT_NE(goods.out.find("Orders: none shown, the database has no tblGoodsOrder"), std::string::npos) << goods.out;
  EXPECT_EQ(RunJson({"goods", "lina"})["orders"], nullptr);
  ExpectRefused({"--yes", "send", "--order", "A-1", "lina", "5005:30d:1"}, 1, "add it with 'zelvar migrate'");

  const ToolRun dry = Run({"--dry-run", "migrate"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_NE(dry.out.find("Missing:  tblGoodsOrder (index tblGoodsOrder_nUserId)"), std::string::npos) << dry.out;
  EXPECT_EQ(Run({"migrate"}).status, 64);  // no terminal to confirm on
  EXPECT_TRUE(AuditLines().empty());

  const ToolRun migrate = Run({"--yes", "migrate"});
  ASSERT_EQ(migrate.status, 0) << migrate.err;
  EXPECT_NE(migrate.out.find("Created:  tblGoodsOrder (index tblGoodsOrder_nUserId)"), std::string::npos)
      << migrate.out;
  EXPECT_EQ(Objects(), complete);
  EXPECT_EQ(Dump(), rows);
  ASSERT_EQ(AuditLines().size(), 1u);
  EXPECT_EQ(LastAudit()["command"], "migrate");
  EXPECT_EQ(LastAudit()["outcome"], "done");
  EXPECT_EQ(LastAudit()["args"]["tables"], json::array({"tblGoodsOrder"}));

  const json again = RunJson({"--yes", "migrate"});
  EXPECT_EQ(again["tables_created"], json::array());
  EXPECT_EQ(AuditLines().size(), 1u);
  EXPECT_EQ(Run({"doctor"}).status, 0);
}

TEST_F(OrdersToolTest, MigrateRefusesAnEmptyDatabaseAndCreatesAllOrNothing) {
  sqlite3* empty = nullptr;
  ASSERT_EQ(sqlite3_open(folder_.File("empty.db").c_str(), &empty), SQLITE_OK);
  sqlite3_close(empty);
  const ToolRun refused = Run({"--yes", "--db", "empty.db", "migrate"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("none of the tables"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("'zelvar init'"), std::string::npos) << refused.err;
  EXPECT_EQ(QueryText(folder_.File("empty.db"), "SELECT COUNT(*) FROM sqlite_master"), "0");

  // The order table's index name taken: the first missing table, created
  // before it in the same transaction, goes too.
  Exec("DROP TABLE tblInviteRecord; DROP TABLE tblGoodsOrder; CREATE INDEX tblGoodsOrder_nUserId ON tblUser (nLevel)");
  const std::string before = Objects();
  const ToolRun failed = Run({"--yes", "migrate"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("none was created"), std::string::npos) << failed.err;
  EXPECT_EQ(Objects(), before);
  EXPECT_EQ(LastAudit()["outcome"], "failed");
}

TEST_F(OrdersToolTest, OrderIdsAreCheckedBeforeAnythingIsSent) {
  ExpectRefused({"--yes", "send", "--order", "", "lina", "5005:30d:1"}, 64, "the order id is empty");
  ExpectRefused({"--yes", "send", "--order", std::string(65, 'x'), "lina", "5005:30d:1"}, 64,
                "tblGoodsOrder.sOrderId holds at most 64");
  EXPECT_TRUE(AuditLines().empty());
}

// Needs the module's side of orders.
TEST_F(OrdersToolTest, AnOrderSentTwiceIsGrantedOnceAndShownInGoods) {
  const std::string lina = Id("lina");
  const std::vector<std::string> send = {"--yes", "send", "--order", "单-1", "lina", "5005:30天:1:100:2",
                                         "3200:6x:3200"};
  const json first = RunJson(send);
  EXPECT_EQ(first["order_repeated"], false);
  EXPECT_EQ(first["granted"], 2);
  const ToolRun second = Run(send);
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.out.find("Order 单-1 of lina: already granted before, granted again: nothing (2 of 2 entries"),
            std::string::npos)
      << second.out;
  EXPECT_EQ(RunJson(send)["order_repeated"], true);
  EXPECT_EQ(QueryText(db_, "SELECT COUNT(*) FROM tblUserGoods WHERE nGoodsId = 5005 AND nUserId = " + lina), "1");
  // The quota count is counted once in its speak counter.
  EXPECT_NE(QueryText(db_, "SELECT sFacePic FROM tblUser WHERE nId = " + lina).find("Speak:0,2,6,"), std::string::npos);
  EXPECT_EQ(LastAudit()["args"]["order"], "单-1");
  EXPECT_EQ(LastAudit()["rows_changed"], 0);
  ExpectRefused({"--yes", "send", "--order", "单-1", "mira", "5005:30d:1"}, 1, "that the order is this account's");

  const json goods = RunJson({"goods", "lina"});
  ASSERT_EQ(goods["orders"].size(), 2u) << goods.dump();
  EXPECT_EQ(goods["orders"][0]["order_id"], "单-1");
  EXPECT_EQ(goods["orders"][0]["amount"], "30天");
  EXPECT_EQ(goods["orders"][1]["amount1"], 0);
  const ToolRun text = Run({"goods", "lina"});
  EXPECT_NE(text.out.find("Orders: 2 entries"), std::string::npos) << text.out;
  const ToolRun csv = Run({"--csv", "goods", "lina", "--orders"});
  EXPECT_EQ(csv.out.rfind("ORDER,ENTRY,GOODS,TYPE,AMOUNT,A1,A2,ADDED\r\n单-1,0,5005,1,30天,100,2,", 0), 0u) << csv.out;
}

class MigrateOnServer : public testing::TestWithParam<Backend> {};

TEST_P(MigrateOnServer, CreatesTheMissingTableWithItsIndexOnce) {
  auto db = TestDatabase::Create(GetParam());
  if (!db) return;  // skipped or failed inside Create
  ScratchFolder folder;
  const std::string& connection = db->connection_string();
  db->Exec("DROP TABLE tblGoodsOrder");
  const ToolRun migrate = RunTool(folder, {"--db", connection, "--yes", "migrate"});
  ASSERT_EQ(migrate.status, 0) << migrate.err;
  EXPECT_EQ(db->QueryInt("SELECT COUNT(*) FROM tblGoodsOrder"), 0);
  EXPECT_EQ(db->QueryInt(GetParam() == Backend::kPostgres
                             ? "SELECT COUNT(*) FROM pg_indexes WHERE indexname = 'tblgoodsorder_nuserid'"
                             : "SELECT COUNT(*) FROM information_schema.statistics WHERE table_schema = DATABASE() "
                               "AND index_name = 'tblGoodsOrder_nUserId'"),
            1);
  const ToolRun again = RunTool(folder, {"--db", connection, "--yes", "migrate"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("nothing to create"), std::string::npos) << again.out;

  // A view in the order table's way: PostgreSQL takes the migration back
  // whole; on MariaDB, whose CREATE TABLE commits itself, the table created
  // before it stays, and the failure says so.
  const bool mariadb = GetParam() == Backend::kMariaDb;
  db->Exec("DROP TABLE tblGoodsOrder");
  db->Exec("DROP TABLE tblInviteRecord");
  db->Exec("CREATE VIEW tblGoodsOrder AS SELECT 1 AS x");
  const ToolRun blocked = RunTool(folder, {"--db", connection, "--yes", "migrate"});
  EXPECT_EQ(blocked.status, 1);
  EXPECT_NE(blocked.err.find(mariadb ? "created before it: tblInviteRecord" : "none was created"), std::string::npos)
      << blocked.err;
  EXPECT_EQ(db->QueryInt(std::string("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = ") +
                         (mariadb ? "DATABASE()" : "current_schema()") + " AND LOWER(table_name) = 'tblinviterecord'"),
            mariadb ? 1 : 0);
  db->Exec("DROP VIEW tblGoodsOrder");

  for (const char* table : kToolTables) db->Exec(std::string("DROP TABLE IF EXISTS ") + table);
  const ToolRun empty = RunTool(folder, {"--db", connection, "--yes", "migrate"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(empty.err.find("'zelvar init'"), std::string::npos) << empty.err;
}

INSTANTIATE_TEST_SUITE_P(Servers, MigrateOnServer, testing::Values(Backend::kPostgres, Backend::kMariaDb),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
