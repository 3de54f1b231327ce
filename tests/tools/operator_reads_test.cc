// The read-side commands for support staff (users, account by id, goods,
// inbox --peek, invitations) and tables as CSV, against a fresh SQLite demo
// database per test: what they show matches the tables, and reading
// changes nothing.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include "support/test_db.h"
#include "tool_runner.h"

namespace zelvar::test {
namespace {

using json = nlohmann::json;

class OperatorReads : public DemoToolTest {
 protected:
  static std::vector<std::string> UserNames(const json& found) {
    std::vector<std::string> names;
    for (const json& row : found["rows"]) names.push_back(row["user_name"]);
    return names;
  }
};

TEST_F(OperatorReads, UsersMatchAnyCaseAndPartsExactFirst) {
  using Names = std::vector<std::string>;
  // Inserted after joanna, so only the exact-first order puts Ann first.
  Exec("INSERT INTO tblUser (sUsername, sNick, nSex, nLevel, bLogined) VALUES ('joanna', 'Jo', 0, 3, 0), "
       "('Ann', 'Annie', 0, 5, 1), ('a_b', 'x', 1, 1, 0), ('axb', 'y', 1, 1, 0)");
  EXPECT_EQ(UserNames(RunJson({"users", "ANN"})), Names({"Ann", "joanna"}));
  EXPECT_EQ(UserNames(RunJson({"users", "ann", "--limit", "1"})), Names({"Ann"}));
  EXPECT_EQ(UserNames(RunJson({"users", "LIN"})), Names({"lina"}));
  EXPECT_EQ(UserNames(RunJson({"users", "琳"})), Names({"lina"}));     // a part of a Chinese nick
  EXPECT_EQ(UserNames(RunJson({"users", "a_b"})), Names({"a_b"}));     // _ is no wildcard
  EXPECT_EQ(UserNames(RunJson({"users", "%"})), Names());
  const json by_id = RunJson({"users", Id("mira")});
  ASSERT_FALSE(by_id["rows"].empty());
  EXPECT_EQ(by_id["rows"][0]["user_name"], "mira");
  EXPECT_EQ(by_id["rows"][0]["exact"], true);
  const json ann = RunJson({"users", "annie"})["rows"][0];
  EXPECT_EQ(ann["nick"], "Annie");
  EXPECT_EQ(ann["level"], 5);
  EXPECT_EQ(ann["online"], true);
  const ToolRun none = Run({"users", "nobody-at-all"});
  EXPECT_EQ(none.status, 0);
  EXPECT_NE(none.out.find("(no account matches)"), std::string::npos) << none.out;
}

TEST_F(OperatorReads, AccountTakesAnIdAndSuggestsCloseNames) {
  const json mira = RunJson({"account", Id("mira")});
  EXPECT_EQ(mira["account"]["user_name"], "mira");
  EXPECT_EQ(mira["account"]["nick"], "Mira");
  EXPECT_EQ(Run({"--save-reply", "reply.bin", "account", Id("mira")}).status, 64);
  EXPECT_EQ(Run({"--save-reply", "reply.bin", "inbox", "lina", "--peek"}).status, 64);
  EXPECT_FALSE(folder_.Exists("reply.bin"));
  const ToolRun missing = Run({"account", "99999"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("no account with the id 99999"), std::string::npos) << missing.err;
  for (const char* typo : {"lnia", "Lina", "linaa"}) {
    const ToolRun run = Run({"account", typo});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.ErrLines().size(), 1u) << run.err;
    EXPECT_NE(run.err.find("did you mean: lina"), std::string::npos) << typo << ": " << run.err;
  }
  const ToolRun far = Run({"account", "zzzzzz"});
  EXPECT_EQ(far.err.find("did you mean"), std::string::npos) << far.err;
}

TEST_F(OperatorReads, GoodsShowStatesBuyDaysAndTheModulesSpeakCounters) {
  const json lina = RunJson({"goods", "lina"});
  const auto rows = QueryRows(db_, "SELECT nId, nGoodsId, nType, tDueTime FROM tblUserGoods WHERE nUserId = " +
                                       Id("lina") + " ORDER BY nId");
  ASSERT_EQ(lina["rows"].size(), rows.size());
  std::map<int, std::string> states;
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(std::to_string(lina["rows"][i]["id"].get<long long>()), rows[i][0]);
    EXPECT_EQ(lina["rows"][i]["due_time"], rows[i][3]);
    states[lina["rows"][i]["goods_id"]] = lina["rows"][i]["state"];
  }
  EXPECT_EQ(states, (std::map<int, std::string>{{1001, "owned"}, {2002, "permanent"}, {3150, "permanent"}}));
  EXPECT_EQ(lina["rows"][2]["kind"], "quota");
  EXPECT_EQ(lina["rows"][2]["buy_day"], 2);
  EXPECT_EQ(RunJson({"goods", "kai"})["rows"][0]["state"], "expired");
  EXPECT_EQ(lina["speak"]["counters"][1], (json{{"counter", 2}, {"goods_type", 3150}, {"count", 2}}));

