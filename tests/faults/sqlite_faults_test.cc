// SQLite under faults: writes that fail midway (a VFS that tears the n-th
// write, or a disk that fills up), allocations that fail, a database file
// the process may not write, a database that another process keeps
// locked beyond the busy timeout, and a database file replaced, moved
// aside or removed under a warm pool. Each ends with the invariants of the
// mixed load, or the file's own: nothing half-written, nothing reported
// that did not happen.

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "db/current_connection.h"
#include "db/pool.h"
#include "db/runner.h"
#include "db/sql.h"
#include "faults/mixed_load.h"
#include "kit/client.h"
#include "support/test_db.h"
#include "util/text.h"

namespace zelvar::test {
namespace {

// A VFS over the default one whose n-th write from the moment it is armed
// fails after writing half of its bytes, with the error it is given.
// Registered as the default VFS while a test runs, so the module's
// connections opened meanwhile use it; the test's own connection, opened
// before, does not.
class FaultyVfs {
 public:
  static void Install() {
    sqlite3_initialize();
    real_ = sqlite3_vfs_find(nullptr);
    vfs_ = *real_;
    vfs_.zName = "zelvar-faulty";
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + real_->szOsFile;
    vfs_.pNext = nullptr;
    vfs_.xOpen = &Open;
    sqlite3_vfs_register(&vfs_, 1);
  }
  static void Remove() { sqlite3_vfs_unregister(&vfs_); }

  static void Arm(int nth_write, int error) {
    fired_ = false;
    error_ = error;
    countdown_ = nth_write;
  }
  // Disarms; true when a write failed since Arm.
  static bool Disarm() {
    countdown_ = 0;
    return fired_.load();
  }

 private:
  struct File {
    sqlite3_file base;
    sqlite3_file* real;
  };

  static sqlite3_file* Real(sqlite3_file* file) { return reinterpret_cast<File*>(file)->real; }

  static int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out_flags) {
    File* faulty = reinterpret_cast<File*>(file);
    faulty->real = reinterpret_cast<sqlite3_file*>(faulty + 1);
    const int rc = real_->xOpen(real_, name, faulty->real, flags, out_flags);
    faulty->base.pMethods = faulty->real->pMethods != nullptr ? &kMethods : nullptr;
    return rc;
  }

  static int Write(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
    if (countdown_.load() > 0 && countdown_.fetch_sub(1) == 1) {
      fired_ = true;
      Real(file)->pMethods->xWrite(Real(file), data, amount / 2, offset);
      return error_;
    }
    return Real(file)->pMethods->xWrite(Real(file), data, amount, offset);
  }

  static int Close(sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); }
  static int Read(sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
    return Real(f)->pMethods->xRead(Real(f), data, amount, offset);
  }
  static int Truncate(sqlite3_file* f, sqlite3_int64 size) {
    return Real(f)->pMethods->xTruncate(Real(f), size);
  }
  static int Sync(sqlite3_file* f, int flags) { return Real(f)->pMethods->xSync(Real(f), flags); }
  static int FileSize(sqlite3_file* f, sqlite3_int64* size) {
    return Real(f)->pMethods->xFileSize(Real(f), size);
  }
  static int Lock(sqlite3_file* f, int level) { return Real(f)->pMethods->xLock(Real(f), level); }
  static int Unlock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xUnlock(Real(f), level);
  }
  static int CheckReservedLock(sqlite3_file* f, int* out) {
    return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
  }
  static int FileControl(sqlite3_file* f, int op, void* arg) {
    return Real(f)->pMethods->xFileControl(Real(f), op, arg);
  }
  static int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
  static int DeviceCharacteristics(sqlite3_file* f) {
    return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
  }
  static int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    return Real(f)->pMethods->xShmMap(Real(f), region, size, extend, out);
  }
  static int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
  }
  static void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
  static int ShmUnmap(sqlite3_file* f, int delete_flag) {
    return Real(f)->pMethods->xShmUnmap(Real(f), delete_flag);
  }
  static int Fetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
    return Real(f)->pMethods->xFetch(Real(f), offset, amount, out);
  }
  static int Unfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
    return Real(f)->pMethods->xUnfetch(Real(f), offset, page);
  }

  static constexpr sqlite3_io_methods kMethods = {
      3,         &Close,    &Read,         &Write,       &Truncate,          &Sync,
      &FileSize, &Lock,     &Unlock,       &CheckReservedLock, &FileControl, &SectorSize,
      &DeviceCharacteristics, &ShmMap, &ShmLock, &ShmBarrier, &ShmUnmap, &Fetch, &Unfetch};

  static inline sqlite3_vfs* real_ = nullptr;
  static inline sqlite3_vfs vfs_{};
  static inline std::atomic<int> countdown_{0};
  static inline std::atomic<bool> fired_{false};
  static inline std::atomic<int> error_{SQLITE_IOERR_WRITE};
};

