// The tool's writes against a fresh SQLite demo database: what they say
// matches the rows they left, a database that refuses a write is heard,
// texts past their columns and large imports are handled before they
// reach the module, and the audit trail names each write.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tool_runner.h"

namespace zelvar::test {
namespace {

class WritesTest : public DemoToolTest {
 protected:
  void SetUp() override {
    DemoToolTest::SetUp();
    lina_ = Value("SELECT nId FROM tblUser WHERE sUsername = 'lina'");
    mira_ = Value("SELECT nId FROM tblUser WHERE sUsername = 'mira'");
  }

  std::string Value(const std::string& sql) { return QueryText(db_, sql); }

  void Refuse(const std::string& event, const std::string& table, const std::string& message,
              const std::string& when = "") {
    Exec("CREATE TRIGGER refuse_" + event + "_" + table + " BEFORE " + event + " ON " + table + " " + when +
         " BEGIN SELECT RAISE(ABORT, '" + message + "'); END");
  }

  // `n` invitation rows with codes PREFIX-1 ... PREFIX-n.
  void WriteCsv(const std::string& name, const std::string& prefix, int n) {
    std::string csv = "code,email,state,group,note,zone,reply\n";
    for (int i = 1; i <= n; ++i) {
      csv += prefix + "-" + std::to_string(i) + ",p" + std::to_string(i) + "@example.com,1,2,row " +
             std::to_string(i) + ",3,0\n";
    }
    folder_.Write(name, csv);
  }
  std::string Invitations(const std::string& prefix) {
    return Value("SELECT COUNT(*) || '/' || COUNT(DISTINCT sInviteCode) FROM tblInviteRecord WHERE nUserid = " + lina_ +
                 " AND sInviteCode LIKE '" + prefix + "-%'");
  }