  // After a quota grant the counters read as the module wrote them.
  ASSERT_EQ(Run({"--yes", "send", "lina", "3210:6x:3210"}).status, 0);
  const json after = RunJson({"goods", "lina"})["speak"]["counters"];
  EXPECT_EQ(after[6]["goods_type"], 3210);
  EXPECT_EQ(after[6]["count"], 6);
  EXPECT_EQ(after[1]["count"], 2);
  const ToolRun text = Run({"goods", "lina"});
  EXPECT_NE(text.out.find("3150:2  3200:0  3250:0  3251:0  3252:0  3210:6"), std::string::npos) << text.out;
  ASSERT_EQ(Run({"goods", "nobody"}).status, 1);
}

TEST_F(OperatorReads, InboxPeekMarksNothingReadAndPlainInboxSaysItDoes) {
  const std::string lina = Id("lina");
  const std::string unread_sql = "SELECT nId FROM tblUserMsg WHERE nRead = 0 AND nUserId = " + lina + " ORDER BY nId";
  const auto unread = QueryRows(db_, unread_sql);
  ASSERT_EQ(unread.size(), 4u);
  const json peek = RunJson({"inbox", "lina", "--peek"});
  EXPECT_EQ(QueryRows(db_, unread_sql), unread);
  ASSERT_EQ(peek["unread"].size(), unread.size());
  for (size_t i = 0; i < unread.size(); ++i) EXPECT_EQ(std::to_string(peek["unread"][i]["id"].get<int>()), unread[i][0]);
  EXPECT_EQ(peek["read"].size(), 2u);
  EXPECT_EQ(peek["unread"][0]["from_name"], "mira");
  const json one = RunJson({"inbox", "lina", "--peek", "--limit", "1"});
  EXPECT_EQ(one["unread_total"], 4);
  EXPECT_EQ(one["unread"].size(), 1u);
  EXPECT_EQ(one["read"].size(), 1u);
  // The newest read message first, by its time.
  EXPECT_EQ(one["read"][0]["content"], "上周的交易谢啦");
  EXPECT_EQ(QueryRows(db_, unread_sql), unread);

  EXPECT_NE(Run({"inbox", "--help"}).out.find("MARKS THEM READ"), std::string::npos);
  const ToolRun delivered = Run({"inbox", "lina"});
  EXPECT_NE(delivered.out.find("now marked read"), std::string::npos) << delivered.out;
  EXPECT_TRUE(QueryRows(db_, unread_sql).empty());
  EXPECT_EQ(Run({"inbox", "lina", "--limit", "3"}).status, 64);
}

TEST_F(OperatorReads, InvitationsListTheUsersRecords) {
  const json found = RunJson({"invitations", "lina"});
  const auto rows = QueryRows(db_, "SELECT nId, sInviteCode, sInvitedEmail, sNote, nZoneId FROM tblInviteRecord "
                                   "WHERE nUserid = " + Id("lina") + " ORDER BY nId");
  ASSERT_EQ(found["rows"].size(), rows.size());
  ASSERT_EQ(rows.size(), 2u);
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(found["rows"][i]["code"], rows[i][1]);
    EXPECT_EQ(found["rows"][i]["email"], rows[i][2]);
    EXPECT_EQ(found["rows"][i]["note"], rows[i][3]);
    EXPECT_EQ(std::to_string(found["rows"][i]["zone"].get<int>()), rows[i][4]);
  }
  EXPECT_EQ(RunJson({"invitations", "mira"})["rows"].size(), 0u);
  EXPECT_EQ(Run({"invitations", "nobody"}).status, 1);
}