constexpr LoadKind kAllKinds[] = {
    LoadKind::kMessage, LoadKind::kReadMessages, LoadKind::kTrade,      LoadKind::kHistory,
    LoadKind::kFriends, LoadKind::kItems,        LoadKind::kInvite,     LoadKind::kLookup,
    LoadKind::kQuotaGrant, LoadKind::kTimeGrant, LoadKind::kEndStrangers};

// Every kind once; the outcomes.
std::vector<LoadOutcome> Round(MixedLoad& load, std::mt19937_64& random) {
  std::vector<LoadOutcome> outcomes;
  for (LoadKind kind : kAllKinds) outcomes.push_back(load.RunKind(0, kind, random));
  return outcomes;
}

void ExpectAllSucceed(const std::vector<LoadOutcome>& outcomes) {
  for (const LoadOutcome& outcome : outcomes) {
    EXPECT_TRUE(outcome.ok) << LoadKindName(outcome.kind) << " " << outcome.detail;
  }
}

void ExpectNoViolations(MixedLoad& load, bool strict) {
  for (const std::string& violation : load.Check(strict)) ADD_FAILURE() << violation;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The path of a test database's file.
std::string SqlitePath(const TestDatabase& db) {
  const std::string prefix = "Provider=SQLite;Data Source=";
  return db.connection_string().substr(prefix.size());
}

class SqliteFaults : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<ScopedTempDir>();
    db_ = TestDatabase::Create(Backend::kSqlite);
    ASSERT_NE(nullptr, db_);
    // A ledger for each kind's thread in the lock test.
    load_ = std::make_unique<MixedLoad>(db_.get(), 8, static_cast<int>(std::size(kAllKinds)));
    db_->Use();
  }

  void TearDown() override {
    load_.reset();
    db_.reset();
    dir_.reset();
  }

  // Friends x and y with two trades: one end of friendship must take all
  // three rows or none.
  void ChurnRound() {
    db_->Exec("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (9001, 9002)");
    db_->Exec("INSERT INTO tblFriendTradeHistory (nPlayUserId, nPlayedUserId, nPlayId, tTime, "
              "tDuration) VALUES (9001, 9002, 1, '2011-05-03 09:05:07', 10), (9002, 9001, 2, "
              "'2011-05-03 09:05:07', 10)");
    const int result = EndFriendship(9001, 9002);
    const int64_t friendship =
        db_->QueryInt("SELECT COUNT(*) FROM tblFriend WHERE nUserId = 9001");
    const int64_t trades =
        db_->QueryInt("SELECT COUNT(*) FROM tblFriendTradeHistory WHERE nPlayUserId >= 9001");
    if (result == 0) {
      EXPECT_EQ(0, friendship + trades) << "an ended friendship left rows";
    } else {
      EXPECT_EQ(1, friendship) << "a failed end of friendship took the friendship";
      EXPECT_EQ(2, trades) << "a failed end of friendship took trades";
    }
    db_->Exec("DELETE FROM tblFriend WHERE nUserId = 9001");
    db_->Exec("DELETE FROM tblFriendTradeHistory WHERE nPlayUserId >= 9001");
  }

  // Rounds with the n-th write failing, n = 1, 2, ... until a round runs
  // without reaching its failing write; then rounds without faults.
  void TearWritesOneByOne(int error) {
    FaultyVfs::Install();
    db::CloseIdleConnections();
    std::mt19937_64 random(7);
    int rounds = 0;
    for (int nth = 1; nth < 1000; ++nth) {
      const auto begin = MixedLoad::Clock::now();
      FaultyVfs::Arm(nth, error);
      Round(*load_, random);
      ChurnRound();
      const bool fired = FaultyVfs::Disarm();
      load_->MarkTrouble(begin, MixedLoad::Clock::now());
      ++rounds;
      if (!fired) break;
    }
    EXPECT_LT(rounds, 999) << "a round's writes never ran out";
    EXPECT_GT(rounds, 20) << "too few writes were torn to cover a round";
    ExpectNoViolations(*load_, /*strict=*/true);
    for (int i = 0; i < 3; ++i) ExpectAllSucceed(Round(*load_, random));
    ChurnRound();
    db::CloseIdleConnections();
    FaultyVfs::Remove();
    ExpectNoViolations(*load_, /*strict=*/true);
    const std::string integrity =
        db_->Query("PRAGMA integrity_check").at(0).at(0).value_or("");
    EXPECT_EQ("ok", integrity);
  }

  std::unique_ptr<ScopedTempDir> dir_;
  std::unique_ptr<TestDatabase> db_;
  std::unique_ptr<MixedLoad> load_;
};

