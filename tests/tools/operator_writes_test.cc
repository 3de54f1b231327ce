// The operator's commands end to end on a fresh SQLite demo database:
// doctor's checks and exit status; revoke and expire shown, confirmed,
// done whole or not at all, and audited.
#include <gtest/gtest.h>

#include "tool_runner.h"
#include "tools/zelvar/ops/doctor.h"

namespace zelvar::test {
namespace {

using json = nlohmann::json;

class OperatorTest : public DemoToolTest {
 protected:
  std::string Goods() { return TableDump(db_, "tblUserGoods") + TableDump(db_, "tblUser"); }

  // Refused with `status` and one stderr line saying `says`; no row and no
  // audit line changed.
  void ExpectRefused(const std::vector<std::string>& args, int status, const std::string& says) {
    const size_t audited = AuditLines().size();
    DemoToolTest::ExpectRefused(args, status, says);
    EXPECT_EQ(AuditLines().size(), audited);
  }
};

TEST_F(OperatorTest, DoctorNamesWhatIsMissingAndTheErrorLog) {
  const ToolRun fresh = Run({"doctor"});
  EXPECT_EQ(fresh.status, 0) << fresh.out << fresh.err;
  EXPECT_NE(fresh.out.find("All well."), std::string::npos) << fresh.out;
  EXPECT_NE(fresh.out.find("tblUser "), std::string::npos) << fresh.out;

  // An error-log record is a warning, not a problem.
  std::string record = "2026-12-01 10:00:00";
  record += '\0';
  record += std::string("数据库没能打开") + '\0' + "\n" + '\0';
  folder_.Write("ZelvarError.log", record);
  const ToolRun logged = Run({"--json", "doctor"});
  EXPECT_EQ(logged.status, 0) << logged.err;
  const json report = json::parse(logged.out);
  EXPECT_EQ(report["error_log"], json::parse(R"([{"time": "2026-12-01 10:00:00", "message": "数据库没能打开"}])"));
  EXPECT_EQ(report["row_counts"]["tblUser"], 36);

  Exec("DROP INDEX tblUserGoods_nUserId_nGoodsId; DROP TABLE tblUserMsg; ALTER TABLE tblInviteRecord RENAME COLUMN sNote TO sRemark");
  const ToolRun broken = Run({"doctor"});
  EXPECT_EQ(broken.status, 1) << broken.out;
  EXPECT_NE(broken.out.find("missing: tblUserMsg"), std::string::npos) << broken.out;
  EXPECT_NE(broken.out.find("missing: tblUserGoods_nUserId_nGoodsId"), std::string::npos) << broken.out;
  EXPECT_NE(broken.out.find("tblInviteRecord.sNote"), std::string::npos) << broken.out;

  EXPECT_EQ(Run({"--db", "Provider=SQLite;Data Source=none.db", "doctor"}).status, 2);
}

TEST(DoctorPooler, NamedStatementsAreUnsafeBehindATransactionModePooler) {
  const std::string server = "Driver={PostgreSQL Unicode};Server=db;Database=game;Uid=z;Pwd=p;";
  EXPECT_EQ(ops::PoolerCheck(server + "Port=6432").level, ops::CheckLevel::kOk);
  EXPECT_EQ(ops::PoolerCheck(server + "Port=5432;Named Statements=yes").level, ops::CheckLevel::kWarning);
  EXPECT_EQ(ops::PoolerCheck(server + "Port=6432;Named Statements=yes").level, ops::CheckLevel::kProblem);
}

TEST_F(OperatorTest, RevokeOfAQuotaRowTakesItsCountBack) {
  // lina's quota row 3 holds 2 of type 3150 (counter 2); the entry stands
  // between other parts of the face text, which stay as they are.
  ASSERT_EQ(QueryText(db_, "SELECT nType || ':' || nBuyDay || ':' || nUserId FROM tblUserGoods WHERE nId = 3"), "3150:2:1");
  Exec("UPDATE tblUser SET sFacePic = 'Face:1;Speak:4,3,0,0,0,0,0,0,0,0;Hair:1;' WHERE nId = 1");

  const ToolRun dry = Run({"revoke", "lina", "3", "--dry-run"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_NE(dry.out.find("speak 2: 3 -> 1"), std::string::npos) << dry.out;
  ExpectRefused({"revoke", "lina", "3"}, 64, "no terminal");  // nothing changed by the dry run either
  EXPECT_TRUE(AuditLines().empty());

  const ToolRun done = Run({"revoke", "lina", "3", "1", "--yes"});
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(QueryText(db_, "SELECT COUNT(*) FROM tblUserGoods WHERE nId IN (1, 3)"), "0");
  EXPECT_EQ(QueryText(db_, "SELECT sFacePic FROM tblUser WHERE nId = 1"), "Face:1;Speak:4,1,0,0,0,0,0,0,0,0;Hair:1;");
  ASSERT_EQ(AuditLines().size(), 1u);
  const json audit = json::parse(AuditLines()[0]);
  EXPECT_EQ(audit["command"], "revoke");
  EXPECT_EQ(audit["outcome"], "done");
  EXPECT_EQ(audit["rows_changed"], 3);  // two goods rows and the player's row

  // A counter never goes below 0.
  Exec("UPDATE tblUser SET sFacePic = 'Speak:1,0,0,0,0,0,0,0,0,0;' WHERE nId = 5; UPDATE tblUserGoods SET nBuyDay = 6 WHERE nId = 7");
  EXPECT_EQ(Run({"revoke", "yue", "7", "--yes"}).status, 0);
  EXPECT_EQ(QueryText(db_, "SELECT sFacePic FROM tblUser WHERE nId = 5"), "Speak:0,0,0,0,0,0,0,0,0,0;");
}

TEST_F(OperatorTest, ChangesAreRefusedWholeForRowsOfOthersOrOfTheWrongKind) {
  // Row 4 is mira's: with lina's own row 1 beside it, neither goes.
  ExpectRefused({"revoke", "lina", "1", "4", "--yes"}, 1, "goods row 4 belongs to user 2");
  ExpectRefused({"revoke", "lina", "999", "--yes"}, 1, "there is no goods row 999");
  ExpectRefused({"revoke", "lina", "x1", "--yes"}, 64, "not a positive whole number");
  ExpectRefused({"expire", "lina", "3", "--yes"}, 1, "quota row");
  ExpectRefused({"expire", "lina", "1", "--at", "2026-02-30 10:00", "--yes"}, 64, "--at");
  ExpectRefused({"expire", "lina", "1", "--at", "2099-01-01 00:00", "--yes"}, 1, "only brings an end forward");

  // A failure inside the transaction takes the goods row's removal back.
  Exec("CREATE TRIGGER no_face BEFORE UPDATE ON tblUser BEGIN SELECT RAISE(ABORT, 'face locked'); END");
  const std::string before = Goods();
  const ToolRun failed = Run({"revoke", "lina", "3", "--yes"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("face locked"), std::string::npos) << failed.err;
  EXPECT_EQ(Goods(), before);
  ASSERT_EQ(AuditLines().size(), 1u);
  EXPECT_EQ(json::parse(AuditLines()[0])["outcome"], "failed");
  EXPECT_EQ(json::parse(AuditLines()[0])["rows_changed"], 0);
}

TEST_F(OperatorTest, ExpireEndsTheGrantAndKeepsTheRow) {
  const ToolRun run = Run({"--json", "expire", "mira", "5", "--at", "2026-12-20 08:30", "--yes"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(json::parse(run.out)["rows_changed"], 1);
  EXPECT_EQ(QueryText(db_, "SELECT tDueTime FROM tblUserGoods WHERE nId = 5"), "2026-12-20 08:30:00");
  const json audit = json::parse(AuditLines().at(0));
  EXPECT_EQ(audit["command"], "expire");
  EXPECT_EQ(audit["args"]["at"], "2026-12-20 08:30:00");
}

}  // namespace
}  // namespace zelvar::test
