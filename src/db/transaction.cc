// Transactions on one leased connection, with the whole body run again
// after a serialization failure or deadlock.

#include "db/transaction.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <random>
#include <thread>

#include "db/ado.h"
#include "db/deadline.h"
#include "db/guarded.h"
#include "db/pool.h"
#include "db/recordset.h"
#include "db/request.h"
#include "util/error_log.h"
#include "util/text.h"

namespace zelvar::db {
namespace {

// Eight threads granting goods to one player on a SERIALIZABLE server
// collide often; every one of them must get through.
// No new attempt starts once the request's time is up.
constexpr int kMaxAttempts = 50;
constexpr int kMaxBackOffMicros = 20000;

// Sleeps a random time below a ceiling that doubles with each attempt, so
// that colliding transactions drift apart.
void BackOff(int attempt) {
  thread_local std::minstd_rand random(
      static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id())) ^
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const int ceiling = std::min(kMaxBackOffMicros, 250 << std::min(attempt, 10));
  std::uniform_int_distribution<int> pick(ceiling / 4, ceiling);
  std::this_thread::sleep_for(std::chrono::microseconds(pick(random)));
}

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
    if (!connection_->Begin(&failure_)) return false;
    begun_ = true;
    return true;
  }

  int Execute(const Sql& sql, std::u16string* error_text, int64_t* changed) override {
    const int result = Run(sql, nullptr, error_text);
    if (changed != nullptr) *changed = result == 0 ? connection_->Changes() : 0;
    return result;
  }

  int Query(const Sql& sql, RecordsetHandle& recordset, std::u16string* error_text) override {
    ResultSet rows;
    recordset.reset();
    if (Run(sql, &rows, error_text) != 0) return -1;
    recordset = std::make_unique<Recordset>(std::move(rows));
    return 0;
  }

  bool Commit() {
    if (failed()) return false;
    if (!connection_->Commit(&failure_)) return false;
    finished_ = true;
    return true;
  }

  void Rollback() {
    if (!begun_ || finished_) return;
    finished_ = true;
    BackendError error;
    if (!connection_->Rollback(&error)) {
      // A connection that may still hold the transaction is never pooled.
      lease_->MarkBroken();
      if (failure_.kind == FailureKind::kNone) failure_ = error;
    }
  }

  bool failed() const { return failure_.kind != FailureKind::kNone; }
  const BackendError& failure() const { return failure_; }

 private:
  int Run(const Sql& sql, ResultSet* rows, std::u16string* error_text) {
    if (failed()) {
      SetText(error_text, failure_.text);
      return -1;
    }
    if (connection_->Run(sql, rows, &failure_)) return 0;
    if (failure_.kind == FailureKind::kNone) failure_.kind = FailureKind::kStatement;
    SetText(error_text, failure_.text);
    return -1;
  }

  Lease* lease_;
  Connection* connection_;
  BackendError failure_;
  bool begun_ = false;
  bool finished_ = false;
};

int RunAttempts(const std::function<int(Transaction&)>& body, std::u16string* error_text,
                const TransactionOptions& options) {
  ConnectionHandle connection;
  std::u16string open_text;
  if (LeaseForRequest(connection, &open_text) != 0) {
    WriteErrorLog(kOpenFailedText);
    SetText(error_text, kOpenFailedText);
    return -1;
  }
  Lease& lease = connection.lease();
  bool begin_replaced = false;
  BackendError last;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (attempt > 0) {
      if (DeadlinePassed()) break;
      BackOff(attempt);
    }
    Attempt tx(&lease);
    bool begun;
    {
      LockWaitScope bound(options.write_lock_wait);
      begun = tx.Begin();
    }
    if (!begun) {
      last = tx.failure();
      lease.Note(last);
      if (last.kind == FailureKind::kRetryable) {
        // The bound has been waited out already.
        if (options.write_lock_wait.count() > 0) {
          SetText(error_text, last.text);
          return kWriteLockBusy;
        }
        continue;
      }
      // A pooled link that died unseen fails here, before any statement of
      // the body was sent: one fresh connection may take its place.
      if (last.kind == FailureKind::kLink && !begin_replaced && !DeadlinePassed()) {
        begin_replaced = true;
        if (LeaseForRequest(connection, &open_text, /*fresh=*/true) != 0) {
          WriteErrorLog(kOpenFailedText);
          SetText(error_text, kOpenFailedText);
          return -1;
        }
        --attempt;
        continue;
      }
      SetText(error_text, last.text);
      return -1;
    }
    const int result = body(tx);
    if (result == 0 && tx.Commit()) return 0;
    last = tx.failure();
    tx.Rollback();
    lease.Note(tx.failure());
    if (last.kind == FailureKind::kRetryable) continue;
    if (last.kind != FailureKind::kNone) SetText(error_text, last.text);
    if (result != 0) return result;
    return -1;
  }
  SetText(error_text, last.text);
  return -1;
}

}  // namespace

int RunTransaction(const std::function<int(Transaction&)>& body, std::u16string* error_text,
                   const TransactionOptions& options) {
  RequestScope request;
  // On an exception the attempt's destructor has rolled back.
  const int result =
      Guarded(error_text, [&] { return RunAttempts(body, error_text, options); });
  if (result != 0) NoteIfTimedOut();
  return result;
}

}  // namespace zelvar::db
