// The world the request fuzzers run in: a temporary folder (in memory when
// /dev/shm is there) holding an SQLite database built from
// schema/sqlite.sql and a small seed of players, friendships, trades,
// items, messages, goods and invitations; the module pointed at it through
// OpenDBFriend; and a logger that collects the module's lines.
//
// The folder is the current directory only while a request runs (the
// module writes its log files there); between inputs the directory is the
// one the fuzzer started in, so relative corpus paths keep working.
//
// Reset() puts the seed rows back before each input, so every input meets
// the same database however much the ones before it wrote. The world also
// keeps a raw sqlite3 connection of its own (the test kit's), to plant rows
// and to check what the module wrote without going through the module's
// own reading code. The seed is planted through the kit's seeder.
//
// One thread: libFuzzer calls the target on one thread per process.
#ifndef ZELVAR_FUZZ_FUZZ_WORLD_H_
#define ZELVAR_FUZZ_FUZZ_WORLD_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kit/raw_db.h"
#include "kit/text.h"

namespace zelvar::fuzz {

// Players of the seed have the ids 1 to kSeedPlayers; ids just above are
// free for rows the fuzzers plant.
inline constexpr int kSeedPlayers = 8;

// Traps: a broken promise of the module must stop the fuzzer, with an
// input to replay.
inline void Check(bool condition) {
  if (!condition) __builtin_trap();
}

class World {
 public:
  // The process's world, made on first use. Exits the process when it
  // can't be made (a fuzzer without its database finds nothing).
  static World& Get();

  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // Restores the seed rows when the database changed since the last reset,
  // keeps the log files bounded and forgets the logged lines.
  void Reset();

  // The raw connection (not the module's).
  sqlite3* db() { return db_->handle(); }

  // Runs `sql` on the raw connection; traps on failure.
  void Exec(const char* sql);
  // The first column of the first row as an integer (0 without a row).
  // `bound`, when given, is bound as UTF-8 text to the statement's "?".
  int64_t QueryInt(const char* sql, const std::string* bound = nullptr);
  // The first column of the first row as UTF-8 bytes (empty without one).
  std::string QueryText(const char* sql);

  // Lines the module handed to the logger since the last reset (UTF-8).
  const std::vector<std::string>& logged_lines() const { return lines_; }

  // Bytes in ZelvarError.log and ZelvarSQL.log now.
  uint64_t ErrorLogSize() const;
  uint64_t SqlLogSize() const;

  // Moves whenever a connection other than the raw one (the module's)
  // commits a change.
  uint64_t DataVersion();

  const std::string& folder() const { return folder_; }

  // The world's folder is the current directory while one lives.
  class InFolder {
   public:
    explicit InFolder(World& world);
    ~InFolder();
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

   private:
    int previous_;
  };

 private:
  World() = default;
  bool Build();
  static void CollectLine(void* context, int level, const char* line);

  std::string folder_;
  std::string database_path_;
  std::unique_ptr<kit::SqliteDb> db_;
  uint64_t clean_version_ = 0;
  bool planted_ = false;
  std::vector<std::string> lines_;

  friend class Planter;
};

// Marks the world dirty before rows are planted on its raw connection, so
// the next reset restores the seed.
class Planter {
 public:
  explicit Planter(World& world) : world_(world) { world_.planted_ = true; }
  sqlite3* db() { return world_.db(); }

 private:
  World& world_;
};

// With ZELVAR_FUZZ_TRACE set, a line on standard error for each request,
// to see what a replayed input did.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text checks written apart from the module's own conversion (kit/text.h).
using kit::IsUtf8;
using kit::Utf8Of;

}  // namespace zelvar::fuzz

#endif  // ZELVAR_FUZZ_FUZZ_WORLD_H_
