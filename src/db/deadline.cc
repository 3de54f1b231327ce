// Request deadlines, one per host thread.
#include "db/deadline.h"

namespace zelvar::db {
namespace {

thread_local int scope_depth = 0;
thread_local Clock::time_point deadline = Clock::time_point::max();
thread_local bool timeout_noticed = false;
thread_local Clock::duration lock_wait_bound = Clock::duration::zero();

}  // namespace

RequestScope::RequestScope() : outermost_(scope_depth == 0) {
  ++scope_depth;
  if (outermost_) {
    deadline = Clock::time_point::max();
    timeout_noticed = false;
  }
}

RequestScope::~RequestScope() {
  --scope_depth;
  if (outermost_) deadline = Clock::time_point::max();
}

void StartRequestClock(std::chrono::milliseconds budget) {
  if (scope_depth == 0 || deadline != Clock::time_point::max()) return;
  deadline = Clock::now() + budget;
}

Clock::time_point RequestDeadline() { return deadline; }

Clock::duration TimeLeft() {
  if (deadline == Clock::time_point::max()) return std::chrono::hours(24 * 365);
  const Clock::time_point now = Clock::now();
  return now >= deadline ? Clock::duration::zero() : deadline - now;
}

bool DeadlinePassed() {
  return deadline != Clock::time_point::max() && Clock::now() >= deadline;
}

bool TakeTimeoutNotice() {
  if (timeout_noticed || !DeadlinePassed()) return false;
  timeout_noticed = true;
  return true;
}

LockWaitScope::LockWaitScope(Clock::duration bound) : previous_(lock_wait_bound) {
  lock_wait_bound = bound;
}

LockWaitScope::~LockWaitScope() { lock_wait_bound = previous_; }

Clock::duration LockWaitBound() { return lock_wait_bound; }

}  // namespace zelvar::db
