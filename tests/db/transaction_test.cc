// Transactions on every backend: commit, roll back, no half-done work, and
// concurrent read-modify-writes of one row that lose no update.

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "backend_fixture.h"
#include "db/current_connection.h"
#include "db/pool.h"
#include "db/recordset.h"
#include "db/runner.h"
#include "db/transaction.h"
#include "support/test_db.h"
#include "util/text.h"

namespace zelvar::test {
namespace {

using db::AdoRstGetField;
using db::AdoRstIsEOF;
using db::RecordsetHandle;
using db::RunTransaction;
using db::Sql;
using db::SqlValue;
using db::Transaction;
using db::Variant;

using TransactionTest = BackendTest;

// Adds one to a user's nLevel by reading it and writing it back: without
// isolation, concurrent callers lose updates.
int IncrementLevel(Transaction& tx, int user_id) {
  RecordsetHandle rs;
  if (tx.Query(Sql("SELECT nLevel FROM tblUser WHERE (nId = %d)", {SqlValue::Integer(user_id)}),
               rs, nullptr) != 0) {
    return -1;
  }
  if (AdoRstIsEOF(rs) != 0) return -1;
  Variant level;
  if (AdoRstGetField(rs, "nLevel", &level) != 0) return -1;
  return tx.Execute(Sql("UPDATE tblUser SET nLevel = %d WHERE (nId = %d)",
                        {SqlValue::Integer(level.Int32() + 1), SqlValue::Integer(user_id)}),
                    nullptr);
}

TEST_P(TransactionTest, CommitKeepsEveryStatement) {
  ZELVAR_REQUIRE_DB();
  std::u16string error;
  const int result = RunTransaction(
      [](Transaction& tx) {
        if (tx.Execute(Sql("INSERT INTO tblUser (sNick, nLevel) VALUES ('%s', %d)",
                           {SqlValue::Text(u"a"), SqlValue::Integer(0)}),
                       nullptr) != 0) {
          return -1;
        }
        return IncrementLevel(tx, 1);
      },
      &error);
  ASSERT_EQ(result, 0) << ToNarrow(error);
  EXPECT_EQ(db_->QueryInt("SELECT nLevel FROM tblUser WHERE sNick = 'a'"), 1);
}

TEST_P(TransactionTest, BodyAskingToRollBackLeavesNothing) {
  ZELVAR_REQUIRE_DB();
  const int result = RunTransaction(
      [](Transaction& tx) {
        EXPECT_EQ(tx.Execute(Sql("INSERT INTO tblUser (sNick) VALUES ('gone')"), nullptr), 0);
        // The body's own statements see the row before it rolls back.
        RecordsetHandle rs;
        EXPECT_EQ(tx.Query(Sql("SELECT nId FROM tblUser"), rs, nullptr), 0);
        EXPECT_EQ(AdoRstIsEOF(rs), 0);
        return 7;
      },
      nullptr);
  EXPECT_EQ(result, 7);
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblUser"), 0);
}

TEST_P(TransactionTest, FailedStatementRollsBackAndStopsTheRest) {
  ZELVAR_REQUIRE_DB();
  std::u16string error;
  std::u16string later_error;
  int later = 0;
  const int result = RunTransaction(
      [&](Transaction& tx) {
        EXPECT_EQ(tx.Execute(Sql("INSERT INTO tblUser (sNick) VALUES ('first')"), nullptr), 0);
        EXPECT_EQ(tx.Execute(Sql("INSERT INTO tblNoSuchTable (x) VALUES (1)"), nullptr), -1);
        // Not sent: the transaction is lost already.
        later = tx.Execute(Sql("INSERT INTO tblUser (sNick) VALUES ('later')"), &later_error);
        return 0;  // a body that ignores the failure still can't commit half
      },
      &error);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(later, -1);
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(later_error.empty());
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblUser"), 0);
  EXPECT_EQ(dir_.ReadFile("ZelvarError.log"), "");
  // The connection went back clean: a later transaction commits.
  EXPECT_EQ(RunTransaction(
                [](Transaction& tx) {
                  return tx.Execute(Sql("INSERT INTO tblUser (sNick) VALUES ('b')"), nullptr);
                },
                nullptr),
            0);
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblUser"), 1);
}

TEST_P(TransactionTest, ExceptionInTheBodyRollsBack) {
  ZELVAR_REQUIRE_DB();
  std::u16string error;
  const int result = RunTransaction(
      [](Transaction& tx) -> int {
        tx.Execute(Sql("INSERT INTO tblUser (sNick) VALUES ('thrown')"), nullptr);
        throw std::runtime_error("body failed");
      },
      &error);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, u"body failed");
  EXPECT_EQ(db_->QueryInt("SELECT COUNT(*) FROM tblUser"), 0);
  EXPECT_EQ(ExecuteSql(Sql("INSERT INTO tblUser (sNick) VALUES ('after')"), nullptr), 0);
}

TEST_P(TransactionTest, UnopenableDatabaseIsReportedAndLogged) {
  ZELVAR_REQUIRE_DB();
  SetConnectionString("Provider=SQLite;Data Source=" + dir_.path() + "/missing.db");
  std::u16string error;
  bool ran = false;
  EXPECT_EQ(RunTransaction(
                [&](Transaction&) {
                  ran = true;
                  return 0;
                },
                &error),
            -1);
  EXPECT_FALSE(ran);
  EXPECT_EQ(error, db::kOpenFailedText);
  EXPECT_EQ(ErrorLogRecords(ToNarrow(db::kOpenFailedText)), 1);
}

TEST_P(TransactionTest, ConcurrentReadModifyWritesLoseNoUpdate) {
  ZELVAR_REQUIRE_DB();
  db_->Exec("INSERT INTO tblUser (sNick, nLevel) VALUES ('counter', 0)");
  const int user_id = static_cast<int>(db_->QueryInt("SELECT nId FROM tblUser"));
  constexpr int kThreads = 8;
  constexpr int kRounds = 10;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::u16string error;
        if (RunTransaction([&](Transaction& tx) { return IncrementLevel(tx, user_id); }, &error) !=
            0) {
          ADD_FAILURE() << ToNarrow(error);
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(db_->QueryInt("SELECT nLevel FROM tblUser"), kThreads * kRounds);
}

INSTANTIATE_TEST_SUITE_P(AllBackends, TransactionTest, testing::ValuesIn(AllBackends()),
                         BackendParamName);

// Two processes on one SQLite file, each with its own connections.
TEST(SqliteTransaction, TwoProcessesLoseNoUpdate) {
  ScopedTempDir dir;
  auto db = TestDatabase::Create(Backend::kSqlite);
  ASSERT_NE(db, nullptr);
  db->Use();
  db->Exec("INSERT INTO tblUser (sNick, nLevel) VALUES ('counter', 0)");
  constexpr int kRounds = 100;
  // The parent's pool holds a connection the child must not touch.
  ASSERT_EQ(RunTransaction([](Transaction& tx) { return IncrementLevel(tx, 1); }, nullptr), 0);
  ASSERT_EQ(db::Pool::Instance().IdleCount(db->connection_string()), 1u);
  const auto run_rounds = [] {
    int failed = 0;
    for (int i = 0; i < kRounds; ++i) {
      if (RunTransaction([](Transaction& tx) { return IncrementLevel(tx, 1); }, nullptr) != 0) {
        ++failed;
      }
    }
    return failed;
  };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (db::Pool::Instance().IdleCount(db->connection_string()) != 0) _exit(2);
    _exit(run_rounds() == 0 ? 0 : 1);
  }
  const int parent_failures = run_rounds();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 2) << "the child inherited the parent's pooled connection";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child lost transactions";
  EXPECT_EQ(parent_failures, 0);
  EXPECT_EQ(db->QueryInt("SELECT nLevel FROM tblUser"), 2 * kRounds + 1);
  // The parent's own connection is still pooled and sound.
  EXPECT_EQ(db::ExecuteSql(Sql("UPDATE tblUser SET nSex = 1"), nullptr), 0);
}

}  // namespace
}  // namespace zelvar::test
