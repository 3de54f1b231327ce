// The connection pool, with connections that count what is done to them.

#include "db/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace zelvar::db {
namespace {

struct Counters {
  std::atomic<int> opened{0};
  std::atomic<int> closed{0};
  std::atomic<int> runs{0};
};

class FakeConnection final : public Connection {
 public:
  FakeConnection(Counters* counters, int serial) : counters_(counters), serial_(serial) {}
  ~FakeConnection() override { ++counters_->closed; }

  Status Run(const Sql&, ResultSet*) override {
    ++counters_->runs;
    if (block_) block_();
    return Status::OK();
  }
  int64_t Changes() const override { return 0; }
  Status Begin() override { return Status::OK(); }
  Status Commit() override { return Status::OK(); }
  Status Rollback() override { return Status::OK(); }
  SqlFamily Family() const override { return SqlFamily::kOther; }
  bool IsAlive() override { return alive_; }

  int serial() const { return serial_; }
  void Kill() { alive_ = false; }
  void BlockRunsWith(std::function<void()> block) { block_ = std::move(block); }

 private:
  Counters* counters_;
  int serial_;
  bool alive_ = true;
  std::function<void()> block_;
};

class PoolTest : public testing::Test {
 protected:
  PoolTest()
      : pool_([this](const std::string& text, std::unique_ptr<Connection>* connection) {
          if (text == "unopenable") return Status::Link(u"refused");
          *connection = std::make_unique<FakeConnection>(&counters_, ++counters_.opened);
          return Status::OK();
        }) {}

  static FakeConnection& Fake(Lease& lease) { return static_cast<FakeConnection&>(*lease); }

  Lease Acquire(const std::string& text = "db", bool fresh = false) {
    Lease lease;
    pool_.Acquire(text, fresh, &lease);
    EXPECT_TRUE(lease) << "no connection";
    return lease;
  }

  Counters counters_;
  Pool pool_;
};

TEST_F(PoolTest, IdleConnectionsAreReusedPerString) {
  {
    Lease first = Acquire();
    Lease other_string = Acquire("other");
    EXPECT_EQ(Fake(first).serial(), 1);
    EXPECT_EQ(Fake(other_string).serial(), 2);
  }
  EXPECT_EQ(pool_.IdleCount("db"), 1u);
  Lease again = Acquire();
  EXPECT_EQ(Fake(again).serial(), 1);
  EXPECT_EQ(counters_.opened, 2);
  // A second lease while the first is out opens another connection.
  Lease second = Acquire();
  EXPECT_EQ(Fake(second).serial(), 3);
  // A fresh lease never takes an idle one.
  again.Release();
  Lease fresh = Acquire("db", /*fresh=*/true);
  EXPECT_EQ(Fake(fresh).serial(), 4);
  EXPECT_EQ(pool_.IdleCount("db"), 1u);
}

TEST_F(PoolTest, LinkFailureIsNeverPooledAgain) {
  {
    Lease lease = Acquire();
    lease.Note(Status::Statement(u"syntax"));  // a sound connection after a bad statement
  }
  EXPECT_EQ(pool_.IdleCount("db"), 1u);
  {
    Lease lease = Acquire();
    lease.Note(Status::Link(u"gone"));
  }
  EXPECT_EQ(pool_.IdleCount("db"), 0u);
  EXPECT_EQ(counters_.closed, 1);
  Lease next = Acquire();
  EXPECT_EQ(Fake(next).serial(), 2);
}

TEST_F(PoolTest, DeadIdleConnectionIsReplacedBeforeUse) {
  {
    Lease a = Acquire();
    Lease b = Acquire();
    Fake(a).Kill();
    Fake(b).Kill();
  }
  ASSERT_EQ(pool_.IdleCount("db"), 2u);
  Lease lease = Acquire();
  EXPECT_EQ(Fake(lease).serial(), 3);
  EXPECT_TRUE(lease->IsAlive());
  EXPECT_EQ(counters_.closed, 2);
  EXPECT_EQ(counters_.runs, 0);  // nothing was sent on the dead ones
}

TEST_F(PoolTest, CloseIdleClosesIdleAtOnceAndLeasedOnReturn) {
  Lease leased = Acquire();
  Acquire().Release();
  Acquire("other").Release();
  EXPECT_EQ(counters_.opened, 3);
  EXPECT_EQ(pool_.IdleCount("db"), 1u);
  pool_.CloseIdle();
  EXPECT_EQ(counters_.closed, 2);
  EXPECT_EQ(pool_.IdleCount("db"), 0u);
  EXPECT_EQ(pool_.IdleCount("other"), 0u);
  leased.Release();
  EXPECT_EQ(counters_.closed, 3);
  EXPECT_EQ(pool_.IdleCount("db"), 0u);
  // Leases after the close are pooled as before.
  Acquire().Release();
  EXPECT_EQ(pool_.IdleCount("db"), 1u);
}

TEST_F(PoolTest, OpenFailureGivesAnEmptyLeaseWithTheText) {
  Lease lease;
  Status status = pool_.Acquire("unopenable", false, &lease);
  EXPECT_FALSE(lease);
  EXPECT_TRUE(status.IsLink());
  EXPECT_EQ(status.text(), u"refused");
}

TEST_F(PoolTest, MovedLeaseReturnsOnce) {
  {
    Lease a = Acquire();
    Lease b = std::move(a);
    EXPECT_FALSE(a);
    Lease c;
    c = std::move(b);
    EXPECT_TRUE(c);
  }
  EXPECT_EQ(pool_.IdleCount("db"), 1u);
  EXPECT_EQ(counters_.closed, 0);
}

TEST_F(PoolTest, StatementsOfDifferentLeasesRunAtOnce) {
  // One statement waits inside the backend; another lease must still get a
  // connection and run, or the pool would serialize requests.
  std::mutex mutex;
  std::condition_variable changed;
  bool first_inside = false;
  bool second_done = false;
  std::thread first([&] {
    Lease lease = Acquire();
    Fake(lease).BlockRunsWith([&] {
      std::unique_lock<std::mutex> lock(mutex);
      first_inside = true;
      changed.notify_all();
      changed.wait_for(lock, std::chrono::seconds(10), [&] { return second_done; });
    });
    lease->Run(Sql("SELECT 1"), nullptr);
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return first_inside; });
  }
  Lease second = Acquire();
  EXPECT_TRUE(second->Run(Sql("SELECT 1"), nullptr).ok());
  {
    std::lock_guard<std::mutex> lock(mutex);
    second_done = true;
  }
  changed.notify_all();
  first.join();
  EXPECT_EQ(counters_.opened, 2);
}

TEST_F(PoolTest, IdleListIsBounded) {
  std::vector<Lease> leases;
  for (int i = 0; i < 40; ++i) leases.push_back(Acquire());
  leases.clear();
  EXPECT_EQ(pool_.IdleCount("db"), 8u);
  EXPECT_EQ(counters_.closed, 32);
}

}  // namespace
}  // namespace zelvar::db
