// What the request benchmarks and the soak program share: a seeded world
// on SQLite, PostgreSQL or MariaDB (bench_world.cc, planted through the
// test kit),
// the raw client APIs that measure each request's limit, and the host's
// side of a request (building the request packet, reading every key of the
// reply).
//
// A World is set up once per process and backend. A RawDb is one open
// connection, used by one thread at a time.
#ifndef ZELVAR_BENCH_BENCH_SUPPORT_H_
#define ZELVAR_BENCH_BENCH_SUPPORT_H_

#include <sql.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zelvar/kparam.h"

namespace zelvar::bench {

// The value of environment variable `name`; empty when unset.
std::string Env(const char* name);

// Raw ODBC handles for one connection, outside the module.
struct OdbcLink {
  explicit OdbcLink(const std::string& connection_string);
  ~OdbcLink();
  OdbcLink(const OdbcLink&) = delete;
  OdbcLink& operator=(const OdbcLink&) = delete;
  // Runs `sql` directly; a failure is printed with the driver's message.
  bool Exec(const std::string& sql);

  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool ok = false;
};

enum class Backend { kSqlite, kPostgres, kMariaDb };
// "SQLite", "PostgreSQL", "MariaDB".
const char* BackendName(Backend backend);

// Who is who in the seeded world.
namespace world {
inline constexpr int kUsers = 3000;
// Players with 1, 10, 100 and 1000 friends (friends() gives the ids).
int FriendPlayer(int friends);
// Players with 5, 50 and 500 trades.
int TradePlayer(int trades);
inline constexpr int kTradeItems = 100;
// Two friends who message and trade with each other (1500, 1510).
inline constexpr int kSender = 5;
inline constexpr int kRecipient = 6;
// A friendship that 1505 ends and the benchmark puts back.
inline constexpr int kLeaving = 7;
inline constexpr int kLeft = 8;
// A player with kUnreadMessages unread messages (1620).
inline constexpr int kReader = 20;
inline constexpr int kUnreadMessages = 20;
// The account that 1660 looks up and the one 1560 sends goods to.
inline constexpr int kLookedUp = 30;
inline constexpr int kReceiver = 40;
// The player who stores invitations (1550).
inline constexpr int kInviter = 50;
// Threads of the concurrency cases use players from here on, one each.
inline constexpr int kThreadPlayers = 2200;
std::string UserName(int id);
}  // namespace world

// A database of its own with the schema and the world, removed at exit.
class World {
 public:
  // Null (with a reason in `why`) when the backend is not available.
  static World* Get(Backend backend, std::string* why);
  virtual ~World() = default;

  // The string for OpenDBFriend.
  virtual const std::string& connection_string() const = 0;
  // The SQLite file; empty on a server.
  virtual const std::string& path() const = 0;
  // Runs statements without values on a connection of the world's own.
  virtual bool Exec(const std::string& sql) = 0;
};

// The module's connection string is the world's; false when it won't open.
bool UseWorld(World* world);

// One raw connection: statements prepared once, values bound, fields read
// with the client API's own calls.
class RawStatement {
 public:
  virtual ~RawStatement() = default;
  // Places are 1-based.
  virtual void BindInt(int place, int value) = 0;
  virtual void BindText(int place, const std::u16string& value) = 0;
  // A local time text YYYY-MM-DD HH:MM:SS, bound as a date-time.
  virtual void BindTime(int place, const std::string& text) = 0;
  // Runs the statement; a query then stands before its first row.
  virtual bool Execute() = 0;
  // Moves to the next row; false at the end.
  virtual bool Next() = 0;
  // Columns are 0-based.
  virtual int Int(int column) = 0;
  virtual double Real(int column) = 0;
  virtual std::u16string Text(int column) = 0;
  // A date-time column as seconds, as the module reads them.
  virtual int64_t Seconds(int column) = 0;
  // Ends the run: cursor closed, values unbound.
  virtual void Done() = 0;
};

class RawDb {
 public:
  static std::unique_ptr<RawDb> Open(Backend backend, World* world);
  virtual ~RawDb() = default;
  // `text` has "?" for each value. Null when it can't be prepared.
  virtual RawStatement* Prepare(const std::string& text) = 0;
  // A transaction as the module runs one (BEGIN IMMEDIATE on SQLite,
  // SERIALIZABLE on a server).
  virtual bool Begin() = 0;
  virtual bool Commit() = 0;
  Backend backend() const { return backend_; }

 private:
  Backend backend_ = Backend::kSqlite;
};

// The host's side.
// A request packet's wire image.
std::string Image(CKParam& packet);
// Loads a reply into a packet of the host's own and reads every record by
// its key with the accessor of its type. With `digest`, appends what was
// read (keys, types and values, leaving out key `skip_key`), for comparing
// two replies.
void ReadReply(const char* bytes, int length, std::string* digest = nullptr,
               int skip_key = 0x10000);

// The hand-out and the host's reading of a reply that a limit built: the
// packet's image copied into a new array, read as above, freed.
void HandOverAndRead(CKParam& reply, std::string* digest = nullptr, int skip_key = 0x10000);

}  // namespace zelvar::bench

#endif  // ZELVAR_BENCH_BENCH_SUPPORT_H_
