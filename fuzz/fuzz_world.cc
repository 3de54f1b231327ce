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
#include <fstream>
#include <memory>
#include <sstream>

#include "db/runner.h"
#include "zelvar/zelvar.h"

namespace zelvar::fuzz {
namespace {

// The log files grow with every failed statement and every logged
// invitation; past this they are emptied at the next reset.
constexpr uint64_t kLogFileLimit = 1 << 20;

// Fixed times, so that every run sees the same rows: goods due in 2030 are
// still owned, those due in 2011 have expired.
constexpr char kSeed[] = R"sql(
INSERT INTO tblUser (nId, sUsername, sNick, nSex, sFacePic, bLogined, nLevel) VALUES
  (1, 'lina', '琳娜', 0, 'Face:1;Hair:2;Speak:0,2,0,0,0,0,0,0,0,0;', 1, 42),
  (2, 'mira', 'Mira', 0, 'Face:3;Hair:1;', 0, 37),
  (3, 'kai', '凯', 1, 'Speak:1,2,3,4,5,6,7,8,9;', 1, 51),
  (4, 'bochen', '陈博', 1, 'X:1;Speak:1,2', 1, 29),
  (5, 'yue', '月儿', 0, NULL, 0, 33),
  (6, 'ayla', 'Ayla', 0, '', 1, 45),
  (7, 'o''brien', 'O''Brien', 1, 'A:1;Speak:1,2,3,4,5,6,7,8,9,10;B:2;', 1, 18),
  (8, '关羽', '关羽🐉', 1, 'Face:9;', NULL, NULL);
INSERT INTO tblFriend (nId, nUserId, nFriendId) VALUES
  (1, 1, 2), (2, 3, 1), (3, 1, 4), (4, 2, 3), (5, 5, 1), (6, 1, 1), (7, 6, 7), (8, 1, 9),
  (9, 2, 1), (10, 7, 8), (11, 8, 1);
INSERT INTO tblFriendTradeHistory (nId, nPlayUserId, nPlayedUserId, nPlayId, tTime, tDuration) VALUES
  (1, 1, 2, 501, '2011-05-03 09:05:07', 10),
  (2, 3, 1, 502, '2012-01-01 00:00:00', 10),
  (3, 1, 4, 503, '2011-05-03 09:05:07', 10),
  (4, 2, 3, 504, '2020-02-29 23:59:59', 10),
  (5, 1, 1, 505, 'yesterday', 10);
INSERT INTO tblFriendTradeItem (nId, sTradeName, sTradeDesc, nPacificate, sTradeImage, nHeadX, nHeadY) VALUES
  (1, '玫瑰', '一朵红玫瑰', 10, 'rose.png', 12.5, -4),
  (2, 'Teddy bear', 'A soft bear; waits, by the door', 30, 'teddy.png', 0, 14.5),
  (3, 'Coffee', NULL, 5, '', 0.1, 1e10);
INSERT INTO tblUserMsg (nId, nUserId, sContent, tAddTime, nRead, nFromUserId, nAll) VALUES
  (1, 1, '今晚八点一起打副本吗？', '2011-05-03 09:05:07', 0, 2, 0),
  (2, 1, 'Thanks for the rose! 🌹', '2011-05-04 10:00:00', 0, 3, 0),
  (3, 1, 'old news', '2011-05-01 08:00:00', 1, 4, 0),
  (4, 2, NULL, '2011-05-05 11:11:11', 0, 1, 0),
  (5, 3, 'see you', '2011-05-06 12:12:12', 0, 2, 0);
INSERT INTO tblUserGoods (nId, nType, nUserId, nGoodsId, tAddTime, tDueTime, nBuyDay, nLevel, nUsing, sHeadColor) VALUES
  (1, 1, 1, 1001, '2011-05-01 08:00:00', '2030-01-01 00:00:00', 0, 0, 1, NULL),
  (2, 2, 1, 2002, '2011-05-01 08:00:00', '2050-01-01 00:00:00', 0, 0, 0, NULL),
  (3, 3150, 1, 3150, '2011-05-01 08:00:00', '2050-10-12 19:02:00', 2, 1, 0, 'L:0;S:0;R:0;G:0;B:0'),
  (4, 1, 2, 1003, '2011-05-01 08:00:00', '2011-05-10 12:00:00', 0, 0, 0, NULL),
  (5, 1, 2, 1003, '2011-05-01 08:00:00', 'not a time', 0, 0, 0, NULL),
  (6, 3100, 4, 3100, '2011-05-01 08:00:00', '2050-10-12 19:02:00', 1, 1, 0, 'L:0;S:0;R:0;G:0;B:0');
INSERT INTO tblInviteRecord (nId, nUserid, nGroup, sInviteCode, sInvitedEmail, nState, tAddtime, nZoneId, sNote, nReply) VALUES
  (1, 1, 1, 'LINA-7Q2M', 'wen.li@example.com', 1, '2011-05-01 08:00:00', 3, '大学室友', 1);
)sql";

constexpr const char* kTables[] = {"tblUser",    "tblFriend",      "tblFriendTradeHistory",
                                   "tblFriendTradeItem", "tblUserMsg", "tblUserGoods",
                                   "tblInviteRecord"};

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "fuzz world: %s\n", why.c_str());
  std::_Exit(1);
}

std::string SourceDir() {
  if (const char* dir = std::getenv("ZELVAR_SOURCE_DIR")) return dir;
  return ZELVAR_SOURCE_DIR;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
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
  const std::string schema = ReadWholeFile(SourceDir() + "/schema/sqlite.sql");
  if (schema.empty()) Die("schema/sqlite.sql not found under " + SourceDir());

  if (sqlite3_open_v2(database_path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK) {
    return false;
  }
  sqlite3_busy_timeout(db_, 5000);
  if (sqlite3_exec(db_, schema.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  // Memory-backed and thrown away: durability buys nothing here.
  sqlite3_exec(db_, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);

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
  sqlite3_prepare_v2(db_, "PRAGMA data_version", -1, &statement, nullptr);
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
    std::string script = "BEGIN;";
    for (const char* table : kTables) script += std::string("DELETE FROM ") + table + ";";
    script += "DELETE FROM sqlite_sequence;";
    script += kSeed;
    script += "COMMIT;";
    Exec(script.c_str());
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
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::fprintf(stderr, "fuzz world: %s\n", message != nullptr ? message : "statement failed");
    sqlite3_free(message);
    __builtin_trap();
  }
}

int64_t World::QueryInt(const char* sql, const std::string* bound) {
  sqlite3_stmt* statement = nullptr;
  Check(sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) == SQLITE_OK);
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
  Check(sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) == SQLITE_OK);
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

bool IsUtf8(const std::string& bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    size_t extra;
    uint32_t code_point;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
      code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      code_point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      code_point = lead & 0x07;
    } else {
      return false;
    }
    if (i + extra >= bytes.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code_point = (code_point << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if ((extra == 2 && code_point < 0x800) || (extra == 3 && code_point < 0x10000) ||
        (code_point >= 0xD800 && code_point <= 0xDFFF) || code_point > 0x10FFFF) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

std::string Utf8Of(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = '?';
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
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
