// The watch that shuts a link down when its statement outlives the
// request's deadline, seen on a socket pair in place of a server link.
#include "db/link_watch.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

namespace zelvar::db {
namespace {

using std::chrono::milliseconds;

// One end of a socket pair, watched; the other end tells whether it was
// shut down.
class Link {
 public:
  Link() {
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds_));
    struct stat st;
    EXPECT_EQ(0, fstat(fds_[0], &st));
    inode_ = st.st_ino;
  }
  ~Link() {
    close(fds_[0]);
    close(fds_[1]);
  }
  std::unique_ptr<LinkWatch> Watch(Clock::duration within) {
    return std::make_unique<LinkWatch>(fds_[0], inode_, Clock::now() + within);
  }
  // True when the watched end was shut down: the other end reads the end
  // of the stream.
  bool ShutDown() {
    char byte;
    return recv(fds_[1], &byte, 1, MSG_DONTWAIT) == 0;
  }

 private:
  int fds_[2] = {-1, -1};
  ino_t inode_ = 0;
};

// Waits (at most ten seconds) for the watch to fire.
bool Fires(const LinkWatch& watch) {
  const auto give_up = Clock::now() + std::chrono::seconds(10);
  while (!watch.fired() && Clock::now() < give_up) std::this_thread::sleep_for(milliseconds(5));
  return watch.fired();
}

// A short command timeout after a long one: the watcher waits for the long
// deadline and must still be woken for the short one.
TEST(LinkWatch, EarlierDeadlineFiresWhileALaterOneIsWaitedFor) {
  Link slow, quick;
  std::unique_ptr<LinkWatch> long_watch = slow.Watch(std::chrono::hours(1));
  std::this_thread::sleep_for(milliseconds(50));  // the watcher waits for the hour
  std::unique_ptr<LinkWatch> short_watch = quick.Watch(milliseconds(50));
  ASSERT_TRUE(Fires(*short_watch));
  EXPECT_TRUE(quick.ShutDown());
  EXPECT_FALSE(long_watch->fired());
  EXPECT_FALSE(slow.ShutDown());
}

// Statements that end in time leave the watcher waiting for a deadline no
// statement has any more; the next statement that hangs is still cut off,
// and one that ended is never shut down afterwards.
TEST(LinkWatch, StatementThatEndsInTimeIsLeftAloneAndTheNextStillWatched) {
  Link finished, hung;
  for (int i = 0; i < 3; ++i) finished.Watch(milliseconds(30));  // each ends at once
  std::unique_ptr<LinkWatch> watch = hung.Watch(milliseconds(200));
  ASSERT_TRUE(Fires(*watch));
  EXPECT_TRUE(hung.ShutDown());
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(finished.ShutDown());
}

}  // namespace
}  // namespace zelvar::db
