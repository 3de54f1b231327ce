// The fuzzers' database, seed rows and logger.

#include "fuzz_world.h"

#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "db/runner.h"
#include "kit/schema.h"
#include "kit/world.h"
#include "zelvar/zelvar.h"

namespace zelvar::fuzz {
namespace {

// The log files grow with every failed statement and every logged
// invitation; past this they are emptied at the next reset.
constexpr uint64_t kLogFileLimit = 1 << 20;

// Fixed times, so that every run sees the same rows: goods due in 2030 are
// still owned, those due in 2011 have expired.
std::vector<kit::Player> SeedPlayers() {
  return {{1, "lina", "琳娜", 0, "Face:1;Hair:2;Speak:0,2,0,0,0,0,0,0,0,0;", true, 42},
          {2, "mira", "Mira", 0, "Face:3;Hair:1;", false, 37},
          {3, "kai", "凯", 1, "Speak:1,2,3,4,5,6,7,8,9;", true, 51},
          {4, "bochen", "陈博", 1, "X:1;Speak:1,2", true, 29},
          {5, "yue", "月儿", 0, std::nullopt, false, 33},
          {6, "ayla", "Ayla", 0, "", true, 45},
          {7, "o'brien", "O'Brien", 1, "A:1;Speak:1,2,3,4,5,6,7,8,9,10;B:2;", true, 18},
          {8, "关羽", "关羽🐉", 1, "Face:9;", std::nullopt, std::nullopt}};
}

std::vector<kit::Friendship> SeedFriendships() {
  return {{1, 1, 2}, {2, 3, 1}, {3, 1, 4}, {4, 2, 3},  {5, 5, 1},  {6, 1, 1},
          {7, 6, 7}, {8, 1, 9}, {9, 2, 1}, {10, 7, 8}, {11, 8, 1}};
}

std::vector<kit::Trade> SeedTrades() {
  return {{1, 1, 2, 501, "2011-05-03 09:05:07", 10},
          {2, 3, 1, 502, "2012-01-01 00:00:00", 10},
          {3, 1, 4, 503, "2011-05-03 09:05:07", 10},
          {4, 2, 3, 504, "2020-02-29 23:59:59", 10},
          {5, 1, 1, 505, "yesterday", 10}};
}

std::vector<kit::TradeItem> SeedItems() {
  return {{1, "玫瑰", "一朵红玫瑰", 10, "rose.png", 12.5, -4},
          {2, "Teddy bear", "A soft bear; waits, by the door", 30, "teddy.png", 0, 14.5},
          {3, "Coffee", std::nullopt, 5, "", 0.1, 1e10}};
}

std::vector<kit::Message> SeedMessages() {
  return {{1, 1, "今晚八点一起打副本吗？", "2011-05-03 09:05:07", 0, 2, 0},
          {2, 1, "Thanks for the rose! 🌹", "2011-05-04 10:00:00", 0, 3, 0},
          {3, 1, "old news", "2011-05-01 08:00:00", 1, 4, 0},
          {4, 2, std::nullopt, "2011-05-05 11:11:11", 0, 1, 0},
          {5, 3, "see you", "2011-05-06 12:12:12", 0, 2, 0}};
}

std::vector<kit::Goods> SeedGoods() {
  constexpr char kAdded[] = "2011-05-01 08:00:00";
  constexpr char kColor[] = "L:0;S:0;R:0;G:0;B:0";
  return {{1, 1, 1, 1001, kAdded, "2030-01-01 00:00:00", 0, 0, 1, std::nullopt},
          {2, 2, 1, 2002, kAdded, "2050-01-01 00:00:00", 0, 0, 0, std::nullopt},
          {3, 3150, 1, 3150, kAdded, "2050-10-12 19:02:00", 2, 1, 0, kColor},
          {4, 1, 2, 1003, kAdded, "2011-05-10 12:00:00", 0, 0, 0, std::nullopt},
          {5, 1, 2, 1003, kAdded, "not a time", 0, 0, 0, std::nullopt},
          {6, 3100, 4, 3100, kAdded, "2050-10-12 19:02:00", 1, 1, 0, kColor}};
}

std::vector<kit::InvitationRow> SeedInvitations() {
  return {{1, 1, 1, "LINA-7Q2M", "wen.li@example.com", 1, "2011-05-01 08:00:00", 3, "大学室友", 1}};
}

// Empties the tables and plants the seed, in one transaction.
bool PlantSeed(kit::RawDb* db, std::string* error) {
  kit::Seeder seeder(db);
  if (!db->Begin(error)) return false;
  if (seeder.Clear(error) && seeder.Plant(SeedPlayers(), error) &&
      seeder.Plant(SeedFriendships(), error) && seeder.Plant(SeedTrades(), error) &&
      seeder.Plant(SeedItems(), error) && seeder.Plant(SeedMessages(), error) &&
      seeder.Plant(SeedGoods(), error) && seeder.Plant(SeedInvitations(), error)) {
    return db->Commit(error);
  }
  db->Rollback();
  return false;
}

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "fuzz world: %s\n", why.c_str());
  std::_Exit(1);
}

// A memory-backed folder when there is one: the fuzzers write to the
// database at every input.
std::string MakeFolder() {
  std::string base = "/dev/shm";
  if (access(base.c_str(), W_OK) != 0) base = std::filesystem::temp_directory_path().string();
  std::string path = base + "/zelvar-fuzz-XXXXXX";
  if (mkdtemp(path.data()) == nullptr) Die("no temporary folder");
  return path;
}

