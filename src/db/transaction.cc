// Transactions on one leased connection, with the whole body run again
// after a serialization failure, deadlock or lock wait timeout, and on a
// fresh connection after a server refused to serve it before its commit.

#include "db/transaction.h"

#include "db/ado.h"
#include "db/deadline.h"
#include "db/failover.h"
#include "db/guarded.h"
#include "db/pool.h"
#include "db/recordset.h"
#include "db/request.h"
#include "util/error_log.h"
#include "util/text.h"

namespace zelvar::db {
namespace {

// One attempt. After the first failure the attempt is lost: later
// statements fail at once without reaching the database, as they would
// on a server that aborted the transaction, so no backend lets a body
// commit half of its work.
class Attempt final : public Transaction {
 public:
  explicit Attempt(Lease* lease) : lease_(lease), connection_(&**lease) {}

  // Rolls back unless committed.
  ~Attempt() override { Rollback(); }

  bool Begin() {
    failure_ = connection_->Begin();
    begun_ = failure_.ok();
    return begun_;
  }

  int Execute(const Sql& sql, std::u16string* error_text, int64_t* changed) override {
    const Status& status = Run(sql, nullptr);
    if (changed != nullptr) *changed = status.ok() ? connection_->Changes() : 0;
    return ResultOf(status, error_text);
  }

  int Query(const Sql& sql, RecordsetHandle& recordset, std::u16string* error_text) override {
    ResultSet rows;
    recordset.reset();
    const Status& status = Run(sql, &rows);
    if (status.ok()) recordset = std::make_unique<Recordset>(std::move(rows));
    return ResultOf(status, error_text);
  }

  SqlFamily Family() const override { return connection_->Family(); }

  bool Commit() {
    if (failed()) return false;
    failure_ = connection_->Commit();
    finished_ = failure_.ok();
    failed_at_commit_ = !finished_;
    return finished_;
  }

  void Rollback() {
    if (!begun_ || finished_) return;
    finished_ = true;
    Status status = connection_->Rollback();
    if (!status.ok()) {
      // A connection that may still hold the transaction is never pooled.
      lease_->MarkBroken();
      if (failure_.ok()) failure_ = std::move(status);
    }
  }

  bool failed() const { return !failure_.ok(); }
  const Status& failure() const { return failure_; }
  // Whether nothing of the attempt can have taken effect: it failed
  // before its commit was sent, on a server that refused to serve it.
  // (A statement's writes take effect only at the commit; a commit whose
  // link failed may have taken effect.)
  bool ServeElsewhere() const { return failure_.IsNotServing() && !failed_at_commit_; }

 private:
  // The statement's outcome; once one failed, that failure again.
  const Status& Run(const Sql& sql, ResultSet* rows) {
    if (!failed()) failure_ = connection_->Run(sql, rows);
    return failure_;
  }

  Lease* lease_;
  Connection* connection_;
  Status failure_;
  bool begun_ = false;
  bool finished_ = false;
  bool failed_at_commit_ = false;
};

// How the attempts ended: `failure` is the failure that ended them (OK when
// committed, or when the body asked to roll back with no statement
// failing); `body_result` the body's own result when it asked to roll
// back; `lock_busy` when the write lock could not be had within its bound.
struct Ending {
  Status failure;
  int body_result = 0;
  bool lock_busy = false;
};

Ending RunAttempts(const std::function<int(Transaction&)>& body,
                   const TransactionOptions& options) {
  Lease lease;
  if (!LeaseForRequest(&lease).ok()) return {OpenFailed()};
  bool begin_replaced = false;
  int served_elsewhere = 0;
  Status last;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (attempt > 0) {
      if (DeadlinePassed()) break;
      if (last.IsNotServing()) {
        // Nothing ran: the attempt goes to a fresh connection (another
        // server's, when the string names several).
        PauseBeforeServingAgain(served_elsewhere++);
        if (!LeaseForRequest(&lease, /*fresh=*/true).ok()) return {OpenFailed()};
      } else {
        BackOff(attempt);
      }
    }
    Attempt tx(&lease);
    {
      LockWaitScope bound(options.write_lock_wait);
      tx.Begin();
    }
    if (tx.failed()) {
      last = tx.failure();
      lease.Note(last);
      if (last.IsRetryable()) {
        // The bound has been waited out already.
        if (options.write_lock_wait.count() > 0) return {last, 0, /*lock_busy=*/true};
        continue;
      }
      if (last.IsNotServing()) continue;
      // A pooled link that died unseen fails here, before any statement of
      // the body was sent: one fresh connection may take its place.
      if (last.IsLink() && !begin_replaced && !DeadlinePassed()) {
        begin_replaced = true;
        if (!LeaseForRequest(&lease, /*fresh=*/true).ok()) return {OpenFailed()};
        --attempt;
        continue;
      }
      return {last};
    }
    const int result = body(tx);
    if (result == 0 && tx.Commit()) return {};
    last = tx.failure();
    const bool serve_elsewhere = tx.ServeElsewhere();
    tx.Rollback();
    lease.Note(tx.failure());
    if (last.IsRetryable() || serve_elsewhere) continue;
    return {last, result};
  }
  return {last};
}

}  // namespace

int RunTransaction(const std::function<int(Transaction&)>& body, std::u16string* error_text,
                   const TransactionOptions& options) {
  RequestScope request;
  Ending ending;
  // On an exception the attempt's destructor has rolled back.
  int result = Guarded(error_text, [&] {
    ending = RunAttempts(body, options);
    return std::move(ending.failure);
  });
  if (ending.body_result != 0) {
    result = ending.body_result;
  } else if (ending.lock_busy) {
    result = kWriteLockBusy;
  }
  if (result != 0) NoteIfTimedOut();
  return result;
}

}  // namespace zelvar::db
