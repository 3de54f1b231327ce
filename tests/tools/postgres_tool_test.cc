// The zelvar tool on the database servers (PostgreSQL, MariaDB) through
// ODBC: init creates the tables of an empty database and the demo world,
// once; the commands then answer from it as they do on SQLite, and doctor
// reads the server's catalogue.
#include <set>

#include <gtest/gtest.h>

#include "support/test_db.h"
#include "tool_runner.h"

namespace zelvar::test {
namespace {

using json = nlohmann::json;

class ToolOnServer : public testing::TestWithParam<Backend> {};

TEST_P(ToolOnServer, InitOnceThenRequests) {
  auto db = TestDatabase::Create(GetParam());
  if (!db) return;  // skipped or failed inside Create
  for (const char* table : kToolTables) db->Exec(std::string("DROP TABLE ") + table);
  ScratchFolder folder;
  const std::string& connection = db->connection_string();

  const ToolRun init = RunTool(folder, {"--db", connection, "init", "--demo"});
  ASSERT_EQ(init.status, 0) << init.err;
  EXPECT_NE(init.out.find("Database: " + BackendName(GetParam()) + " through ODBC"),
            std::string::npos)
      << init.out;
  EXPECT_NE(init.out.find("Tables:   created 9"), std::string::npos) << init.out;
  const ToolRun again = RunTool(folder, {"--db", connection, "init", "--demo"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("nothing added"), std::string::npos) << again.out;
  EXPECT_EQ(db->QueryInt("SELECT COUNT(*) FROM tblUser"), 36);

  const int64_t lina = db->QueryInt("SELECT nId FROM tblUser WHERE sUsername = 'lina'");
  const ToolRun friends = RunTool(folder, {"--db", connection, "--json", "friends", "lina"});
  ASSERT_EQ(friends.status, 0) << friends.err;
  std::set<std::string> seen, expected;
  const json friend_list = json::parse(friends.out);
  for (const json& row : friend_list["rows"]) {
    seen.insert(std::to_string(row["id"].get<int>()) + "|" + row["nick"].get<std::string>() + "|" +
                (row["online"].get<bool>() ? "1" : "0"));
  }
  const std::string id = std::to_string(lina);
  for (const auto& row : db->Query("SELECT u.nId, u.sNick, CASE WHEN u.bLogined THEN 1 ELSE 0 END FROM tblUser u JOIN tblFriend f ON "
                                   "(f.nUserId = " + id + " AND u.nId = f.nFriendId) OR (f.nFriendId = " + id +
                                   " AND u.nId = f.nUserId)")) {
    expected.insert(*row[0] + "|" + *row[1] + "|" + *row[2]);
  }
  EXPECT_EQ(seen, expected) << friends.out;
  EXPECT_EQ(seen.size(), 8u);

  ASSERT_EQ(RunTool(folder, {"--db", connection, "message", "mira", "lina", "晚上好 'friend'"}).status, 0);
  const ToolRun inbox = RunTool(folder, {"--db", connection, "--json", "inbox", "lina"});
  ASSERT_EQ(inbox.status, 0) << inbox.err;
  const json rows = json::parse(inbox.out)["rows"];
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.back()["content"], "晚上好 'friend'");
  EXPECT_EQ(db->QueryInt("SELECT COUNT(*) FROM tblUserMsg WHERE nRead = 0 AND nUserId = " + id), 0);

  const ToolRun sent = RunTool(folder, {"--db", connection, "--yes", "send", "lina", "1001:7d:1", "3100:1x:3100"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_NE(sent.out.find("Granted 2 of 2"), std::string::npos) << sent.out;
}

TEST_P(ToolOnServer, LongTextsAndRefusedWritesAreNamed) {
  auto db = TestDatabase::Create(GetParam());
  if (!db) return;
  ScratchFolder folder;
  const std::string& connection = db->connection_string();
  const ToolRun init = RunTool(folder, {"--db", connection, "init", "--demo"});
  ASSERT_EQ(init.status, 0) << init.err;
  // The column holds 4,000 characters: refused before it is sent.
  const ToolRun long_text = RunTool(folder, {"--db", connection, "message", "lina", "mira", std::string(5000, 'x')});
  EXPECT_EQ(long_text.status, 64) << long_text.err;
  EXPECT_NE(long_text.err.find("tblUserMsg.sContent holds at most 4000"), std::string::npos) << long_text.err;

  db->RefuseWrites("tblInviteRecord", "INSERT", "invitations are frozen");
  const ToolRun refused =
      RunTool(folder, {"--db", connection, "invite", "lina", "--code", "P-1", "--email", "p@example.com"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("stored 0 of 1 invitation"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("invitations are frozen"), std::string::npos) << refused.err;
  EXPECT_EQ(db->QueryInt("SELECT COUNT(*) FROM tblInviteRecord WHERE sInviteCode = 'P-1'"), 0);
}

// The catalogue queries of the servers: indexes named in lower case on
// PostgreSQL, inside CREATE TABLE on MariaDB; a revoke in one transaction.
TEST_P(ToolOnServer, DoctorAndRevoke) {
  auto db = TestDatabase::Create(GetParam());
  if (!db) return;  // skipped or failed inside Create
  ScratchFolder folder;
  const std::string& connection = db->connection_string();
  ASSERT_EQ(RunTool(folder, {"--db", connection, "init", "--demo"}).status, 0);

  const ToolRun fresh = RunTool(folder, {"--db", connection, "--json", "doctor"});
  ASSERT_EQ(fresh.status, 0) << fresh.out << fresh.err;
  const json report = json::parse(fresh.out);
  EXPECT_FALSE(report["server_version"].get<std::string>().empty());
  EXPECT_FALSE(report["driver"].get<std::string>().empty());
  EXPECT_EQ(report["row_counts"]["tblUser"], 36);

  db->Exec(GetParam() == Backend::kPostgres ? "DROP INDEX tblUser_sUsername"
                                            : "DROP INDEX tblUser_sUsername ON tblUser");
  const ToolRun broken = RunTool(folder, {"--db", connection, "doctor"});
  EXPECT_EQ(broken.status, 1) << broken.out;
  EXPECT_NE(broken.out.find("missing: tblUser_sUsername"), std::string::npos) << broken.out;

  const int64_t row = db->QueryInt(
      "SELECT g.nId FROM tblUserGoods g JOIN tblUser u ON u.nId = g.nUserId WHERE u.sUsername = 'lina' AND g.nType = 3150");
  const ToolRun revoke = RunTool(folder, {"--db", connection, "--audit", folder.File("audit.jsonl"), "--yes",
                                          "revoke", "lina", std::to_string(row)});
  EXPECT_EQ(revoke.status, 0) << revoke.err;
  EXPECT_EQ(db->QueryInt("SELECT COUNT(*) FROM tblUserGoods WHERE nId = " + std::to_string(row)), 0);
  EXPECT_EQ(db->Query("SELECT sFacePic FROM tblUser WHERE sUsername = 'lina'").at(0).at(0),
            "Face:1;Hair:1;Frame:1;Speak:0,0,0,0,0,0,0,0,0,0;");
}

INSTANTIATE_TEST_SUITE_P(Servers, ToolOnServer,
                         testing::Values(Backend::kPostgres, Backend::kMariaDb), BackendParamName);

}  // namespace
}  // namespace zelvar::test