uint64_t FileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

// The module's pooled connections go before their folder does.
void Cleanup() {
  World& world = World::Get();
  db::CloseIdleConnections();
  std::error_code ignored;
  std::filesystem::remove_all(world.folder(), ignored);
}

}  // namespace

World& World::Get() {
  static World* world = [] {
    auto* made = new World;
    if (!made->Build()) Die("the database could not be made");
    std::atexit(Cleanup);
    return made;
  }();
  return *world;
}

World::InFolder::InFolder(World& world) : previous_(open(".", O_RDONLY | O_DIRECTORY)) {
  if (previous_ < 0 || chdir(world.folder_.c_str()) != 0) Die("can't enter " + world.folder_);
}

World::InFolder::~InFolder() {
  if (fchdir(previous_) != 0) Die("can't go back to the starting directory");
  close(previous_);
}

bool World::Build() {
  folder_ = MakeFolder();
  database_path_ = folder_ + "/world.db";
  std::string error;
  db_ = kit::CreateSqliteDatabase(database_path_, &error);
  if (db_ == nullptr) Die(error);
  // Memory-backed and thrown away: durability buys nothing here.
  Exec("PRAGMA synchronous=OFF");

  static CTool logger(&World::CollectLine, this);
  OpenLog(reinterpret_cast<intptr_t>(&logger));
  std::string connection = "Provider=SQLite;Data Source=" + database_path_;
  char* text = connection.data();
  {
    InFolder here(*this);
    if (OpenDBFriend(&text) != 0) return false;
  }
  planted_ = true;
  Reset();
  return true;
}

uint64_t World::DataVersion() {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db(), "PRAGMA data_version", -1, &statement, nullptr);
  uint64_t version = 0;
  if (sqlite3_step(statement) == SQLITE_ROW) {
    version = static_cast<uint64_t>(sqlite3_column_int64(statement, 0));
  }
  sqlite3_finalize(statement);
  return version;
}

void World::Reset() {
  lines_.clear();
  // data_version moves when another connection (the module's) commits.
  if (planted_ || DataVersion() != clean_version_) {
    std::string error;
    if (!PlantSeed(db_.get(), &error)) {
      std::fprintf(stderr, "fuzz world: %s\n", error.c_str());
      __builtin_trap();
    }
    planted_ = false;
    clean_version_ = DataVersion();
  }
  for (const char* name : {"/ZelvarError.log", "/ZelvarSQL.log"}) {
    const std::string path = folder_ + name;
    if (FileSize(path) > kLogFileLimit) std::filesystem::resize_file(path, 0);
  }
}

void World::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db(), sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::fprintf(stderr, "fuzz world: %s\n", message != nullptr ? message : "statement failed");
    sqlite3_free(message);
    __builtin_trap();
  }
}

int64_t World::QueryInt(const char* sql, const std::string* bound) {
  sqlite3_stmt* statement = nullptr;
  Check(sqlite3_prepare_v2(db(), sql, -1, &statement, nullptr) == SQLITE_OK);
  if (bound != nullptr) {
    sqlite3_bind_text(statement, 1, bound->data(), static_cast<int>(bound->size()),
                      SQLITE_TRANSIENT);
  }
  int64_t value = 0;
  const int rc = sqlite3_step(statement);
  Check(rc == SQLITE_ROW || rc == SQLITE_DONE);
  if (rc == SQLITE_ROW) value = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  return value;
}

std::string World::QueryText(const char* sql) {
  sqlite3_stmt* statement = nullptr;
  Check(sqlite3_prepare_v2(db(), sql, -1, &statement, nullptr) == SQLITE_OK);
  std::string value;
  const int rc = sqlite3_step(statement);
  Check(rc == SQLITE_ROW || rc == SQLITE_DONE);
  if (rc == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    if (text != nullptr) {
      value.assign(reinterpret_cast<const char*>(text),
                   static_cast<size_t>(sqlite3_column_bytes(statement, 0)));
    }
  }
  sqlite3_finalize(statement);
  return value;
}

uint64_t World::ErrorLogSize() const { return FileSize(folder_ + "/ZelvarError.log"); }
uint64_t World::SqlLogSize() const { return FileSize(folder_ + "/ZelvarSQL.log"); }

void World::CollectLine(void* context, int level, const char* line) {
  static_cast<World*>(context)->lines_.emplace_back(line);
}

void Trace(const char* format, ...) {
  static const bool enabled = std::getenv("ZELVAR_FUZZ_TRACE") != nullptr;
  if (!enabled) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

}  // namespace zelvar::fuzz

// A crash inside a request happens while the world's folder is the current
// directory, and libFuzzer writes the crashing input relative to it unless
// told otherwise: point the default at the directory the fuzzer started in.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp((*argv)[i], "-artifact_prefix=", 17) == 0) return 0;
  }
  static std::string prefix = "-artifact_prefix=" + std::filesystem::current_path().string() + "/";
  static std::vector<char*> arguments;
  arguments.assign(*argv, *argv + *argc);
  arguments.push_back(prefix.data());
  arguments.push_back(nullptr);
  *argv = arguments.data();
  *argc += 1;
  return 0;
}
