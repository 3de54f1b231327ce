// The benchmarks' world: a database of its own with the schema and a big
// seeded world, planted through the test kit.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "bench_support.h"
#include "db/current_connection.h"
#include "db/runner.h"
#include "kit/raw_db.h"
#include "kit/schema.h"
#include "kit/world.h"
#include "zelvar/zelvar.h"

namespace zelvar::bench {

const char* BackendName(Backend backend) {
  switch (backend) {
    case Backend::kSqlite:
      return "SQLite";
    case Backend::kPostgres:
      return "PostgreSQL";
    default:
      return "MariaDB";
  }
}

namespace world {

int FriendPlayer(int friends) {
  switch (friends) {
    case 1:
      return 1;
    case 10:
      return 2;
    case 100:
      return 3;
    default:
      return 4;
  }
}

int TradePlayer(int trades) {
  switch (trades) {
    case 5:
      return 10;
    case 50:
      return 11;
    default:
      return 12;
  }
}

std::string UserName(int id) { return "user" + std::to_string(id); }

}  // namespace world

namespace {

using namespace world;

std::string Two(int n) { return (n < 10 ? "0" : "") + std::to_string(n); }

std::vector<kit::Player> Players() {
  std::vector<kit::Player> players;
  for (int id = 1; id <= kUsers; ++id) {
    players.push_back({id, UserName(id), "Nick " + std::to_string(id), id % 2,
                       "A:1;face" + std::to_string(id) + ".png", id % 3 == 0, id % 50});
  }
  return players;
}

std::vector<kit::Friendship> Friendships() {
  std::vector<kit::Friendship> friendships;
  const auto befriend = [&](int a, int b) {
    // Either side may hold the player.
    friendships.push_back((a + b) % 2 == 0 ? kit::Friendship{0, a, b} : kit::Friendship{0, b, a});
  };
  int next_friend = 1001;
  for (int count : {1000, 100, 10, 1}) {
    for (int i = 0; i < count; ++i) befriend(FriendPlayer(count), next_friend++);
  }
  befriend(kSender, kRecipient);
  befriend(kLeaving, kLeft);
  for (int t = 0; t < 16; ++t) {
    for (int i = 0; i < 10; ++i) befriend(kThreadPlayers + t, 2300 + 10 * t + i);
  }
  return friendships;
}

std::vector<kit::Trade> Trades() {
  std::vector<kit::Trade> trades;
  for (int count : {5, 50, 500}) {
    const int player = TradePlayer(count);
    for (int i = 0; i < count; ++i) {
      const int partner = 100 + i % 7;
      const std::string when = "2024-" + Two(1 + i % 12) + "-" + Two(1 + i % 28) + " " +
                               Two(i % 24) + ":" + Two(i % 60) + ":" + Two((i * 7) % 60);
      kit::Trade trade{0, player, partner, 9000 + i, when, 10};
      if (i % 2 != 0) std::swap(trade.player, trade.other);
      trades.push_back(trade);
    }
  }
  return trades;
}

std::vector<kit::TradeItem> TradeItems() {
  std::vector<kit::TradeItem> items;
  for (int i = 1; i <= kTradeItems; ++i) {
    items.push_back({i, "Item " + std::to_string(i), "A fine item, number " + std::to_string(i),
                     i * 3, "item" + std::to_string(i) + ".png", i * 0.5, -i * 0.25});
  }
  return items;
}

std::vector<kit::Message> Messages() {
  std::vector<kit::Message> messages;
  for (int i = 0; i < kUnreadMessages; ++i) {
    messages.push_back({0, kReader, "Message number " + std::to_string(i) + " for you",
                        "2024-05-01 10:" + Two(i) + ":00", 0, 21, 0});
  }
  return messages;
}

// The world's rows, in one transaction.
bool Seed(kit::RawDb* db, std::string* error) {
  kit::Seeder seeder(db, 500);
  if (!db->Begin(error)) return false;
  if (seeder.Plant(Players(), error) && seeder.Plant(Friendships(), error) &&
      seeder.Plant(Trades(), error) && seeder.Plant(TradeItems(), error) &&
      seeder.Plant(Messages(), error)) {
    return db->Commit(error);
  }
  db->Rollback();
  return false;
}

class KitWorld : public World {
 public:
  // False with the reason in `why` when the world can't be made.
  virtual bool Create(std::string* why) = 0;
  const std::string& connection_string() const override { return connection_string_; }
  const std::string& path() const override { return path_; }
  bool Exec(const std::string& sql) override {
    std::string error;
    if (db_->Exec(sql, &error)) return true;
    std::fprintf(stderr, "bench: %s: %s\n", sql.substr(0, 80).c_str(), error.c_str());
    return false;
  }

