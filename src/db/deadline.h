// The time bound of one request: every statement, lock wait, retry and
// connect of a request ends by its deadline.
//
// A request's deadline is set by the first runner or transaction that
// leases a connection inside it, from the command timeout of the
// connection string in force, and holds for every later statement of the
// request. A runner called outside any request (a test, the tool) gets a
// deadline of its own for that one call.
//
// Thread-local: each host thread has its own request in flight.
#ifndef ZELVAR_DB_DEADLINE_H_
#define ZELVAR_DB_DEADLINE_H_

#include <chrono>

namespace zelvar::db {

using Clock = std::chrono::steady_clock;

// Marks the extent of one request on this thread. Scopes nest: only the
// outermost one counts, so a runner's own scope inside a request changes
// nothing.
class RequestScope {
 public:
  RequestScope();
  ~RequestScope();
  RequestScope(const RequestScope&) = delete;
  RequestScope& operator=(const RequestScope&) = delete;

 private:
  bool outermost_;
};

// Starts the request's clock with `budget` unless it runs already (or no
// request scope is open, in which case nothing is bound).
void StartRequestClock(std::chrono::milliseconds budget);

// The deadline of the request in force; Clock::time_point::max() when
// none is set.
Clock::time_point RequestDeadline();

// The time left before the deadline (zero once it has passed; a very long
// time when none is set).
Clock::duration TimeLeft();

// True once the request's deadline has passed.
bool DeadlinePassed();

// True the first time it is asked after the deadline passed, once per
// request: a request that ran out of time is logged once.
bool TakeTimeoutNotice();

// Bounds every wait for a lock held by another connection on this thread
// while it lives, besides the request's deadline: a wait gives up `bound`
// after it began. Scopes nest, the innermost counting; a zero bound leaves
// only the deadline, as without a scope.
class LockWaitScope {
 public:
  explicit LockWaitScope(Clock::duration bound);
  ~LockWaitScope();
  LockWaitScope(const LockWaitScope&) = delete;
  LockWaitScope& operator=(const LockWaitScope&) = delete;

 private:
  Clock::duration previous_;
};

// The lock wait bound in force; zero when there is none.
Clock::duration LockWaitBound();

}  // namespace zelvar::db

#endif  // ZELVAR_DB_DEADLINE_H_
