// Bounds a statement in flight on a server link by its request's
// deadline. A server that accepted a statement and never answers (hung,
// stopped, or behind a link that went silent) would otherwise hold the
// calling thread as long as it lasts: past the deadline the watch shuts
// the link's socket down, so the driver's read fails at once and the
// statement ends with a link failure. The connection is then discarded.
//
// One process-wide watcher thread, started on first use, serves every
// watch; a watch costs the statement one lock and one map entry, and
// nothing when its request has no deadline. Thread-safe.
#ifndef ZELVAR_DB_LINK_WATCH_H_
#define ZELVAR_DB_LINK_WATCH_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "db/deadline.h"

namespace zelvar::db {

class LinkWatch {
 public:
  // Watches the socket `fd` (whose inode is `inode`, so that a descriptor
  // closed and reused meanwhile is left alone) until destroyed. A negative
  // `fd` or a deadline of Clock::time_point::max() watches nothing.
  LinkWatch(int fd, ino_t inode, Clock::time_point deadline);
  ~LinkWatch();
  LinkWatch(const LinkWatch&) = delete;
  LinkWatch& operator=(const LinkWatch&) = delete;

  // True when the deadline passed and the socket was shut down.
  bool fired() const { return fired_.load(std::memory_order_acquire); }

 private:
  friend class Watcher;
  int fd_;
  ino_t inode_;
  Clock::time_point deadline_;
  uint64_t id_ = 0;  // 0: not registered
  std::atomic<bool> fired_{false};
};

}  // namespace zelvar::db

#endif  // ZELVAR_DB_LINK_WATCH_H_