 protected:
  std::string connection_string_;
  std::string path_;  // SQLite's file
  std::unique_ptr<kit::RawDb> db_;
};

class SqliteWorld final : public KitWorld {
 public:
  bool Create(std::string* why) override {
    folder_ = kit::MakeTempDir("zelvar-bench-");
    if (folder_.empty()) {
      *why = "no temporary folder";
      return false;
    }
    path_ = folder_ + "/world.db";
    std::string error;
    db_ = kit::CreateSqliteDatabase(path_, &error);
    if (db_ == nullptr || !Seed(db_.get(), &error)) {
      *why = "the world did not load: " + error;
      return false;
    }
    connection_string_ = "Provider=SQLite;Data Source=" + path_;
    return true;
  }
  ~SqliteWorld() override {
    zelvar::db::CloseIdleConnections();
    db_.reset();
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }

 private:
  std::string folder_;
};

// A database of its own on a server that the test kit reaches through ODBC:
// made, seeded and its statistics brought up to date; dropped at exit.
class ServerWorld : public KitWorld {
 public:
  bool Create(std::string* why) override {
    std::string error;
    connection_string_ = MakeDatabase(&error);
    if (connection_string_.empty()) {
      *why = error;
      return false;
    }
    db_ = kit::OpenOdbc(connection_string_, &error);
    if (db_ == nullptr) {
      *why = "the database does not open: " + error;
      return false;
    }
    if (!Seed(db_.get(), &error)) {
      *why = "the world did not load: " + error;
      return false;
    }
    Exec(AnalyzeStatement());
    return true;
  }
 protected:
  // Every connection to the database closed, before it is dropped.
  void Close() {
    zelvar::db::CloseIdleConnections();
    zelvar::SetConnectionString(zelvar::kBuiltInConnectionString);
    db_.reset();
  }
  // The new database's ODBC string; empty with the reason in `why`.
  virtual std::string MakeDatabase(std::string* why) = 0;
  virtual std::string AnalyzeStatement() const = 0;
};

class PostgresWorld final : public ServerWorld {
 public:
  ~PostgresWorld() override {
    Close();
    if (!connection_string_.empty()) kit::DropPostgresDatabase(connection_string_, kPrefix);
  }

 private:
  std::string MakeDatabase(std::string* why) override {
    if (!kit::PostgresAvailable()) {
      *why = "no PostgreSQL server (run under scripts/with-postgres)";
      return "";
    }
    std::string error;
    std::string made = kit::CreatePostgresDatabase(&error, kPrefix);
    if (made.empty()) *why = "the database could not be created: " + error;
    return made;
  }
  std::string AnalyzeStatement() const override { return "ANALYZE"; }

  static constexpr char kPrefix[] = "zelvar_bench_";
};

class MariaDbWorld final : public ServerWorld {
 public:
  ~MariaDbWorld() override {
    Close();
    if (!connection_string_.empty()) kit::DropMariaDbDatabase(connection_string_);
  }

 private:
  std::string MakeDatabase(std::string* why) override {
    if (!kit::MariaDbAvailable()) {
      *why = "no MariaDB server (run under scripts/with-mariadb)";
      return "";
    }
    std::string error;
    std::string made =
        kit::CreateMariaDbDatabase(kit::SchemaPath(kit::Backend::kMariaDb), &error);
    if (made.empty()) *why = "the database could not be created: " + error;
    return made;
  }
  std::string AnalyzeStatement() const override {
    return "ANALYZE TABLE tblUser, tblFriend, tblFriendTradeHistory, tblFriendTradeItem, "
           "tblUserMsg";
  }
};

std::unique_ptr<KitWorld> MakeWorld(Backend backend) {
  switch (backend) {
    case Backend::kSqlite:
      return std::make_unique<SqliteWorld>();
    case Backend::kPostgres:
      return std::make_unique<PostgresWorld>();
    default:
      return std::make_unique<MariaDbWorld>();
  }
}

constexpr int kBackends = 3;
std::unique_ptr<KitWorld> worlds[kBackends];

template <int kIndex>
void DropWorld() {
  worlds[kIndex].reset();
}
constexpr void (*kDropWorld[kBackends])() = {DropWorld<0>, DropWorld<1>, DropWorld<2>};

}  // namespace

World* World::Get(Backend backend, std::string* why) {
  static std::string whys[kBackends];
  static bool tried[kBackends] = {};
  const int index = static_cast<int>(backend);
  if (!tried[index]) {
    tried[index] = true;
    worlds[index] = MakeWorld(backend);
    if (!worlds[index]->Create(&whys[index])) worlds[index].reset();
    // Registered after the driver's own exit handlers (the first connect
    // registers them), so a server's database is dropped while the driver
    // still works.
    std::atexit(kDropWorld[index]);
  }
  *why = whys[index];
  return worlds[index].get();
}

bool UseWorld(World* world) {
  // ZELVAR_BENCH_OPTIONS: keywords of the module added to its connection
  // string (e.g. "Named Statements=yes;"), to measure what they change.
  std::string text = world->connection_string() + ";" + Env("ZELVAR_BENCH_OPTIONS");
  char* pointer = text.data();
  return OpenDBFriend(&pointer) == 0;
}

}  // namespace zelvar::bench
