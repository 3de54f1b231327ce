// What the files of the ODBC backend share: handle owners, the diagnostics
// and their classification, how columns are read and values bound, the
// sockets a connection is known by, and the connection class itself.
// Private to the backend (odbc_*.cc); the rest of the module sees only
// OpenOdbcConnection (backend.h).
//
// The connection's members are defined by seam: odbc_connection.cc (running
// statements, the statement cache, transactions, opening), odbc_types.cc
// (binding values, describing and fetching columns), odbc_diagnostics.cc
// (failures), odbc_liveness.cc (the alive check and the socket), and
// odbc_dialect.cc (what differs per server), odbc_batch.cc (batches).
#ifndef ZELVAR_DB_ODBC_INTERNAL_H_
#define ZELVAR_DB_ODBC_INTERNAL_H_

#include <sql.h>
#include <sqlext.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/backend.h"
#include "db/deadline.h"
#include "db/failover.h"
#include "db/link_watch.h"
#include "db/odbc_env.h"
#include "db/statement_cache.h"
#include "db/status.h"

namespace zelvar::db {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "unixODBC's SQLWCHAR must be UTF-16");

inline SQLWCHAR* Wide(std::u16string& text) { return reinterpret_cast<SQLWCHAR*>(text.data()); }

inline std::u16string FromWide(const SQLWCHAR* text, size_t units) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), units);
}

struct StatementFree {
  void operator()(SQLHSTMT statement) const { SQLFreeHandle(SQL_HANDLE_STMT, statement); }
};
using StatementHandle = std::unique_ptr<void, StatementFree>;

struct DbcFree {
  void operator()(SQLHDBC dbc) const {
    // Disconnecting an unconnected handle only reports 08003; either way
    // the handle can be freed afterwards.
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  }
};
using DbcHandle = std::unique_ptr<void, DbcFree>;

// ---- Diagnostics (odbc_diagnostics.cc)

struct Diagnostic {
  std::string state;  // SQLSTATE, five characters
  SQLINTEGER native = 0;
  std::u16string message;
};

// The diagnostic records of `handle` (none for a null handle).
std::vector<Diagnostic> ReadDiagnostics(SQLSMALLINT type, SQLHANDLE handle);

// What the diagnostics of one failure say.
struct FailureReading {
  bool link = false;       // the link failed (a request's time ran out included)
  bool retryable = false;  // a serialization failure, deadlock or lock wait timeout
  bool not_serving = false;  // refused unrun by a server that does not serve now (link set too)
  bool stale_plan = false;  // refused before it ran: its plan went stale
  bool wide_text_refused = false;  // an ANSI driver refused a wide value
  std::u16string text;     // the messages, one a line
};
// What `diagnostics` say, read for a server of `family` (kOther when not
// known yet): native codes mean different things to different servers.
FailureReading ReadFailure(const std::vector<Diagnostic>& diagnostics, SqlFamily family);

// ---- Types (odbc_types.cc)

// How a column is read with SQLGetData.
enum class ReadAs { kInteger, kBit, kBoolText, kReal, kTimestamp, kText };

struct Column {
  std::string name;
  int ado_type = kAdEmpty;
  ReadAs read = ReadAs::kText;
};

// How one SQL type is read and which ADO code it reports. `type_name` is
// the driver's name for the column's type: psqlODBC describes PostgreSQL
// booleans as text (its BoolsAsChar default), named "bool".
Column DescribeType(SQLSMALLINT sql_type, const std::u16string& type_name);

// One bound value; its storage must stay put until the execution ends.
struct BoundValue {
  SQLSMALLINT c_type = 0;
  SQLSMALLINT sql_type = 0;
  SQLINTEGER int32 = 0;
  SQLBIGINT int64 = 0;
  std::u16string text;
  SQL_TIMESTAMP_STRUCT timestamp{};
  SQLLEN indicator = 0;
};

// ---- Sockets (odbc_liveness.cc)

// One open socket of the process, named by its inode so that a descriptor
// closed and reused for another socket is told apart.
struct SocketId {
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
};

// The connected stream sockets the process has open.
std::vector<SocketId> OpenStreamSockets();

