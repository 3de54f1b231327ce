// The zelvar tool end to end: each command against a fresh SQLite demo
// database, its output, exit status and JSON checked against the rows of
// the database; bad input refused with one line and nothing changed.
#include <algorithm>
#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "tool_runner.h"

namespace zelvar::test {
namespace {

using json = nlohmann::json;

using ToolTest = DemoToolTest;

TEST_F(ToolTest, InitTwiceDuplicatesNothingAndSaysSo) {
  const std::string before = Dump();
  EXPECT_EQ(QueryText(db_, "SELECT COUNT(*) FROM tblUser"), "36");
  const ToolRun again = Run({"init", "--demo"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("all 9 already there, nothing created"), std::string::npos) << again.out;
  EXPECT_NE(again.out.find("already there (36 players), nothing added"), std::string::npos) << again.out;
  EXPECT_EQ(Dump(), before);
  const json report = RunJson({"init", "--demo"});
  EXPECT_EQ(report["tables_created"], json::array());
  EXPECT_EQ(report["demo"]["added"], false);
}

TEST_F(ToolTest, InitRefusesWhatIsNotItsDatabase) {
  // A file that is not SQLite stays as it was.
  folder_.Write("notes.db", "shopping list: milk, eggs\n");
  const ToolRun text = Run({"--db", "Provider=SQLite;Data Source=notes.db", "init"});
  EXPECT_EQ(text.status, 1);
  EXPECT_NE(text.err.find("not an SQLite database"), std::string::npos) << text.err;
  EXPECT_EQ(folder_.Read("notes.db"), "shopping list: milk, eggs\n");

  // A failed init leaves no new file behind.
  std::filesystem::create_directory(folder_.File("no-schema"));
  const ToolRun no_schema = Run({"--db", "Provider=SQLite;Data Source=new.db", "init", "--schema", folder_.File("no-schema")});
  EXPECT_EQ(no_schema.status, 1);
  EXPECT_NE(no_schema.err.find("cannot read"), std::string::npos) << no_schema.err;
  EXPECT_FALSE(folder_.Exists("new.db"));

  // A database holding only some of the tables is not completed blindly.
  ASSERT_EQ(Run({"--db", "Provider=SQLite;Data Source=part.db", "init"}).status, 0);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(folder_.File("part.db").c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "DROP TABLE tblUserGoods", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  const ToolRun partial = Run({"--db", "Provider=SQLite;Data Source=part.db", "init", "--demo"});
  EXPECT_EQ(partial.status, 1);
  EXPECT_NE(partial.err.find("but not tblUserGoods"), std::string::npos) << partial.err;
  EXPECT_EQ(QueryText(folder_.File("part.db"), "SELECT COUNT(*) FROM tblUser"), "0");
}

TEST_F(ToolTest, FriendsListsWhatTheDatabaseHolds) {
  const std::string lina = Id("lina");
  const json reply = RunJson({"friends", "lina"});
  EXPECT_EQ(reply["kind"], 1610);
  EXPECT_EQ(reply["user"]["id"].get<int>(), std::stoi(lina));

  std::set<std::string> expected, seen;
  for (const auto& row : QueryRows(db_, "SELECT u.nId, u.sNick, u.nSex, u.sFacePic, u.bLogined FROM tblUser u JOIN tblFriend f "
                                        "ON (f.nUserId = " + lina + " AND u.nId = f.nFriendId) OR (f.nFriendId = " + lina +
                                        " AND u.nId = f.nUserId)")) {
    expected.insert(row[0] + "|" + row[1] + "|" + row[2] + "|" + row[3] + "|" + (row[4] == "1" ? "true" : "false"));
  }
  for (const json& row : reply["rows"]) {
    seen.insert(std::to_string(row["id"].get<int>()) + "|" + row["nick"].get<std::string>() + "|" +
                std::to_string(row["sex"].get<int>()) + "|" + row["face"].get<std::string>() + "|" +
                (row["online"].get<bool>() ? "true" : "false"));
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(reply["count"].get<size_t>(), expected.size());
  EXPECT_NEAR(reply["server_time"].get<double>(), static_cast<double>(std::time(nullptr)), 60);

  // The raw entries hold the reply packet's records: key 1 first, then the
  // first friend's id under key -10011.
  EXPECT_EQ(reply["entries"][0], json({{"key", 1}, {"type", "int"}, {"value", 1610}}));
  EXPECT_EQ(reply["entries"][1]["key"], -10011);

  const ToolRun human = Run({"friends", "lina"});
  EXPECT_EQ(human.status, 0);
  EXPECT_NE(human.out.find("Friends of lina (#" + lina + "): " + std::to_string(expected.size())), std::string::npos);
  EXPECT_NE(human.out.find("online"), std::string::npos);
  EXPECT_NE(human.out.find("Mira"), std::string::npos);
}

TEST_F(ToolTest, TradesAndItemsMatchTheirTables) {
  const std::string lina = Id("lina");
  const json trades = RunJson({"trades", lina});
  const auto rows = QueryRows(db_, "SELECT nId, nPlayUserId, nPlayedUserId, nPlayId, tTime FROM tblFriendTradeHistory WHERE nPlayUserId = " +
                                       lina + " OR nPlayedUserId = " + lina + " ORDER BY tTime DESC");
  ASSERT_EQ(trades["rows"].size(), rows.size());
  ASSERT_GT(rows.size(), 0u);
  for (size_t i = 0; i < rows.size(); ++i) {
    const json& t = trades["rows"][i];
    EXPECT_EQ(std::to_string(t["id"].get<int>()), rows[i][0]);
    EXPECT_EQ(std::to_string(t["player"].get<int>()), rows[i][1]);
    EXPECT_EQ(std::to_string(t["played"].get<int>()), rows[i][2]);
    EXPECT_EQ(std::to_string(t["play_id"].get<int>()), rows[i][3]);
    EXPECT_EQ(t["time"].get<long long>(), LocalSeconds(rows[i][4]));
  }

  const json items = RunJson({"items"});
  const auto item_rows = QueryRows(db_, "SELECT nId, sTradeName, sTradeDesc, nPacificate, sTradeImage, nHeadX, nHeadY FROM tblFriendTradeItem");
  ASSERT_EQ(items["rows"].size(), item_rows.size());
  for (size_t i = 0; i < item_rows.size(); ++i) {
    const json& item = items["rows"][i];
    EXPECT_EQ(std::to_string(item["id"].get<int>()), item_rows[i][0]);
    EXPECT_EQ(item["name"], item_rows[i][1]);
    EXPECT_EQ(item["description"], item_rows[i][2]);
    EXPECT_EQ(std::to_string(item["pacificate"].get<int>()), item_rows[i][3]);
    EXPECT_EQ(item["small_image"], "small" + item_rows[i][4]);
    EXPECT_DOUBLE_EQ(item["x"].get<double>(), std::stod(item_rows[i][5]));
    EXPECT_DOUBLE_EQ(item["y"].get<double>(), std::stod(item_rows[i][6]));
  }
  const ToolRun human = Run({"items"});
  EXPECT_NE(human.out.find("Trade item catalogue: " + std::to_string(item_rows.size()) + " items"), std::string::npos);
}

TEST_F(ToolTest, InboxDeliversUnreadMessagesOnce) {
  const std::string lina = Id("lina");
  const auto unread = QueryRows(db_, "SELECT nId, nFromUserId, sContent, tAddTime FROM tblUserMsg WHERE nRead = 0 AND nUserId = " +
                                         lina + " ORDER BY nId");
  ASSERT_GT(unread.size(), 0u);
  const json inbox = RunJson({"inbox", "lina"});
  ASSERT_EQ(inbox["rows"].size(), unread.size());
  for (size_t i = 0; i < unread.size(); ++i) {
    const json& m = inbox["rows"][i];
    EXPECT_EQ(std::to_string(m["id"].get<int>()), unread[i][0]);
    EXPECT_EQ(std::to_string(m["from"].get<int>()), unread[i][1]);
    EXPECT_EQ(m["content"], unread[i][2]);
    EXPECT_EQ(m["time"].get<long long>(), LocalSeconds(unread[i][3]));
  }
  EXPECT_EQ(QueryText(db_, "SELECT COUNT(*) FROM tblUserMsg WHERE nRead = 0 AND nUserId = " + lina), "0");
  const ToolRun again = Run({"inbox", "lina"});
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.out.find("Unread messages of lina (#" + lina + "): 0"), std::string::npos) << again.out;
}

TEST_F(ToolTest, MessageGoesOnlyBetweenFriends) {
  const std::string lina = Id("lina"), mira = Id("mira");
  const std::string text = "It's 8 o'clock — 今晚见";
  const ToolRun sent = Run({"message", "lina", "mira", text});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(QueryText(db_, "SELECT sContent FROM tblUserMsg WHERE nUserId = " + mira + " AND nFromUserId = " + lina +
                               " AND nRead = 0 ORDER BY nId DESC LIMIT 1"),
            text);
  // The friend list says why the module refused.
  ExpectRefused({"message", "lina", "tomas", "hello"}, 1, "are not friends");
  ExpectRefused({"message", "lina", "nobody", "hello"}, 1, "no account with the user name 'nobody'");
}

TEST_F(ToolTest, TradeAndUnfriend) {
  const std::string lina = Id("lina"), mira = Id("mira");
  const ToolRun trade = Run({"trade", "lina", "mira", "77"});
  EXPECT_EQ(trade.status, 0) << trade.err;
  EXPECT_EQ(QueryText(db_, "SELECT nPlayedUserId || ',' || tDuration FROM tblFriendTradeHistory WHERE nPlayUserId = " + lina +
                               " AND nPlayId = 77"),
            mira + ",10");
  ExpectRefused({"trade", "lina", "tomas", "1"}, 1, "are not friends");
  ExpectRefused({"trade", "lina", "mira", "seven"}, 64, "play id 'seven'");

  const std::string between = "((nUserId = " + lina + " AND nFriendId = " + mira + ") OR (nUserId = " + mira +
                              " AND nFriendId = " + lina + "))";
  const std::string trades_between = "((nPlayUserId = " + lina + " AND nPlayedUserId = " + mira + ") OR (nPlayUserId = " +
                                     mira + " AND nPlayedUserId = " + lina + "))";
  ASSERT_EQ(QueryText(db_, "SELECT COUNT(*) FROM tblFriend WHERE " + between), "1");
  const ToolRun unfriend = Run({"--yes", "unfriend", "lina", "mira"});
  EXPECT_EQ(unfriend.status, 0) << unfriend.err;
  EXPECT_NE(unfriend.out.find("ended"), std::string::npos);
  EXPECT_EQ(QueryText(db_, "SELECT COUNT(*) FROM tblFriend WHERE " + between), "0");
  EXPECT_EQ(QueryText(db_, "SELECT COUNT(*) FROM tblFriendTradeHistory WHERE " + trades_between), "0");
  ExpectRefused({"--yes", "unfriend", "lina", "mira"}, 1, "were not friends; nothing was changed");
}

TEST_F(ToolTest, InviteFromOptionsAndFromCsv) {
  const std::string lina = Id("lina");
  const std::string before = QueryText(db_, "SELECT COUNT(*) FROM tblInviteRecord");
  EXPECT_EQ(Run({"invite", "lina", "--code", "L-1", "--email", "a@example.com", "--zone", "4"}).status, 0);
  EXPECT_EQ(QueryText(db_, "SELECT sInvitedEmail || ',' || nZoneId || ',' || sNote FROM tblInviteRecord WHERE sInviteCode = 'L-1'"),
            "a@example.com,4,缺失remark");

  folder_.Write("rows.csv",
                "\xEF\xBB\xBF" "code,email,state,note\r\n"
                "L-2,b@example.com,1,\"friend, from school\"\r\n"
                "\r\n"
                "L-3,c@example.com,,\"she said \"\"hi\"\"\"\r\n");
  const ToolRun csv = Run({"invite", "lina", "--csv", "rows.csv", "--log-sql"});
  EXPECT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(QueryText(db_, "SELECT nState || ',' || sNote FROM tblInviteRecord WHERE sInviteCode = 'L-2' AND nUserid = " + lina),
            "1,friend, from school");
  EXPECT_EQ(QueryText(db_, "SELECT nState || ',' || sNote FROM tblInviteRecord WHERE sInviteCode = 'L-3'"), "0,she said \"hi\"");
  EXPECT_EQ(QueryText(db_, "SELECT COUNT(*) FROM tblInviteRecord"), std::to_string(std::stoi(before) + 3));
  const std::string sql_log = folder_.Read("ZelvarSQL.log");
  EXPECT_NE(sql_log.find("L-2"), std::string::npos);
  EXPECT_NE(sql_log.find("L-3"), std::string::npos);

  folder_.Write("bad.csv", "code,email,state\nL-4,d@example.com,one\n");
  ExpectRefused({"invite", "lina", "--csv", "bad.csv"}, 64, "line 2: 'one' is not a whole number");
  ExpectRefused({"invite", "lina", "--code", "L-5"}, 64, "needs --code and --email");
}

TEST_F(ToolTest, AccountLookup) {
  const json account = RunJson({"account", "lina"});
  EXPECT_EQ(account["result"], 0);
  const auto row = QueryRows(db_, "SELECT nId, sNick, nSex, nLevel FROM tblUser WHERE sUsername = 'lina'").at(0);
  EXPECT_EQ(std::to_string(account["account"]["id"].get<int>()), row[0]);
  EXPECT_EQ(account["account"]["nick"], row[1]);
  EXPECT_EQ(std::to_string(account["account"]["sex"].get<int>()), row[2]);
  EXPECT_EQ(std::to_string(account["account"]["level"].get<int>()), row[3]);
  // The reply's own order: 21, 50, 100, 200, 300, 0.
  std::vector<int> keys;
  for (const json& entry : account["entries"]) keys.push_back(entry["key"]);
  EXPECT_EQ(keys, (std::vector<int>{21, 50, 100, 200, 300, 0}));

  ExpectRefused({"account", "Lina"}, 1, "no account with the user name 'Lina'");
}

TEST_F(ToolTest, SendGrantsGoodsAndRefusesMalformedEntries) {
  const std::string lina = Id("lina");
  const json sent = RunJson({"--yes", "send", "lina", "5005:30天:1:100:2", "3200:6x:3200", "5006:forever:2"});
  EXPECT_EQ(sent["result"], 0);
  EXPECT_EQ(sent["granted"], 3);
  EXPECT_EQ(sent["amount1_sum"], 100);
  EXPECT_EQ(sent["amount2_sum"], 2);
  const long long now = static_cast<long long>(std::time(nullptr));
  const std::string due = QueryText(db_, "SELECT tDueTime FROM tblUserGoods WHERE nUserId = " + lina + " AND nGoodsId = 5005");
  EXPECT_NEAR(static_cast<double>(LocalSeconds(due)), static_cast<double>(now + 30 * 86400), 60) << due;
  EXPECT_EQ(QueryText(db_, "SELECT tDueTime FROM tblUserGoods WHERE nUserId = " + lina + " AND nGoodsId = 5006"),
            "2050-01-01 00:00:00");
  // The quota count lands in the live quota row and in a speak counter.
  EXPECT_EQ(QueryText(db_, "SELECT nBuyDay FROM tblUserGoods WHERE nUserId = " + lina + " AND nType >= 3000 AND nType < 4000"),
            "6");
  EXPECT_NE(QueryText(db_, "SELECT sFacePic FROM tblUser WHERE nId = " + lina).find("Speak:0,2,6,"), std::string::npos);

  ExpectRefused({"send", "lina", "5005:3天:1"}, 64, "the amount '3天'");
  ExpectRefused({"send", "lina", "5005:30天:1", "3100:7d:3100"}, 64, "is quota goods and takes a count");
  ExpectRefused({"send", "lina", "5005:30d:1:-1:0"}, 64, "0 or more");
  ExpectRefused({"send", "lina", "5005:30d"}, 64, "must be GOODS:AMOUNT:TYPE");
  ExpectRefused({"--yes", "send", "nobody", "5005:30d:1"}, 1, "nothing was granted to 'nobody'");
}

TEST_F(ToolTest, BadCommandLinesAndMissingDatabase) {
  ExpectRefused({"frends", "lina"}, 64, "unknown command 'frends'");
  ExpectRefused({"packet", "inspect", "x"}, 64, "unknown command 'inspect'");
  ExpectRefused({"friends"}, 64, "USER is required");
  ExpectRefused({"--db", "Colour=blue", "friends", "lina"}, 64, "is not usable");

  const ToolRun missing = Run({"--db", "Provider=SQLite;Data Source=gone.db", "friends", "lina"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.ErrLines().size(), 1u);
  EXPECT_NE(missing.err.find("no database file 'gone.db'"), std::string::npos) << missing.err;
  EXPECT_FALSE(folder_.Exists("gone.db"));
}

TEST_F(ToolTest, EveryCommandHasHelpWithAnExample) {
  for (const std::vector<std::string>& command :
       std::vector<std::vector<std::string>>{{"init"}, {"friends"}, {"trades"}, {"items"}, {"inbox"}, {"message"},
                                             {"unfriend"}, {"trade"}, {"invite"}, {"account"}, {"send"},
                                             {"packet", "decode"}, {"packet", "encode"}, {"audit"}, {"help"}}) {
    std::vector<std::string> args = command;
    args.push_back("--help");
    const ToolRun help = Run(args);
    EXPECT_EQ(help.status, 0) << command[0];
    std::string path;
    for (const std::string& word : command) path += " " + word;
    EXPECT_NE(help.out.find("Example:\n  zelvar" + path), std::string::npos) << help.out;
  }
}

TEST_F(ToolTest, PacketImagesToJsonAndBack) {
  ASSERT_EQ(Run({"--save-reply", "reply.bin", "friends", "lina"}).status, 0);
  const json decoded = RunJson({"packet", "decode", "reply.bin"});
  const std::string image = folder_.Read("reply.bin");
  EXPECT_EQ(decoded["length"].get<size_t>(), image.size());
  // Key -9999 holds the time of each call, which two calls may see a
  // second apart.
  const auto without_time = [](json entries) {
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [](const json& entry) { return entry["key"] == -9999; }),
                  entries.end());
    return entries;
  };
  EXPECT_EQ(without_time(decoded["entries"]),
            without_time(RunJson({"friends", "lina"})["entries"]));

  folder_.Write("reply.json", decoded.dump());
  const ToolRun encode = Run({"packet", "encode", "reply.json", "-o", "again.bin"});
  EXPECT_EQ(encode.status, 0) << encode.err;
  EXPECT_EQ(folder_.Read("again.bin").substr(12), image.substr(12));  // the capacity may differ

  // A hand-made request, sent to the module as it stands.
  const ToolRun built = Run({"packet", "encode", "-", "-o", "request.bin"},
                            R"([{"key": 1, "type": "int", "value": 1500}, {"key": 1, "type": "short", "value": 9},
                                {"key": 201, "type": "text", "value": "好"}, {"key": -5, "type": "bytes", "value": "00ff"}])");
  ASSERT_EQ(built.status, 0) << built.err;
  const ToolRun human = Run({"packet", "decode", "request.bin"});
  EXPECT_NE(human.out.find("hidden by an earlier record with this key"), std::string::npos) << human.out;
  EXPECT_NE(human.out.find("\"好\""), std::string::npos);
  EXPECT_NE(human.out.find("00ff"), std::string::npos);

  ExpectRefused({"packet", "encode", "-", "-o", "x.bin"}, 64, "is not JSON");
  folder_.Write("wide.json", R"([{"key": 40000, "type": "int", "value": 1}])");
  ExpectRefused({"packet", "encode", "wide.json", "-o", "x.bin"}, 64, "entry 1: the key must be");
  EXPECT_FALSE(folder_.Exists("x.bin"));
}

TEST_F(ToolTest, FilesThatAreNotPacketsAreNamedAsSuch) {
  ASSERT_EQ(Run({"--save-reply", "reply.bin", "account", "lina"}).status, 0);
  const std::string image = folder_.Read("reply.bin");
  struct Case {
    std::string name, bytes, says;
  };
  std::string grown = image + "xx";
  grown[0] = static_cast<char>(grown.size());  // the total length, still below 256
  std::string overrun = image;
  overrun[12] = '\x7f';  // the first record's data length
  std::string counted = image;
  counted[4] = '\x09';  // the record count
  const std::vector<Case> cases = {
      {"short.bin", image.substr(0, 7), "fewer than a packet's 12-byte header"},
      {"cut.bin", image.substr(0, image.size() - 3), "its header gives a length of"},
      {"overrun.bin", overrun, "past the end of the packet"},
      {"counted.bin", counted, "records but only 6 are there"},
      {"grown.bin", grown, "2 bytes follow its last record"},
  };
  for (const Case& c : cases) {
    folder_.Write(c.name, c.bytes);
    ExpectRefused({"packet", "decode", c.name}, 1, "is not a packet: ");
    const ToolRun run = Run({"packet", "decode", c.name});
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.name << ": " << run.err;
  }
  ExpectRefused({"packet", "decode", "absent.bin"}, 64, "cannot read 'absent.bin'");
}

TEST_F(ToolTest, ModuleAndLogOptions) {
  // Another copy of the module is loaded from where --module says.
  std::filesystem::copy_file(ZELVAR_MODULE_PATH, folder_.File("copy.so"));
  const ToolRun copy = Run({"--module", folder_.File("copy.so"), "-v", "account", "lina"});
  EXPECT_EQ(copy.status, 0) << copy.err;
  EXPECT_NE(copy.err.find("zelvar: module " + folder_.File("copy.so")), std::string::npos) << copy.err;
  // -v shows the module's own log line of the lookup.
  EXPECT_NE(copy.err.find("4 == result"), std::string::npos) << copy.err;

  ExpectRefused({"--module", folder_.File("zelvar.db"), "friends", "lina"}, 64, "cannot load the module");

  const ToolRun logged = Run({"--log", "module.log", "account", "lina"});
  EXPECT_EQ(logged.status, 0);
  EXPECT_TRUE(logged.err.empty()) << logged.err;
  EXPECT_NE(folder_.Read("module.log").find("[7000] 4 == result"), std::string::npos) << folder_.Read("module.log");
}

}  // namespace
}  // namespace zelvar::test
