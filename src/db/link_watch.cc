// The watcher thread behind LinkWatch.
#include "db/link_watch.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace zelvar::db {

class Watcher;

namespace {
Watcher* forking_watcher = nullptr;  // for the fork handlers
}  // namespace

class Watcher {
 public:
  // Never destroyed: watches may end during static destruction, and the
  // thread runs for the life of the process.
  static Watcher& Instance() {
    static Watcher* const watcher = [] {
      auto* created = new Watcher;
      forking_watcher = created;
      pthread_atfork([] { forking_watcher->mutex_.lock(); },
                     [] { forking_watcher->mutex_.unlock(); },
                     [] { forking_watcher->ForgetAfterFork(); });
      return created;
    }();
    return *watcher;
  }

  void Add(LinkWatch* watch) {
    std::lock_guard<std::mutex> lock(mutex_);
    watch->id_ = ++next_id_;
    const bool earliest = watches_.empty() || watch->deadline_ < watches_.begin()->first.first;
    watches_.emplace(Key{watch->deadline_, watch->id_}, watch);
    if (!started_) {
      started_ = true;
      std::thread([this] { Loop(); }).detach();
    } else if (earliest) {
      wake_->notify_one();
    }
  }

  void Remove(LinkWatch* watch) {
    std::lock_guard<std::mutex> lock(mutex_);
    watches_.erase(Key{watch->deadline_, watch->id_});
  }

 private:
  using Key = std::pair<Clock::time_point, uint64_t>;

  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (watches_.empty()) {
        wake_->wait(lock);
        continue;
      }
      const Clock::time_point due = watches_.begin()->first.first;
      if (Clock::now() < due) {
        wake_->wait_until(lock, due);
        continue;
      }
      // The statement is still in flight (its watch would have been
      // removed otherwise), so its socket is still the driver's, unless
      // the driver closed it meanwhile: the inode tells.
      LinkWatch* watch = watches_.begin()->second;
      watches_.erase(watches_.begin());
      struct stat st;
      if (fstat(watch->fd_, &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == watch->inode_) {
        shutdown(watch->fd_, SHUT_RDWR);
      }
      watch->fired_.store(true, std::memory_order_release);
    }
  }

  // The child of a fork has no watcher thread and none of the parent's
  // statements in flight. The condition variable still counts the
  // parent's waiting thread, so a notify in the child would wait for it
  // forever: the child gets a new one (the old one is left as it is).
  void ForgetAfterFork() {
    watches_.clear();
    started_ = false;
    (void)wake_.release();
    wake_ = std::make_unique<std::condition_variable>();
    mutex_.unlock();
  }

  std::mutex mutex_;
  std::unique_ptr<std::condition_variable> wake_ = std::make_unique<std::condition_variable>();
  std::map<Key, LinkWatch*> watches_;
  uint64_t next_id_ = 0;
  bool started_ = false;
};

LinkWatch::LinkWatch(int fd, ino_t inode, Clock::time_point deadline)
    : fd_(fd), inode_(inode), deadline_(deadline) {
  if (fd_ >= 0 && deadline_ != Clock::time_point::max()) Watcher::Instance().Add(this);
}

LinkWatch::~LinkWatch() {
  if (id_ != 0) Watcher::Instance().Remove(this);
}

}  // namespace zelvar::db