TEST_F(SqliteFaults, TornWritesLeaveNothingHalfWritten) { TearWritesOneByOne(SQLITE_IOERR_WRITE); }

TEST_F(SqliteFaults, FullDiskLeavesNothingHalfWritten) { TearWritesOneByOne(SQLITE_FULL); }

TEST_F(SqliteFaults, FailingAllocationsLeaveNothingHalfWritten) {
  std::mt19937_64 random(11);
  for (int64_t headroom = 0; headroom <= 96 * 1024; headroom += 1024) {
    const auto begin = MixedLoad::Clock::now();
    sqlite3_hard_heap_limit64(sqlite3_memory_used() + headroom);
    Round(*load_, random);
    sqlite3_hard_heap_limit64(0);
    ChurnRound();
    load_->MarkTrouble(begin, MixedLoad::Clock::now());
  }
  int64_t failed = 0;
  for (const auto& [kind, tally] : load_->Tally()) failed += tally.second;
  EXPECT_GT(failed, 20) << "too few requests met a failing allocation";
  ExpectNoViolations(*load_, /*strict=*/true);
  ExpectAllSucceed(Round(*load_, random));
  ExpectNoViolations(*load_, /*strict=*/true);
}

// Runs `body` in a child process, as an unprivileged user when this one is
// root (root may write any file); its text comes back through a pipe.
std::string RunInChild(const std::function<std::string()>& body) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    const std::string text = body();
    size_t written = 0;
    while (written < text.size()) {
      const ssize_t n = write(pipe_fds[1], text.data() + written, text.size() - written);
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof(buffer))) > 0) text.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "\nchild failed";
  return text;
}

// The outcome of every kind, one line each: "<kind> <ok>".
std::string OutcomeLines(const std::vector<LoadOutcome>& outcomes) {
  std::string lines;
  for (const LoadOutcome& outcome : outcomes) {
    lines += std::string(LoadKindName(outcome.kind)) + (outcome.ok ? " ok\n" : " failed\n");
  }
  return lines;
}

std::string ExpectedLines(const std::vector<LoadKind>& failing) {
  std::string lines;
  for (LoadKind kind : kAllKinds) {
    const bool fails = std::find(failing.begin(), failing.end(), kind) != failing.end();
    lines += std::string(LoadKindName(kind)) + (fails ? " failed\n" : " ok\n");
  }
  return lines;
}

