// Goods sent under the host's order id: each entry granted once, however
// often and from however many threads or processes the order comes.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db/runner.h"
#include "goods/goods_fixture.h"
#include "util/time_text.h"

namespace zelvar::test {
namespace {

// A time-limited entry and a quota entry, with their amounts.
const std::vector<GoodsEntry> kEntries = {{501, u"7天", 20, 5, 7}, {601, u"1个", 3100, 3, 1}};

CKParam OrderPacket(const std::u16string& order, const std::vector<GoodsEntry>& entries = kEntries,
                    const std::u16string& account = u"alice") {
  CKParam packet = SendPacket(static_cast<int>(entries.size()), account, entries);
  packet.SetCString(111, order);
  return packet;
}

// What a reply to a sending says: the result, the count, the two sums and
// key 400.
struct Answer {
  int result = -1, granted = 0, first = 0, second = 0, repeated = -1;
  bool operator==(const Answer&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Answer& a) {
  return out << "{" << a.result << ", " << a.granted << ", " << a.first << ", " << a.second
             << ", 400=" << a.repeated << "}";
}

Answer Send(CKParam packet) {
  const Response response = Call(1, 1560, packet);
  Answer answer;
  for (const Record& record : response.records) {
    if (record.key == 0) answer.result = record.Int();
    if (record.key == 100) answer.granted = record.Int();
    if (record.key == 200) answer.first = record.Int();
    if (record.key == 300) answer.second = record.Int();
    if (record.key == 400) answer.repeated = record.Int();
  }
  return answer;
}

const Answer kFirst{0, 2, 8, 8, 0};
const Answer kRepeated{0, 2, 8, 8, 1};

class GoodsOrder : public GoodsTest {
 protected:
  void SetUp() override {
    GoodsTest::SetUp();
    if (db_ == nullptr) return;
    alice_ = AddUser("alice", "A:1;");
    start_ = static_cast<int64_t>(std::time(nullptr));
  }

  // Both entries granted exactly once: one row of the time-limited goods
  // due seven days after the first grant, the speak counter raised once.
  void ExpectGrantedOnce() {
    EXPECT_EQ("A:1;Speak:1,0,0,0,0,0,0,0,0,0;", Face(alice_));
    const auto rows = Goods(alice_);
    ASSERT_EQ(2u, rows.size());
    for (const auto& row : rows) {
      if (row[2] != "501") continue;
      const int64_t due = ParseTimeText(row[4].value_or("").c_str());
      EXPECT_GE(due, start_ + 604800);
      EXPECT_LE(due, static_cast<int64_t>(std::time(nullptr)) + 604800);
    }
    EXPECT_EQ(2, db_->QueryInt("SELECT COUNT(*) FROM tblGoodsOrder"));
  }

  int alice_ = 0;
  int64_t start_ = 0;
};

TEST_P(GoodsOrder, RepeatedOrderIsGrantedOnceAndAnsweredAlike) {
  EXPECT_EQ(kFirst, Send(OrderPacket(u"order-1")));
  for (int n = 0; n < 9; ++n) EXPECT_EQ(kRepeated, Send(OrderPacket(u"order-1")));
  ExpectGrantedOnce();
  // Order ids compare exactly: another order, granted anew.
  EXPECT_EQ((Answer{0, 1, 8, 8, 0}), Send(OrderPacket(u"ORDER-1", {{601, u"1个", 3100, 8, 8}})));
  EXPECT_EQ("A:1;Speak:2,0,0,0,0,0,0,0,0,0;", Face(alice_));
}

TEST_P(GoodsOrder, SendingsWithoutAUsableOrderId) {
  // Without key 111, or with an empty text there, nothing is recorded and
  // the reply has no key 400.
  const Answer plain{0, 2, 8, 8, -1};
  EXPECT_EQ(plain, Send(SendPacket(2, u"alice", kEntries)));
  EXPECT_EQ(plain, Send(OrderPacket(u"")));
  EXPECT_EQ(0, db_->QueryInt("SELECT COUNT(*) FROM tblGoodsOrder"));
  // An id too long, or key 111 not a text: refused, nothing granted.
  const int64_t rows = db_->QueryInt("SELECT COUNT(*) FROM tblUserGoods");
  EXPECT_EQ(-1, Send(OrderPacket(std::u16string(65, u'x'))).result);
  CKParam number = SendPacket(2, u"alice", kEntries);
  number.SetInt(111, 7);
  EXPECT_EQ(-1, Send(number).result);
  EXPECT_EQ(rows, db_->QueryInt("SELECT COUNT(*) FROM tblUserGoods"));
  EXPECT_EQ(kFirst, Send(OrderPacket(std::u16string(64, u'x'))));
}

TEST_P(GoodsOrder, ManyThreadsAndTwoProcessesGrantOnce) {
  constexpr int kThreads = 8;
  std::vector<Answer> answers(kThreads * 3);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&answers, t] {
      for (int n = 0; n < 3; ++n) answers[t * 3 + n] = Send(OrderPacket(u"threads"));
    });
  }
  for (std::thread& thread : threads) thread.join();
  int first_answers = 0;
  for (const Answer& answer : answers) {
    first_answers += answer == kFirst;
    if (!(answer == kFirst)) EXPECT_EQ(kRepeated, answer);
  }
  EXPECT_LE(first_answers, 1);
  ExpectGrantedOnce();

