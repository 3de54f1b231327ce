// GetQueryExtraDataFriendRecord through the export: the frame of every
// call, the account lookup, the goods sending, their replies and log lines.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/current_connection.h"
#include "goods/goods_fixture.h"

namespace zelvar::test {
namespace {

constexpr int kActingUser = 7;

class RecordRequest : public GoodsTest {};

TEST_P(RecordRequest, ParamLengthBelowOneAnswersMinusOneAndTouchesNothing) {
  for (int length : {0, -5}) {
    log_.Clear();
    char byte = 0;
    char* reply = reinterpret_cast<char*>(0x1);
    int reply_length = 77;
    EXPECT_EQ(-1, GetQueryExtraDataFriendRecord(kActingUser, 1660, &byte, length, &reply,
                                                &reply_length));
    EXPECT_EQ(reinterpret_cast<char*>(0x1), reply);
    EXPECT_EQ(77, reply_length);
    EXPECT_EQ(std::vector<std::string>{"Enter Error nParamLen：" + std::to_string(length)},
              log_.Lines());
    EXPECT_EQ(std::vector<int>{7000}, log_.Levels());
  }
}

TEST_P(RecordRequest, UnknownCodesGetTheErrorReply) {
  for (int data_id : {1500, 1661, 0}) {
    log_.Clear();
    CKParam packet;
    packet.SetCString(100, u"alice");
    const Response response = Call(kActingUser, data_id, packet);
    EXPECT_EQ(0, response.result);
    ASSERT_TRUE(response.handed_out);
    ASSERT_EQ((std::vector<short>{21, 0}), Keys(response.records));
    EXPECT_EQ(data_id, response.Int(21));
    EXPECT_EQ(-1, response.Int(0));
    EXPECT_EQ(std::vector<std::string>{" 返回错误 DataId：" + std::to_string(data_id) +
                                       ",nUserId:7"},
              log_.Lines());
  }
}

TEST_P(RecordRequest, BytesThatAreNoPacketReadAsAMissingName) {
  AddUser("alice");
  char junk[40] = "not a packet at all, just some bytes";
  char* reply = nullptr;
  int length = 0;
  ASSERT_EQ(0, GetQueryExtraDataFriendRecord(kActingUser, 1660, junk, sizeof junk, &reply,
                                             &length));
  ASSERT_NE(nullptr, reply);
  const std::vector<Record> records = ReadRecords(reply, length);
  MyDeletePtr(reply);
  ASSERT_EQ((std::vector<short>{21, 0}), Keys(records));
  EXPECT_EQ(-1, records[1].Int());
  EXPECT_EQ((std::vector<std::string>{"帐号有问题 Account ：", " 返回错误 DataId：1660,nUserId:7"}),
            log_.Lines());
}

TEST_P(RecordRequest, LooksUpAnAccount) {
  AddUser("bob", "", "Someone", 0, 3);
  const int id = AddUser("alice", "", "小明😀", 2, 41);
  CKParam packet;
  packet.SetCString(100, u"alice");
  const Response response = Call(kActingUser, 1660, packet);
  EXPECT_EQ(0, response.result);
  ASSERT_EQ((std::vector<short>{21, 50, 100, 200, 300, 0}), Keys(response.records));
  EXPECT_EQ(1660, response.Int(21));
  EXPECT_EQ(id, response.Int(50));
  EXPECT_EQ(40, response.records[2].type);
  EXPECT_EQ(u"小明😀", response.records[2].Text());
  EXPECT_EQ(2, response.Int(200));
  EXPECT_EQ(41, response.Int(300));
  EXPECT_EQ(0, response.Int(0));
  EXPECT_EQ(std::vector<std::string>{"4 == result 正确发回来： id：" + std::to_string(id) +
                                     "  csNick：小明😀  sex：2  level：41"},
            log_.Lines());
}

TEST_P(RecordRequest, EmptyOrMissingAccountGetsTheErrorReply) {
  AddUser("alice");
  {
    CKParam packet;
    packet.SetCString(100, u"");
    const Response response = Call(kActingUser, 1660, packet);
    ASSERT_EQ((std::vector<short>{21, 0}), Keys(response.records));
    EXPECT_EQ(-1, response.Int(0));
    EXPECT_EQ((std::vector<std::string>{"Account NULL ：", " 返回错误 DataId：1660,nUserId:7"}),
              log_.Lines());
  }
  log_.Clear();
  {
    CKParam packet;
    packet.SetCString(100, u"alicia");
    const Response response = Call(kActingUser, 1660, packet);
    ASSERT_EQ((std::vector<short>{21, 0}), Keys(response.records));
    EXPECT_EQ(-1, response.Int(0));
    EXPECT_EQ((std::vector<std::string>{
                  "找不到 Run SQL ：SELECT nId, sNick, nSex, nLevel FROM tblUser WHERE "
                  "(sUsername = 'alicia') ",
                  " 返回错误 DataId：1660,nUserId:7"}),
              log_.Lines());
  }
}

TEST_P(RecordRequest, NamesWithApostrophesAreLookedUpAsTheyStand) {
  const int id = AddUser("o'brien", "", "Ob");
  AddUser("alice");
  CKParam found;
  found.SetCString(100, u"o'brien");
  EXPECT_EQ(id, Call(kActingUser, 1660, found).Int(50));

  log_.Clear();
  CKParam widened;
  widened.SetCString(100, u"x' OR '1'='1");
  const Response response = Call(kActingUser, 1660, widened);
  ASSERT_EQ((std::vector<short>{21, 0}), Keys(response.records));
  ASSERT_FALSE(log_.Lines().empty());
  EXPECT_EQ(
      "找不到 Run SQL ：SELECT nId, sNick, nSex, nLevel FROM tblUser WHERE "
      "(sUsername = 'x'' OR ''1''=''1') ",
      log_.Lines()[0]);

  CKParam send = SendPacket(1, u"o'brien", {{501, u"30天", 10, 1, 1}});
  EXPECT_EQ(1, Call(kActingUser, 1560, send).Int(100));
  EXPECT_EQ(1u, Goods(id).size());
}

TEST_P(RecordRequest, DatabaseThatCannotOpenGrantsNothing) {
  const int id = AddUser("alice");
  SetConnectionString("Provider=SQLite;Data Source=" + dir_->path() + "/missing.db");

  CKParam lookup;
  lookup.SetCString(100, u"alice");
  const Response looked_up = Call(kActingUser, 1660, lookup);
  ASSERT_EQ((std::vector<short>{21, 0}), Keys(looked_up.records));
  EXPECT_EQ(-1, looked_up.Int(0));
  EXPECT_EQ((std::vector<std::string>{"4 != result 有问题： id：0  csNick：  sex：0  level：0",
                                      " 返回错误 DataId：1660,nUserId:7"}),
            log_.Lines());

  log_.Clear();
  CKParam send = SendPacket(1, u"alice", {{501, u"1个", 3100, 1, 1}});
  const Response sent = Call(kActingUser, 1560, send);
  ASSERT_EQ((std::vector<short>{21, 0}), Keys(sent.records));
  EXPECT_EQ((std::vector<std::string>{
                " 有问题 AdoRstGetField(pRecord SQL：SELECT nId FROM tblUser WHERE sUsername = "
                "'alice',nUserId:7",
                " 返回错误 DataId：1560,nUserId:7"}),
            log_.Lines());
  EXPECT_NE(std::string::npos, ErrorLog().find("数据库没能打开"));

  db_->Use();
  EXPECT_TRUE(Goods(id).empty());
  EXPECT_EQ("", Face(id));
}

TEST_P(RecordRequest, GoodsSendingRefusesBadRequests) {
  AddUser("alice");
  struct Case {
    CKParam packet;
    std::string line;
  };
  std::vector<Case> cases;
  {
    CKParam packet;
    packet.SetCString(110, u"alice");
    cases.push_back({packet, " 有问题 kpm.GetInt(100, sendNum：0, nUserId：7"});
  }
  cases.push_back({SendPacket(0, u"alice", {}), " 有问题 sendNum <= 0 sendNum：0  nUserId:7"});
  cases.push_back({SendPacket(-3, u"alice", {}), " 有问题 sendNum <= 0 sendNum：-3  nUserId:7"});
  {
    CKParam packet;
    packet.SetInt(100, 1);
    PutEntry(packet, 0, {501, u"7天", 10});
    cases.push_back({packet, " 有问题 GetCString(110, csAccound：,nUserId:7"});
  }
  cases.push_back({SendPacket(1, u"ghost", {{501, u"7天", 10}}),
                   " 有问题 SQL ：SELECT nId FROM tblUser WHERE sUsername = 'ghost',nUserId:7"});
  for (Case& c : cases) {
    log_.Clear();
    const Response response = Call(kActingUser, 1560, c.packet);
    EXPECT_EQ(0, response.result);
    ASSERT_EQ((std::vector<short>{21, 0}), Keys(response.records)) << c.line;
    EXPECT_EQ(-1, response.Int(0));
    EXPECT_EQ((std::vector<std::string>{c.line, " 返回错误 DataId：1560,nUserId:7"}), log_.Lines());
  }
  EXPECT_EQ(0, db_->QueryInt("SELECT COUNT(*) FROM tblUserGoods"));
}

TEST_P(RecordRequest, GrantsEachEntryAndCountsTheGranted) {
  const int id = AddUser("alice", "A:1;");
  CKParam packet = SendPacket(3, u"alice",
                              {{501, u"7天", 10, 5, 7},
                               // A quota type with a duration is left out.
                               {502, u"7天", 3100, 100, 100},
                               {503, u"2个", 3150, 1, 2}});
  const Response response = Call(kActingUser, 1560, packet);
  EXPECT_EQ(0, response.result);
  ASSERT_EQ((std::vector<short>{21, 100, 200, 300, 0}), Keys(response.records));
  EXPECT_EQ(1560, response.Int(21));
  EXPECT_EQ(2, response.Int(100));
  EXPECT_EQ(6, response.Int(200));
  EXPECT_EQ(9, response.Int(300));
  EXPECT_EQ(0, response.Int(0));
  EXPECT_EQ((std::vector<std::string>{" Enter 道具购买  * 个数不对 ：nType:3100 ,nUserId:7",
                                      "成功添加了 sendNum：3,nUserId:7"}),
            log_.Lines());
  EXPECT_EQ((std::vector<int>{7000, 7000}), log_.Levels());

  const auto goods = Goods(id);
  ASSERT_EQ(2u, goods.size());
  EXPECT_EQ("10", goods[0][1]);
  EXPECT_EQ("501", goods[0][2]);
  EXPECT_EQ("3150", goods[1][1]);
  EXPECT_EQ("503", goods[1][2]);
  EXPECT_EQ("2", goods[1][5]);
  EXPECT_EQ("A:1;Speak:0,2,0,0,0,0,0,0,0,0;", Face(id));
}

TEST_P(RecordRequest, EntriesThatFailAreLeftOutSilently) {
  const int id = AddUser("alice");
  CKParam packet = SendPacket(5, u"alice",
                              {{501, u"1个", 10, 1, 1},     // a count for timed goods
                               {502, u"1个", 3100, -1, 0},  // negative amounts
                               {503, u"7天", 10, 0, -1},
                               {504, u"七天", 10, 1, 1}});  // no such duration
  // Entry 4 is missing; the goods id of entry 5 has the wrong type.
  packet.SetCString(EntryKey(10010, 5), u"505");
  const Response response = Call(kActingUser, 1560, packet);
  ASSERT_EQ((std::vector<short>{21, 100, 200, 300, 0}), Keys(response.records));
  EXPECT_EQ(0, response.Int(100));
  EXPECT_EQ(0, response.Int(200));
  EXPECT_EQ(0, response.Int(300));
  EXPECT_EQ(0, response.Int(0));
  EXPECT_EQ(std::vector<std::string>{"成功添加了 sendNum：5,nUserId:7"}, log_.Lines());
  EXPECT_TRUE(Goods(id).empty());
  EXPECT_EQ("", Face(id));
}

TEST_P(RecordRequest, FailedQuotaGrantsAreLoggedByTheirCount) {
  const int id = AddUser("alice");
  RefuseWrites("tblUser", "UPDATE");
  CKParam packet = SendPacket(3, u"alice",
                              {{501, u"1个", 3100, 1, 1},
                               {502, u"2个", 3150, 1, 1},
                               {503, u"6个", 3200, 1, 1}});
  const Response response = Call(kActingUser, 1560, packet);
  EXPECT_EQ(0, response.Int(100));
  EXPECT_EQ(0, response.Int(0));
  EXPECT_EQ((std::vector<std::string>{" Enter 道具购买 一个失败 ：nType:3100 ,nUserId:7",
                                      " Enter 道具购买 两个失败 ：nType:3150 ,nUserId:7",
                                      " Enter 道具购买 6个失败 ：nType:3200 ,nUserId:7",
                                      "成功添加了 sendNum：3,nUserId:7"}),
            log_.Lines());
  // Each grant is undone whole: no quota row stays without its counters.
  EXPECT_TRUE(Goods(id).empty());
  EXPECT_EQ("", Face(id));
}

TEST_P(RecordRequest, ReplyHeldOnEntryGetsTheErrorReplyAfterTheResult) {
  const int id = AddUser("alice");
  char held[4] = {};
  {
    CKParam packet;
    packet.SetCString(100, u"alice");
    const Response response = Call(kActingUser, 1660, packet, held);
    ASSERT_TRUE(response.handed_out);
    ASSERT_EQ((std::vector<short>{21, 50, 100, 200, 300, 0, 0}), Keys(response.records));
    EXPECT_EQ(0, response.records[5].Int());
    EXPECT_EQ(-1, response.records[6].Int());
    EXPECT_EQ(2u, log_.Lines().size());
    EXPECT_EQ(" 返回错误 DataId：1660,nUserId:7", log_.Lines().back());
  }
  log_.Clear();
  {
    CKParam packet = SendPacket(1, u"alice", {{501, u"30天", 10, 1, 1}});
    const Response response = Call(kActingUser, 1560, packet, held);
    ASSERT_TRUE(response.handed_out);
    ASSERT_EQ((std::vector<short>{21, 100, 200, 300, 0, 0}), Keys(response.records));
    EXPECT_EQ(1, response.Int(100));
    EXPECT_EQ(0, response.records[4].Int());
    EXPECT_EQ(-1, response.records[5].Int());
    // The goods were granted, but the success line is not written.
    EXPECT_EQ(std::vector<std::string>{" 返回错误 DataId：1560,nUserId:7"}, log_.Lines());
    EXPECT_EQ(1u, Goods(id).size());
  }
}

TEST_P(RecordRequest, ReadsNoMoreThan4096Entries) {
  const int id = AddUser("alice");
  // Entry 4096 has the keys of entry 0 again; entry 4095 the keys 10 to 50.
  CKParam packet = SendPacket(4097, u"alice", {{501, u"1个", 3100, 1, 2}});
  PutEntry(packet, 4095, {900, u"7天", 10, 3, 4});
  ASSERT_EQ(10, EntryKey(10010, 4095));
  const Response response = Call(kActingUser, 1560, packet);
  EXPECT_EQ(2, response.Int(100));
  EXPECT_EQ(4, response.Int(200));
  EXPECT_EQ(6, response.Int(300));
  EXPECT_EQ("Speak:1,0,0,0,0,0,0,0,0,0;", Face(id));
  EXPECT_EQ(2u, Goods(id).size());
}

TEST_P(RecordRequest, WorksWithoutALogger) {
  const int id = AddUser("alice");
  OpenLog(0);
  CKParam packet = SendPacket(1, u"alice", {{501, u"6个", 3256, 0, 0}});
  EXPECT_EQ(1, Call(kActingUser, 1560, packet).Int(100));
  EXPECT_EQ("Speak:0,0,0,0,0,0,0,0,0,6;", Face(id));
  EXPECT_TRUE(log_.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, RecordRequest, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