// Every change is refused and the file stays as it was, byte for byte;
// reads still answer, 1620 among them, whose messages stay unread. A WAL database is read through its
// shared-memory file, which another connection (the test's own) keeps.
TEST_F(SqliteFaults, ReadOnlyFileRefusesEveryChange) {
  for (const char* journal : {"DELETE", "WAL"}) {
    SCOPED_TRACE(journal);
    std::mt19937_64 random(3);
    // Messages waiting, so that 1620 has something to mark read.
    for (int i = 0; i < 4; ++i) load_->RunKind(0, LoadKind::kMessage, random);
    db::CloseIdleConnections();
    db_->Exec(std::string("PRAGMA journal_mode=") + journal);
    const std::string path = SqlitePath(*db_);
    const std::string folder = path.substr(0, path.rfind('/'));
    const std::string before = FileBytes(path);
    ASSERT_EQ(0, chmod(path.c_str(), 0444));
    ASSERT_EQ(0, chmod(folder.c_str(), 0555));
    ASSERT_EQ(0, chmod(dir_->path().c_str(), 0777));  // the error log

    const std::string lines = RunInChild([&] {
      std::mt19937_64 child_random(5);
      return OutcomeLines(Round(*load_, child_random));
    });
    chmod(folder.c_str(), 0700);
    chmod(path.c_str(), 0644);
    const std::vector<LoadKind> changes = {LoadKind::kMessage,    LoadKind::kTrade,
                                           LoadKind::kQuotaGrant, LoadKind::kTimeGrant,
                                           LoadKind::kEndStrangers};
    EXPECT_EQ(ExpectedLines(changes), lines);
    EXPECT_TRUE(before == FileBytes(path)) << "the read-only file changed";
    EXPECT_NE(std::string::npos, dir_->ReadFile("ZelvarError.log").find("readonly"))
        << "no error-log record names the cause";
    ExpectNoViolations(*load_, /*strict=*/true);
  }
  std::mt19937_64 random(9);
  ExpectAllSucceed(Round(*load_, random));
  ExpectNoViolations(*load_, /*strict=*/true);
}

// Another process holds the write lock past the busy timeout: every change
// fails whole and in bounded time, reads go on (1620 among them, which
// hands its messages out unmarked), and once the lock is gone every
// request succeeds.
TEST_F(SqliteFaults, DatabaseLockedByAnotherProcess) {
  int locked[2], release[2];
  ASSERT_EQ(0, pipe(locked));
  ASSERT_EQ(0, pipe(release));
  const std::string path = SqlitePath(*db_);
  const pid_t holder = fork();
  if (holder == 0) {
    close(locked[0]);
    close(release[1]);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
      _exit(1);
    }
    if (write(locked[1], "L", 1) != 1) _exit(1);
    char ignored;
    while (read(release[0], &ignored, 1) > 0) {
    }
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    _exit(0);
  }
  close(locked[1]);
  close(release[0]);
  char signal = 0;
  ASSERT_EQ(1, read(locked[0], &signal, 1));

  const auto begin = MixedLoad::Clock::now();
  // Each kind on a thread of its own, so the waits overlap.
  std::vector<LoadOutcome> outcomes(std::size(kAllKinds));
  std::vector<double> seconds(std::size(kAllKinds));
  MixedLoad* threaded = load_.get();
  std::vector<std::thread> threads;
  for (size_t i = 0; i < std::size(kAllKinds); ++i) {
    threads.emplace_back([&, i] {
      std::mt19937_64 random(i);
      const auto start = MixedLoad::Clock::now();
      outcomes[i] = threaded->RunKind(static_cast<int>(i), kAllKinds[i], random);
      seconds[i] = std::chrono::duration<double>(MixedLoad::Clock::now() - start).count();
    });
  }
  for (std::thread& thread : threads) thread.join();
  close(release[1]);
  int status = 0;
  waitpid(holder, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  threaded->MarkTrouble(begin, MixedLoad::Clock::now());

  // 1550 answers 0 whatever happens to its rows; none may be stored.
  const std::vector<LoadKind> changes = {LoadKind::kMessage,    LoadKind::kTrade,
                                         LoadKind::kQuotaGrant, LoadKind::kTimeGrant,
                                         LoadKind::kEndStrangers};
  EXPECT_EQ(ExpectedLines(changes), OutcomeLines(outcomes));
  for (size_t i = 0; i < seconds.size(); ++i) {
    EXPECT_LT(seconds[i], kAllKinds[i] == LoadKind::kReadMessages ? 5 : 60)
        << LoadKindName(kAllKinds[i]) << " waited without end";
  }
  EXPECT_EQ(0, db_->QueryInt("SELECT COUNT(*) FROM tblInviteRecord"));
  ExpectNoViolations(*threaded, /*strict=*/true);

  std::mt19937_64 random(13);
  std::vector<LoadOutcome> after;
  for (size_t i = 0; i < std::size(kAllKinds); ++i) {
    after.push_back(threaded->RunKind(static_cast<int>(i), kAllKinds[i], random));
  }
  ExpectAllSucceed(after);
  ExpectNoViolations(*threaded, /*strict=*/true);
}

