// The pause after failed connects: a server that is down is not asked again
// at once. The first failure waits 50 ms, each further one in a row twice
// as long, up to a ceiling.
//
// A value; not thread-safe (its owner guards it).
#ifndef ZELVAR_DB_BACK_OFF_H_
#define ZELVAR_DB_BACK_OFF_H_

#include <algorithm>
#include <chrono>

namespace zelvar::db {

class ConnectBackOff {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ConnectBackOff(Clock::duration ceiling) : ceiling_(ceiling) {}

  // A connect failed at `now`.
  void Failed(Clock::time_point now) {
    const int doublings = std::min(failures_, 10);
    ++failures_;
    retry_at_ = now + std::min<Clock::duration>(kFirst * (1 << doublings), ceiling_);
  }
  // A connect succeeded: the next failure waits the shortest pause again.
  void Succeeded() { failures_ = 0; }
  // Forgets failures older than the ceiling: a server that failed long ago
  // starts afresh.
  void Forget(Clock::time_point now) {
    if (failures_ > 0 && now >= retry_at_ + ceiling_) failures_ = 0;
  }

  // True while the pause after the last failure lasts.
  bool Waiting(Clock::time_point now) const { return failures_ > 0 && now < retry_at_; }
  Clock::time_point retry_at() const { return retry_at_; }

 private:
  static constexpr std::chrono::milliseconds kFirst{50};

  Clock::duration ceiling_;
  int failures_ = 0;  // in a row
  Clock::time_point retry_at_;
};

}  // namespace zelvar::db

#endif  // ZELVAR_DB_BACK_OFF_H_