TEST_F(OperatorReads, TablesPrintAsCsvWithQuoting) {
  Exec("UPDATE tblInviteRecord SET sNote = 'he said \"hi\", then' || char(10) || 'left' WHERE sInviteCode = 'LINA-K8PX'");
  const ToolRun csv = Run({"--csv", "invitations", "lina"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out.rfind("ID,CODE,E-MAIL,STATE,GROUP,NOTE,ZONE,REPLY,WHEN\r\n", 0), 0u) << csv.out;
  EXPECT_NE(csv.out.find(",LINA-K8PX,sam@example.org,0,1,\"he said \"\"hi\"\", then\nleft\",3,0,"), std::string::npos)
      << csv.out;
  const ToolRun friends = Run({"--csv", "friends", "lina"});
  EXPECT_EQ(friends.out.rfind("#,ID,NICK,SEX,STATUS,FACE\r\n", 0), 0u) << friends.out;
  EXPECT_EQ(std::count(friends.out.begin(), friends.out.end(), '\n'), 9);  // titles and 8 friends
  Exec("INSERT INTO tblUser (sUsername, sNick, nSex, nLevel, bLogined) VALUES ('solo', 'Solo', 1, 1, 0)");
  const ToolRun empty = Run({"--csv", "trades", "solo"});
  EXPECT_EQ(empty.out, "ID,WHEN,RECORDED BY,WITH,PLAY\r\n");
  const ToolRun both = Run({"--json", "--csv", "users", "lina"});
  EXPECT_EQ(both.status, 64);
  EXPECT_NE(both.err.find("--json and --csv"), std::string::npos);
}

TEST_F(OperatorReads, NewCommandsHaveHelpWithAnExample) {
  for (const char* command : {"users", "goods", "invitations"}) {
    const ToolRun help = Run({command, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find(std::string("Example:\n  zelvar ") + command), std::string::npos) << help.out;
  }
}

// On the servers the search must fold case and match parts as SQLite does,
// although their LIKE compares case-sensitively.
class OperatorReadsOnServer : public testing::TestWithParam<Backend> {};

TEST_P(OperatorReadsOnServer, SearchGoodsAndPeek) {
  auto db = TestDatabase::Create(GetParam());
  if (!db) return;  // skipped or failed inside Create
  for (const char* table : kToolTables) db->Exec(std::string("DROP TABLE ") + table);
  ScratchFolder folder;
  const std::string& connection = db->connection_string();
  ASSERT_EQ(RunTool(folder, {"--db", connection, "init", "--demo"}).status, 0);
  auto run_json = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--db", connection});
    return RunToolJson(folder, args);
  };
  for (const char* search : {"LIN", "琳", "lina"}) {
    const json found = run_json({"users", search});
    ASSERT_EQ(found["rows"].size(), 1u) << search << found.dump();
    EXPECT_EQ(found["rows"][0]["user_name"], "lina");
  }
  EXPECT_EQ(run_json({"users", "%"})["rows"].size(), 0u);
  const json goods = run_json({"goods", "lina"});
  ASSERT_EQ(goods["rows"].size(), 3u);
  EXPECT_EQ(goods["rows"][1]["state"], "permanent");
  EXPECT_EQ(goods["speak"]["counters"][1]["count"], 2);
  const json peek = run_json({"inbox", "lina", "--peek", "--limit", "2"});
  EXPECT_EQ(peek["unread_total"], 4);
  EXPECT_EQ(db->QueryInt("SELECT COUNT(*) FROM tblUserMsg WHERE nRead = 0"), 17);
  EXPECT_EQ(run_json({"invitations", "lina"})["rows"].size(), 2u);
  const ToolRun typo = RunTool(folder, {"--db", connection, "account", "lnia"});
  EXPECT_NE(typo.err.find("did you mean: lina"), std::string::npos) << typo.err;
}

INSTANTIATE_TEST_SUITE_P(Servers, OperatorReadsOnServer, testing::Values(Backend::kPostgres, Backend::kMariaDb),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