// Another connection holds the write lock: 1620 still hands out the
// messages at once, leaves them unread, and delivers and marks them again
// once the lock is gone.
TEST_F(SqliteFaults, UnreadMessagesComeWhileTheWriteLockIsHeldElsewhere) {
  const int user = static_cast<int>(db_->QueryInt("SELECT MIN(nId) FROM tblUser"));
  const std::string unread = "SELECT COUNT(*) FROM tblUserMsg WHERE nRead = 0 AND nUserId = " +
                             std::to_string(user);
  for (const char* content : {"'first'", "'second'"}) {
    db_->Exec("INSERT INTO tblUserMsg (nUserId, sContent, tAddTime, nRead, nFromUserId, nAll) "
              "VALUES (" + std::to_string(user) + ", " + content +
              ", '2011-05-03 09:05:07', 0, 1, 0)");
  }
  db_->Exec("BEGIN IMMEDIATE");
  const auto start = MixedLoad::Clock::now();
  Reply reply = QueryFriendData(user, 1620);
  const double seconds =
      std::chrono::duration<double>(MixedLoad::Clock::now() - start).count();
  EXPECT_EQ(0, reply.result);
  EXPECT_EQ(2, reply.Int(10000));
  EXPECT_LT(seconds, 5) << "1620 waited for the write lock";
  EXPECT_EQ(2, db_->QueryInt(unread)) << "marked read under another's write lock";
  db_->Exec("ROLLBACK");

  reply = QueryFriendData(user, 1620);
  EXPECT_EQ(0, reply.result);
  EXPECT_EQ(2, reply.Int(10000)) << "the unmarked messages did not come again";
  EXPECT_EQ(0, db_->QueryInt(unread));
  EXPECT_EQ(0, QueryFriendData(user, 1620).Int(10000));
}

int OpenFailureRecords(const ScopedTempDir& dir) {
  const std::string log = dir.ReadFile("ZelvarError.log");
  const std::string record = ToNarrow(db::kOpenFailedText);
  int count = 0;
  for (size_t at = log.find(record); at != std::string::npos; at = log.find(record, at + 1)) {
    ++count;
  }
  return count;
}

bool Exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