// ---- Dialects (odbc_dialect.cc)

// What the server speaks, as far as transactions and batches differ: the
// SQL family of its statements (never kSqlite here).
using Dialect = SqlFamily;

// Whether connects with `odbc_string` must not overlap others (see
// OpenOdbcConnection): PostgreSQL's driver, or a DSN that may name it.
bool NeedsSerialConnect(const std::string& odbc_string);

// ---- The connection

// A connection that failed at the link takes no statement.
inline constexpr char16_t kLostText[] = u"the connection to the database was lost";

// The request ran out of time: its connection is discarded.
inline constexpr char16_t kTimedOutText[] =
    u"the request ran out of time (Command Timeout); the database did not answer in time";

class OdbcConnection final : public Connection {
 public:
  // `odbc_string` is the string it connected with (one server's).
  OdbcConnection(std::shared_ptr<OdbcEnvironment> environment, DbcHandle dbc,
                 const ConnectionOptions& options, std::string odbc_string)
      : environment_(std::move(environment)),
        dbc_(std::move(dbc)),
        options_(options),
        odbc_string_(std::move(odbc_string)) {}
  ~OdbcConnection() override;

  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;

  // After the driver connected: notes what IsAlive and the transactions
  // need. `before` are the sockets open before the connect call.
  void Connected(const std::vector<SocketId>& before);

  Status Run(const Sql& sql, ResultSet* rows) override;
  int64_t Changes() const override { return changes_; }
  Status Begin() override;
  Status Commit() override;
  Status Rollback() override;
  bool IsAlive() override;
  Status CheckTexts() override;
  Status RunBatch(const std::vector<const Sql*>& queries,
                  std::vector<BatchResult>* results) override;
  SqlFamily Family() const override { return dialect_; }
  std::string ProductName() override;
  std::string DriverName() override;

 private:
  struct Prepared {
    StatementHandle handle;
    std::u16string wide_text;  // the text as sent
    std::vector<std::pair<SQLSMALLINT, SQLSMALLINT>> signature;  // C and SQL type per value
    bool prepared = false;
    bool described = false;
    std::vector<Column> columns;
  };

  // Failures (odbc_diagnostics.cc). The failure the diagnostics of
  // `handle` describe (`fallback` when they hold no text), classified; a
  // link failure marks the connection broken for good. Sets
  // stale_failure_ when the server refused a statement only because its
  // plan went stale.
  Status Fail(SQLSMALLINT type, SQLHANDLE handle, std::u16string fallback);
  // Whether the driver knows the connection to be dead.
  bool DriverSaysDead();
  // A statement outlived its request: the connection goes.
  Status TimedOut() {
    broken_ = true;
    return Status::Link(kTimedOutText);
  }

  // Statements (odbc_connection.cc). One execution of `sql`; a failure
  // with `stale` set when the server refused it for a stale plan (it
  // never ran). Statements stay unnamed unless `named` (the connection
  // string asks for names): an unnamed statement lives only until the
  // next one, so nothing of ours outlives a statement on the server
  // session, which a pooler in transaction mode may hand to another
  // client between statements.
  Status RunOnce(const Sql& sql, ResultSet* rows, bool* stale, bool named);
  // Looks `sql` up in the cache and binds its values (prepared under a
  // name when `named`). Whatever failed, the entry may be left behind.
  Status BindStatement(const Sql& sql, bool named, Prepared** prepared);
  // Executes a bound statement and reads what it gave. Inside a link watch.
  Status ExecuteBound(Prepared* prepared, bool named, ResultSet* rows);
  // The cached statement for `text`, or a new handle not yet prepared.
  Status Lookup(const std::string& text, Prepared** prepared);
  Status Prepare(Prepared* prepared, const std::string& text);
  // Runs a text of the module's own (transaction control) within the
  // request's time.
  Status RunControl(const std::u16string& text);
  // Allocates `handle` for the connection unless it holds one already.
  Status KeepStatement(StatementHandle& handle);
  Status EndTransaction(SQLSMALLINT completion);
  // Watches the link for a statement about to be sent (LinkWatch): past
  // the request's deadline its socket is shut down.
  LinkWatch WatchLink() const {
    return LinkWatch(socket_ ? socket_->fd : -1, socket_ ? socket_->inode : 0, RequestDeadline());
  }