  std::string lina_, mira_;
};

TEST_F(WritesTest, LargeImportIsStoredWholeInRequestsAndARerunSkipsItsCodes) {
  // One request of these many rows loses those past row 7,209.
  WriteCsv("big.csv", "B", 7500);
  const ToolRun run = Run({"invite", "lina", "--csv", "big.csv"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Stored 7500 of 7500 invitations of lina (#" + lina_ + ") in 25 requests"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(Invitations("B"), "7500/7500");
  EXPECT_EQ(Value("SELECT sInvitedEmail || ',' || sNote FROM tblInviteRecord WHERE sInviteCode = 'B-7499'"),
            "p7499@example.com,row 7499");

  WriteCsv("more.csv", "B", 7502);
  const ToolRun again = Run({"invite", "lina", "--csv", "more.csv"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("Stored 2 of 2 invitations"), std::string::npos) << again.out;
  EXPECT_NE(again.out.find("7500 skipped"), std::string::npos) << again.out;
  EXPECT_EQ(Invitations("B"), "7502/7502");
}

TEST_F(WritesTest, CtrlCEndsAnImportBetweenRequestsWithItsCount) {
  WriteCsv("big.csv", "C", 12000);
  const pid_t pid = StartTool(folder_, {"invite", "lina", "--csv", "big.csv"});
  ASSERT_GT(pid, 0);
  // Once the first request's rows are there, the import is under way.
  for (int i = 0; i < 600 && Value("SELECT COUNT(*) FROM tblInviteRecord WHERE sInviteCode LIKE 'C-%'") < "1"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(kill(pid, SIGINT), 0);
  const ToolRun stopped = FinishTool(folder_, pid);
  ASSERT_EQ(stopped.status, 130) << stopped.out << stopped.err;
  const std::string stored = Value("SELECT COUNT(*) FROM tblInviteRecord WHERE sInviteCode LIKE 'C-%'");
  EXPECT_LT(std::stoi(stored), 12000);
  EXPECT_EQ(std::stoi(stored) % 300, 0) << "a request was cut";
  EXPECT_NE(stopped.err.find("stopped by Ctrl-C: stored " + stored + " of 12000"), std::string::npos) << stopped.err;

  const ToolRun rest = Run({"invite", "lina", "--csv", "big.csv"});
  EXPECT_EQ(rest.status, 0) << rest.err;
  EXPECT_NE(rest.out.find(stored + " skipped"), std::string::npos) << rest.out;
  EXPECT_EQ(Invitations("C"), "12000/12000");
}

TEST_F(WritesTest, WritesTheDatabaseRefusesFailWithItsReason) {
  Refuse("INSERT", "tblInviteRecord", "attempt to write a readonly database");
  Refuse("INSERT", "tblUserMsg", "messages are frozen");
  Refuse("INSERT", "tblFriendTradeHistory", "trades are frozen");
  Refuse("DELETE", "tblFriend", "friendships are frozen");
  const std::string before = TableDump(db_, "tblInviteRecord") + TableDump(db_, "tblUserMsg") +
                             TableDump(db_, "tblFriendTradeHistory") + TableDump(db_, "tblFriend");
  struct Case {
    std::vector<std::string> args;
    std::string says, reason;
  };
  for (const Case& c : std::vector<Case>{
           {{"invite", "lina", "--code", "R-1", "--email", "r@example.com"}, "stored 0 of 1 invitation",
            "attempt to write a readonly database"},
           {{"message", "lina", "mira", "hi"}, "was not stored", "messages are frozen"},
           {{"trade", "lina", "mira", "5"}, "was not recorded", "trades are frozen"},
           {{"--yes", "unfriend", "lina", "mira"}, "was not ended", "friendships are frozen"}}) {
    const ToolRun run = Run(c.args);
    EXPECT_EQ(run.status, 1) << c.args[0] << ": " << run.out;
    ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
  }
  EXPECT_EQ(TableDump(db_, "tblInviteRecord") + TableDump(db_, "tblUserMsg") + TableDump(db_, "tblFriendTradeHistory") +
                TableDump(db_, "tblFriend"),
            before);
  // Each failed write has its audit line, with nothing changed.
  const std::string audit = folder_.Read("audit.jsonl");
  for (const char* command : {"invite", "message", "trade", "unfriend"}) {
    EXPECT_NE(audit.find(std::string("\"command\":\"") + command + "\""), std::string::npos) << audit;
  }
  EXPECT_EQ(audit.find("\"rows_changed\":1"), std::string::npos) << audit;
}

TEST_F(WritesTest, SendSaysInWordsWhatWasNotGranted) {
  Refuse("INSERT", "tblUserGoods", "goods are frozen", "WHEN NEW.nGoodsId = 5005");
  const ToolRun none = Run({"--yes", "send", "lina", "5005:30d:1"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out.find("Granted 0"), std::string::npos) << none.out;
  EXPECT_NE(none.err.find("nothing was granted to 'lina': goods are frozen"), std::string::npos) << none.err;
  EXPECT_EQ(none.err.find("stay granted"), std::string::npos) << none.err;

  const ToolRun some = Run({"--yes", "send", "lina", "5005:30d:1", "5006:7d:1", "5007:7d:1"});
  EXPECT_EQ(some.status, 1);
  EXPECT_NE(some.err.find("2 of 3 entries were granted to 'lina'; 1 was not"), std::string::npos) << some.err;
  EXPECT_EQ(Value("SELECT COUNT(*) FROM tblUserGoods WHERE nUserId = " + lina_ + " AND nGoodsId IN (5005, 5006, 5007)"),
            "2");
}

TEST_F(WritesTest, TextsPastTheirColumnsOrPacketsAreRefusedUnsent) {
  const std::string before = TableDump(db_, "tblUserMsg") + TableDump(db_, "tblInviteRecord");
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  for (const Case& c : std::vector<Case>{
           {{"message", "lina", "mira", std::string(70000, 'x')}, "tblUserMsg.sContent holds at most 4000"},
           // 4,000 characters of three bytes each fit; one more does not.
           {{"message", "lina", "mira", [] { std::string s; for (int i = 0; i < 4001; ++i) s += "好"; return s; }()},
            "is 4001 characters long"},
           {{"invite", "lina", "--code", std::string(257, 'c'), "--email", "e@example.com"}, "invitation code"},
           {{"invite", "lina", "--code", "N-1", "--email", "e@example.com", "--note", std::string(1025, 'n')},
            "tblInviteRecord.sNote holds at most 1024"},
           {{"--yes", "send", std::string(65536, 'a'), "5005:30d:1"}, "a packet text holds at most 65535"}}) {
    const ToolRun run = Run(c.args);
    EXPECT_EQ(run.status, 64) << c.says;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err.substr(0, 300);
  }
  EXPECT_EQ(TableDump(db_, "tblUserMsg") + TableDump(db_, "tblInviteRecord"), before);
  std::string longest;
  for (int i = 0; i < 4000; ++i) longest += "好";
  EXPECT_EQ(Run({"message", "lina", "mira", longest}).status, 0);
  EXPECT_EQ(Value("SELECT length(sContent) FROM tblUserMsg ORDER BY nId DESC LIMIT 1"), "4000");
}

TEST_F(WritesTest, UnknownUserIdsAreErrors) {
  for (const char* command : {"friends", "trades", "inbox"}) {
    const ToolRun run = Run({command, "9999"});
    EXPECT_EQ(run.status, 1) << command << ": " << run.out;
    EXPECT_NE(run.err.find("there is no user with the id 9999"), std::string::npos) << run.err;
  }
  EXPECT_EQ(Run({"friends", lina_}).status, 0);
}

TEST_F(WritesTest, PacketImagesOnlyWhereThereIsAPacket) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--save-request", "x.bin", "friends", "lina"},
           {"--save-request", "x.bin", "init"},
           {"--save-reply", "x.bin", "message", "lina", "mira", "hi"},
           {"--save-reply", "x.bin", "packet", "decode", "y.bin"}}) {
    const ToolRun run = Run(args);
    EXPECT_EQ(run.status, 64) << args[2];
    EXPECT_NE(run.err.find("packet to save"), std::string::npos) << run.err;
    EXPECT_FALSE(folder_.Exists("x.bin"));
  }
  EXPECT_EQ(Value("SELECT COUNT(*) FROM tblUserMsg WHERE sContent = 'hi'"), "0");
}

TEST_F(WritesTest, SendAndUnfriendAskFirstAndDryRunsChangeNothing) {
  const std::string goods = TableDump(db_, "tblUserGoods"), friends = TableDump(db_, "tblFriend");
  const ToolRun unasked = Run({"send", "lina", "5005:30d:1"});
  EXPECT_EQ(unasked.status, 64);
  EXPECT_NE(unasked.err.find("add --yes"), std::string::npos) << unasked.err;
  EXPECT_EQ(Run({"unfriend", "lina", "mira"}).status, 64);

  const ToolRun dry_send = Run({"--dry-run", "send", "lina", "5005:30d:1"});
  EXPECT_EQ(dry_send.status, 0) << dry_send.err;
  EXPECT_NE(dry_send.out.find("Would grant 1 entry to lina"), std::string::npos) << dry_send.out;
  const std::string trades = Value("SELECT COUNT(*) FROM tblFriendTradeHistory WHERE (nPlayUserId = " + lina_ +
                                   " AND nPlayedUserId = " + mira_ + ") OR (nPlayUserId = " + mira_ +
                                   " AND nPlayedUserId = " + lina_ + ")");
  const ToolRun dry_unfriend = Run({"--dry-run", "unfriend", "lina", "mira"});
  EXPECT_EQ(dry_unfriend.status, 0) << dry_unfriend.err;
  EXPECT_NE(dry_unfriend.out.find("delete the " + trades + " trade"), std::string::npos) << dry_unfriend.out;
  // The other writes take --dry-run too.
  WriteCsv("one.csv", "D", 1);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--dry-run", "message", "lina", "mira", "dry"},
           {"--dry-run", "trade", "lina", "mira", "4242"},
           {"--dry-run", "invite", "lina", "--csv", "one.csv"}}) {
    const ToolRun run = Run(args);
    EXPECT_EQ(run.status, 0) << args[1] << ": " << run.err;
    EXPECT_NE(run.out.find("Would "), std::string::npos) << run.out;
  }
  EXPECT_EQ(Value("SELECT (SELECT COUNT(*) FROM tblUserMsg WHERE sContent = 'dry') + (SELECT COUNT(*) FROM "
                  "tblFriendTradeHistory WHERE nPlayId = 4242) + (SELECT COUNT(*) FROM tblInviteRecord WHERE "
                  "sInviteCode = 'D-1')"),
            "0");
  EXPECT_EQ(TableDump(db_, "tblUserGoods"), goods);
  EXPECT_EQ(TableDump(db_, "tblFriend"), friends);
  EXPECT_FALSE(folder_.Exists("audit.jsonl"));
}

TEST_F(WritesTest, EveryWriteLeavesAnAuditLineWithItsRows) {
  WriteCsv("three.csv", "A", 3);
  ASSERT_EQ(Run({"message", "lina", "mira", "hi"}).status, 0);
  ASSERT_EQ(Run({"trade", "lina", "mira", "9"}).status, 0);
  ASSERT_EQ(Run({"invite", "lina", "--csv", "three.csv"}).status, 0);
  ASSERT_EQ(Run({"--yes", "send", "lina", "5005:30d:1"}).status, 0);
  ASSERT_EQ(Run({"--yes", "unfriend", "lina", "mira"}).status, 0);
  std::vector<std::string> seen;
  std::istringstream lines(folder_.Read("audit.jsonl"));
  for (std::string line; std::getline(lines, line);) {
    const auto record = nlohmann::json::parse(line);
    seen.push_back(record["command"].get<std::string>() + " " + record["outcome"].get<std::string>() + " " +
                   std::to_string(record["rows_changed"].get<int>()));
  }
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0], "message done 1");
  EXPECT_EQ(seen[1], "trade done 1");
  EXPECT_EQ(seen[2], "invite done 3");
  EXPECT_EQ(seen[3], "send done 1");
  EXPECT_EQ(seen[4].substr(0, 14), "unfriend done ");
  EXPECT_GE(std::stoi(seen[4].substr(14)), 2);  // the friendship and at least the trade above

  // A write whose audit line can't be kept does not run.
  const ToolRun blind = Run({"--audit", folder_.File("zelvar.db") + "/audit.jsonl", "message", "mira", "lina", "yo"});
  EXPECT_EQ(blind.status, 1);
  EXPECT_NE(blind.err.find("cannot write the audit file"), std::string::npos) << blind.err;
  EXPECT_EQ(Value("SELECT COUNT(*) FROM tblUserMsg WHERE sContent = 'yo'"), "0");
}

}  // namespace
}  // namespace zelvar::test