  // Two processes: neither may use a connection the other opened.
  db_->Exec("DELETE FROM tblGoodsOrder");
  db_->Exec("DELETE FROM tblUserGoods");
  db_->Exec("UPDATE tblUser SET sFacePic = 'A:1;'");
  start_ = static_cast<int64_t>(std::time(nullptr));
  db::CloseIdleConnections();
  const pid_t child = fork();
  ASSERT_NE(-1, child);
  int wrong = 0;
  for (int n = 0; n < 5; ++n) {
    const Answer answer = Send(OrderPacket(u"processes"));
    wrong += !(answer == kFirst || answer == kRepeated);
  }
  if (child == 0) _exit(wrong);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(0, wrong);
  ExpectGrantedOnce();
}

TEST_P(GoodsOrder, RetryGrantsOnlyWhatFailedOrWasNeverAnswered) {
  // The quota entry fails the first time: its counter can't be written.
  RefuseWrites("tblUser", "UPDATE");
  EXPECT_EQ((Answer{0, 1, 5, 7, 0}), Send(OrderPacket(u"order-2")));
  db_->Exec(GetParam() == Backend::kPostgres ? "DROP TRIGGER refuse_tblUser_UPDATE ON tblUser"
                                             : "DROP TRIGGER refuse_tblUser_UPDATE");
  EXPECT_EQ(kRepeated, Send(OrderPacket(u"order-2")));
  ExpectGrantedOnce();

  // A host that dies right after the call never sees the answer; the
  // order sent again grants nothing new.
  db::CloseIdleConnections();
  const pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    CKParam packet = OrderPacket(u"order-3", {{502, u"30天", 20, 1, 1}});
    char* reply = nullptr;
    int length = 0;
    GetQueryExtraDataFriendRecord(1, 1560, packet.GetBufferPtr(), packet.GetLength(), &reply,
                                  &length);
    raise(SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ((Answer{0, 1, 1, 1, 1}), Send(OrderPacket(u"order-3", {{502, u"30天", 20, 1, 1}})));
  EXPECT_EQ(1, db_->QueryInt("SELECT COUNT(*) FROM tblUserGoods WHERE nGoodsId = 502"));
}

TEST_P(GoodsOrder, RefusedForAnotherAccountOrWithoutItsTable) {
  AddUser("bob", "B:1;");
  EXPECT_EQ(kFirst, Send(OrderPacket(u"order-4")));
  EXPECT_EQ(-1, Send(OrderPacket(u"order-4", kEntries, u"bob")).result);
  EXPECT_EQ(0, db_->QueryInt("SELECT COUNT(*) FROM tblUserGoods u JOIN tblUser p ON p.nId = "
                             "u.nUserId WHERE p.sUsername = 'bob'"));
  bool logged = false;
  for (const std::string& line : log_.Lines()) {
    logged = logged || line.find("order-4 refused") != std::string::npos;
  }
  EXPECT_TRUE(logged);

  // A database that lacks the table: never a grant without the record.
  db_->Exec("DROP TABLE tblGoodsOrder");
  const int64_t rows = db_->QueryInt("SELECT COUNT(*) FROM tblUserGoods");
  EXPECT_EQ(-1, Send(OrderPacket(u"order-5")).result);
  EXPECT_EQ(rows, db_->QueryInt("SELECT COUNT(*) FROM tblUserGoods"));
  EXPECT_NE(std::string::npos, ErrorLog().find("tblGoodsOrder can't be read"));
}

INSTANTIATE_TEST_SUITE_P(Backends, GoodsOrder, testing::ValuesIn(AllBackends()),
                         BackendParamName);

}  // namespace
}  // namespace zelvar::test