// The database file is replaced (a restore from a backup), moved aside or
// removed under a warm pool, one connection leased meanwhile: requests
// then work on the file at the path, or fail as an open failure when
// there is none; nothing of the old file reaches the new one, the file
// moved aside keeps every write made to it, and no file of the old
// database is left beside the path for a later restore to meet.
TEST_F(SqliteFaults, DatabaseFileReplacedMovedAsideOrRemoved) {
  const std::string path = SqlitePath(*db_);
  const std::string copy = dir_->path() + "/backup.db";
  const std::string aside = dir_->path() + "/aside.db";
  const int from = static_cast<int>(db_->QueryInt("SELECT MIN(nUserId) FROM tblFriend"));
  const int to = static_cast<int>(
      db_->QueryInt("SELECT nFriendId FROM tblFriend WHERE nUserId = " + std::to_string(from)));
  const std::string count_of = "SELECT COUNT(*) FROM tblUserMsg WHERE sContent = ";

  // A backup holding one message that the live file does not.
  db_->Exec("INSERT INTO tblUserMsg (nUserId, sContent, tAddTime, nRead, nFromUserId, nAll) "
            "VALUES (" + std::to_string(to) + ", 'restored', '2011-05-03 09:05:07', 0, " +
            std::to_string(from) + ", 0)");
  db_->Exec("VACUUM INTO '" + copy + "'");
  db_->Exec("DELETE FROM tblUserMsg");

  // Four pooled connections, each of which wrote to the live file; one of
  // them stays leased.
  const std::string text = *CurrentConnectionString();
  const auto warm = [&](const char* content) {
    std::vector<db::Lease> leases;
    for (int i = 0; i < 4; ++i) {
      db::Status error = db::Pool::Instance().Acquire(text, false, &leases.emplace_back());
      if (!leases.back()) {
        ADD_FAILURE() << ToNarrow(error.text());
        return db::Lease();
      }
      const db::Sql insert(
          "INSERT INTO tblUserMsg (nUserId, sContent, tAddTime, nRead, nFromUserId, nAll) "
          "VALUES (%d, '%s', '2011-05-03 09:05:07', 0, %d, 0)",
          {db::SqlValue::Integer(to), db::SqlValue::Text(ToWide(content)),
           db::SqlValue::Integer(from)});
      EXPECT_TRUE((error = leases.back()->Run(insert, nullptr)).ok()) << ToNarrow(error.text());
    }
    return std::move(leases.back());
  };

  {
    SCOPED_TRACE("replaced");
    db::Lease held = warm("before");
    ASSERT_EQ(0, rename(copy.c_str(), path.c_str()));
    EXPECT_EQ(0, SendMessage(from, to, u"after"));
    const Reply reply = QueryFriendData(to, 1620);
    EXPECT_EQ(0, reply.result);
    std::vector<std::u16string> contents;
    for (int m = 1; m <= reply.Int(10000).value_or(0); ++m) {
      contents.push_back(reply.Text(static_cast<short>(10000 + 100 * m + 3)).value_or(u"?"));
    }
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ((std::vector<std::u16string>{u"after", u"restored"}), contents);
    held.Release();
    EXPECT_EQ(1u, db::Pool::Instance().IdleCount(text)) << "a connection to the old file was kept";
    db::CloseIdleConnections();
    auto file = TestDatabase::Attach(Backend::kSqlite, text);
    ASSERT_NE(nullptr, file);
    EXPECT_EQ("ok", file->Query("PRAGMA integrity_check").at(0).at(0).value_or(""));
    EXPECT_EQ(0, file->QueryInt(count_of + "'before'")) << "the old file's rows reached the new";
    EXPECT_EQ(1, file->QueryInt(count_of + "'after'"));
    EXPECT_EQ(1, file->QueryInt(count_of + "'restored'"));
    file.reset();
    db_->Use();  // the check on the module's own string gave that string up
  }
  {
    SCOPED_TRACE("moved aside");
    db::Lease held = warm("moved");
    ASSERT_EQ(0, rename(path.c_str(), aside.c_str()));
    const int records = OpenFailureRecords(*dir_);
    EXPECT_EQ(-1, SendMessage(from, to, u"lost"));
    EXPECT_EQ(records + 1, OpenFailureRecords(*dir_));
    held.Release();
    EXPECT_FALSE(Exists(path + "-wal") || Exists(path + "-shm")) << "the old files stay beside";
    auto file = TestDatabase::Attach(Backend::kSqlite, "Provider=SQLite;Data Source=" + aside);
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(4, file->QueryInt(count_of + "'moved'")) << "writes left out of the moved file";
  }
  {
    SCOPED_TRACE("removed");
    ASSERT_EQ(0, rename(aside.c_str(), path.c_str()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the pool's connect back-off
    db::Lease held = warm("removed");
    ASSERT_EQ(0, unlink(path.c_str()));
    const int records = OpenFailureRecords(*dir_);
    const Reply reply = QueryFriendData(to, 1620);
    EXPECT_EQ(-1, reply.result);
    EXPECT_EQ(records + 1, OpenFailureRecords(*dir_));
    held.Release();
    EXPECT_FALSE(Exists(path + "-wal") || Exists(path + "-shm")) << "the old files stay beside";
  }
}

}  // namespace
}  // namespace zelvar::test