  // Values and columns (odbc_types.cc). Binds `values`; `other_types` is
  // set, and nothing bound, when the statement was prepared for values of
  // other types.
  Status Bind(Prepared* prepared, const std::vector<SqlValue>& values, bool* other_types);
  Status Describe(Prepared* prepared);
  Status DescribeColumns(SQLHSTMT statement, std::vector<Column>* columns);
  // Appends every row of the statement's result to `rows`.
  Status Fetch(SQLHSTMT statement, const std::vector<Column>& columns, ResultSet* rows);
  // The current row's value of `column` (1-based), as `read`.
  Status ReadField(SQLHSTMT statement, SQLUSMALLINT column, ReadAs read, Variant* value);
  Status ReadText(SQLHSTMT statement, SQLUSMALLINT column, Variant* value);
  Status ReadUtf8Text(SQLHSTMT statement, SQLUSMALLINT column, Variant* value);

  // Batches (odbc_batch.cc). One round trip for queries whose values are
  // all integers, written into the text; the outcomes are read result set
  // by result set and appended to `results`. A failure when the round
  // broke off.
  Status RunInlinedBatch(const std::vector<const Sql*>& queries, std::vector<BatchResult>* results);
  // Reads the result sets of a batch's queries from results->size() to
  // `end`, appending each one read whole to `results`.
  Status ReadBatchResults(SQLHSTMT statement, const std::vector<const Sql*>& queries, size_t end,
                          std::vector<BatchResult>* results);

  // Per server (odbc_dialect.cc). Learns the server's dialect and prepares
  // its session.
  void LearnDialect();
  // Before a transaction on a server of no known dialect: the session's
  // isolation becomes SERIALIZABLE (it stays so until RestoreIsolation).
  Status SerializableSession();
  // The statement that sets a transaction's isolation (and time bound) on
  // PostgreSQL and MariaDB.
  std::u16string TransactionSettings() const;
  // Back to the default isolation after transactions, before a statement
  // outside one.
  Status RestoreIsolation();
  std::u16string DbmsName();
  // Runs a statement without values and, when `result` is not null, reads
  // the first column of its first row as text. False when it failed.
  bool RunOwnStatement(const char16_t* text, std::u16string* result);
  void PrepareMySqlSession();

  // The link (odbc_liveness.cc). Names the socket the driver opened for
  // this connection, among those not in `before`.
  void FindOwnSocket(const std::vector<SocketId>& before);
  std::optional<int> ServerSeenClientPort();
  bool SocketLooksAlive();
  bool Probe();

  std::shared_ptr<OdbcEnvironment> environment_;
  DbcHandle dbc_;
  ConnectionOptions options_;
  std::string odbc_string_;
  Dialect dialect_ = Dialect::kOther;
  int64_t changes_ = 0;
  // Set by Fail: the last failure was a plan gone stale.
  bool stale_failure_ = false;
  // While CheckTexts runs, a refused wide text is its answer, not a fault
  // to log.
  bool checking_texts_ = false;
  StatementHandle control_;
  StatementCache<Prepared> statements_;
  StatementHandle probe_;
  StatementHandle batch_;
  // Set when a batch failed as a whole: a driver that does not take several
  // statements in one text (MariaDB without its multi-statement option) is
  // not asked again.
  bool batch_refused_ = false;
  std::vector<BoundValue> bound_;
  std::optional<SocketId> socket_;
  bool broken_ = false;
  bool in_transaction_ = false;
  // The isolation outside transactions, and whether the session is at
  // SERIALIZABLE now.
  SQLULEN default_isolation_ = SQL_TXN_READ_COMMITTED;
  bool serializable_ = false;
  // Texts are read as their UTF-8 bytes rather than as wide text (see
  // PrepareMySqlSession).
  bool texts_as_utf8_ = false;
  std::chrono::steady_clock::time_point last_used_ = std::chrono::steady_clock::now();
};

}  // namespace zelvar::db

#endif  // ZELVAR_DB_ODBC_INTERNAL_H_
