// The ODBC backend (unixODBC): a Connection over one ODBC connection
// handle, for database servers (PostgreSQL through psqlODBC, SQL Server
// through Microsoft's driver or FreeTDS, MariaDB).
//
// Texts travel as UTF-16 through the wide ODBC calls (unixODBC's SQLWCHAR
// is two bytes). Each statement text is prepared once per connection and
// kept in a cache keyed by its parameterized text; every run binds its
// values afresh.
//
// A Connection is used by one thread at a time; different connections may
// be used on different threads at once (the environment is shared).
#include <dirent.h>
#include <poll.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "db/backend.h"
#include "db/connection_string.h"
#include "db/deadline.h"
#include "db/link_watch.h"
#include "db/odbc_env.h"
#include "util/error_log.h"
#include "util/text.h"

namespace zelvar::db {

namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "unixODBC's SQLWCHAR must be UTF-16");

// Prepared statements kept per connection; the handlers use a few dozen
// statement texts, so this only bounds statements built from values.
constexpr size_t kStatementCacheLimit = 128;
// A connection whose socket is unknown is probed before reuse once it has
// been idle this long (see IsAlive).
constexpr auto kProbeAfterIdle = std::chrono::seconds(5);
// Texts are read in pieces of this many UTF-16 units (terminator included).
constexpr size_t kTextPieceUnits = 2048;

// ADO's numbering for the types that no enumerator of variant.h names.
constexpr int kAdNumeric = 131;
constexpr int kAdDBDate = 133;
constexpr int kAdDBTime = 134;
constexpr int kAdGuid = 72;
constexpr int kAdBinary = 128;
constexpr int kAdVarBinary = 204;
constexpr int kAdLongVarBinary = 205;

SQLWCHAR* Wide(std::u16string& text) { return reinterpret_cast<SQLWCHAR*>(text.data()); }

std::u16string FromWide(const SQLWCHAR* text, size_t units) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), units);
}

struct StatementFree {
  void operator()(SQLHSTMT statement) const { SQLFreeHandle(SQL_HANDLE_STMT, statement); }
};
using StatementHandle = std::unique_ptr<void, StatementFree>;

struct ConnectionFree {
  void operator()(SQLHDBC dbc) const {
    // Disconnecting an unconnected handle only reports 08003; either way
    // the handle can be freed afterwards.
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  }
};
using ConnectionHandle = std::unique_ptr<void, ConnectionFree>;

struct Diagnostic {
  std::string state;  // SQLSTATE, five characters
  SQLINTEGER native = 0;
  std::u16string message;
};

std::vector<Diagnostic> ReadDiagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<Diagnostic> diagnostics;
  if (handle == SQL_NULL_HANDLE) return diagnostics;
  for (SQLSMALLINT record = 1; record <= 20; ++record) {
    SQLWCHAR state[6] = {0};
    SQLINTEGER native = 0;
    std::vector<SQLWCHAR> message(1024);
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetDiagRecW(type, handle, record, state, &native, message.data(),
                                  static_cast<SQLSMALLINT>(message.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
      message.resize(static_cast<size_t>(length) + 1);
      rc = SQLGetDiagRecW(type, handle, record, state, &native, message.data(),
                          static_cast<SQLSMALLINT>(message.size()), &length);
    }
    if (!SQL_SUCCEEDED(rc)) break;
    Diagnostic diagnostic;
    for (int i = 0; i < 5 && state[i] != 0; ++i) diagnostic.state.push_back(static_cast<char>(state[i]));
    diagnostic.native = native;
    size_t units = 0;
    while (units < message.size() && message[units] != 0) ++units;
    diagnostic.message = FromWide(message.data(), units);
    diagnostics.push_back(std::move(diagnostic));
  }
  return diagnostics;
}

bool Contains(const std::u16string& text, std::string_view ascii) {
  if (ascii.size() > text.size()) return false;
  for (size_t i = 0; i + ascii.size() <= text.size(); ++i) {
    size_t j = 0;
    while (j < ascii.size()) {
      char16_t a = text[i + j];
      char16_t b = static_cast<char16_t>(ascii[j]);
      if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a - u'A' + u'a');
      if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b - u'A' + u'a');
      if (a != b) break;
      ++j;
    }
    if (j == ascii.size()) return true;
  }
  return false;
}

bool IsLinkDiagnostic(const Diagnostic& diagnostic) {
  const std::string& state = diagnostic.state;
  if (state.rfind("08", 0) == 0) return true;  // connection exceptions
  // Timeouts: no query timeout is set, so one comes from a link that went
  // silent.
  if (state == "HYT00" || state == "HYT01") return true;
  // PostgreSQL: the server ended the session (pg_terminate_backend, a
  // fast shutdown or restart, a crash of another backend).
  if (state == "57P01" || state == "57P02" || state == "57P03") return true;
  // Drivers that report a lost link under a general SQLSTATE.
  static constexpr std::string_view kLinkTexts[] = {
      "server closed the connection", "connection dead", "no connection to the server",
      "could not send query", "could not receive data", "connection reset", "broken pipe",
      "communication link failure", "terminating connection"};
  for (std::string_view text : kLinkTexts) {
    if (Contains(diagnostic.message, text)) return true;
  }
  return false;
}

// A statement prepared before a change of the tables it reads, refused
// before it had any effect: PostgreSQL's "cached plan must not change
// result type", MariaDB's 1615 ("needs to be re-prepared") and its
// client's 2057 (a query's result columns no longer those it was prepared
// with: only a query has them). Run once more, parsed afresh, it sends
// nothing twice.
bool IsStalePlanDiagnostic(const Diagnostic& diagnostic) {
  if (diagnostic.state == "0A000" && Contains(diagnostic.message, "cached plan")) return true;
  return diagnostic.native == 1615 || diagnostic.native == 2057 ||
         Contains(diagnostic.message, "needs to be re-prepared");
}

// PostgreSQL's statement_timeout, set for the rest of a transaction to what
// is left of the request's time.
bool IsTimeoutDiagnostic(const Diagnostic& diagnostic) {
  return diagnostic.state == "57014" && Contains(diagnostic.message, "timeout");
}

bool IsRetryableDiagnostic(const Diagnostic& diagnostic) {
  // Serialization failure, deadlock (PostgreSQL, SQL Server, MariaDB);
  // SQL Server reports its deadlock victims as native error 1205.
  return diagnostic.state == "40001" || diagnostic.state == "40P01" || diagnostic.native == 1205;
}

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
Column DescribeType(SQLSMALLINT sql_type, const std::u16string& type_name) {
  Column column;
  switch (sql_type) {
    case SQL_INTEGER:
      column.ado_type = kAdInteger;
      column.read = ReadAs::kInteger;
      break;
    case SQL_SMALLINT:
      column.ado_type = kAdSmallInt;
      column.read = ReadAs::kInteger;
      break;
    case SQL_TINYINT:
      column.ado_type = kAdSmallInt;
      column.read = ReadAs::kInteger;
      break;
    case SQL_BIGINT:
      column.ado_type = kAdBigInt;
      column.read = ReadAs::kInteger;
      break;
    case SQL_BIT:
      column.ado_type = kAdBoolean;
      column.read = ReadAs::kBit;
      break;
    case SQL_DOUBLE:
    case SQL_FLOAT:
    case SQL_REAL:
      column.ado_type = kAdDouble;
      column.read = ReadAs::kReal;
      break;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      column.ado_type = kAdNumeric;
      column.read = ReadAs::kReal;
      break;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
    case -155:  // SQL Server datetimeoffset
      column.ado_type = kAdDBTimeStamp;
      column.read = ReadAs::kTimestamp;
      break;
    case SQL_TYPE_DATE:
    case SQL_DATE:
      column.ado_type = kAdDBDate;
      column.read = ReadAs::kTimestamp;
      break;
    case SQL_TYPE_TIME:
    case SQL_TIME:
    case -154:  // SQL Server time
      column.ado_type = kAdDBTime;
      column.read = ReadAs::kText;
      break;
    case SQL_CHAR:
      column.ado_type = kAdChar;
      break;
    case SQL_WCHAR:
      column.ado_type = kAdWChar;
      break;
    case SQL_VARCHAR:
      column.ado_type = kAdVarChar;
      break;
    case SQL_WVARCHAR:
      column.ado_type = kAdVarWChar;
      break;
    case SQL_LONGVARCHAR:
      column.ado_type = kAdLongVarChar;
      break;
    case SQL_WLONGVARCHAR:
      column.ado_type = kAdLongVarWChar;
      break;
    case SQL_GUID:
      column.ado_type = kAdGuid;
      break;
    case SQL_BINARY:
      column.ado_type = kAdBinary;
      break;
    case SQL_VARBINARY:
      column.ado_type = kAdVarBinary;
      break;
    case SQL_LONGVARBINARY:
      column.ado_type = kAdLongVarBinary;
      break;
    default:
      column.ado_type = kAdEmpty;
      break;
  }
  if (column.read == ReadAs::kText && (type_name == u"bool" || type_name == u"boolean")) {
    column.ado_type = kAdBoolean;
    column.read = ReadAs::kBoolText;
  }
  return column;
}

std::string TimestampText(const SQL_TIMESTAMP_STRUCT& t) {
  char text[32];
  std::snprintf(text, sizeof(text), "%04d-%02u-%02u %02u:%02u:%02u", static_cast<int>(t.year),
                static_cast<unsigned>(t.month) % 100, static_cast<unsigned>(t.day) % 100,
                static_cast<unsigned>(t.hour) % 100, static_cast<unsigned>(t.minute) % 100,
                static_cast<unsigned>(t.second) % 100);
  return text;
}

// Reads YYYY-MM-DD HH:MM:SS (one- or two-digit fields after the year).
std::optional<SQL_TIMESTAMP_STRUCT> ParseTimestamp(const std::string& text) {
  int year, month, day, hour, minute, second;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &year, &month, &day, &hour, &minute,
                  &second, &tail) != 6) {
    return std::nullopt;
  }
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return std::nullopt;
  }
  SQL_TIMESTAMP_STRUCT t{};
  t.year = static_cast<SQLSMALLINT>(year);
  t.month = static_cast<SQLUSMALLINT>(month);
  t.day = static_cast<SQLUSMALLINT>(day);
  t.hour = static_cast<SQLUSMALLINT>(hour);
  t.minute = static_cast<SQLUSMALLINT>(minute);
  t.second = static_cast<SQLUSMALLINT>(second);
  return t;
}

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

// One open socket of the process, named by its inode so that a descriptor
// closed and reused for another socket is told apart.
struct SocketId {
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
};

// The connected stream sockets the process has open, from /proc/self/fd.
std::vector<SocketId> OpenStreamSockets() {
  std::vector<SocketId> sockets;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return sockets;
  const int dir_fd = dirfd(dir);
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != 0 || fd == dir_fd) continue;
    struct stat st;
    if (fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    int type = 0;
    socklen_t length = sizeof(type);
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_STREAM) {
      continue;
    }
    sockaddr_storage peer;
    socklen_t peer_length = sizeof(peer);
    if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0) {
      continue;
    }
    sockets.push_back({static_cast<int>(fd), st.st_dev, st.st_ino});
  }
  closedir(dir);
  return sockets;
}

int LocalPort(int fd) {
  sockaddr_storage local;
  socklen_t length = sizeof(local);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
  if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
  if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
  return -1;
}

// The request ran out of time: its connection is discarded.
constexpr char16_t kTimedOutText[] =
    u"the request ran out of time (Command Timeout); the database did not answer in time";

// What the server speaks, as far as transactions and batches differ.
enum class Dialect { kOther, kPostgres, kMySql };

// Whether connects with `odbc_string` must not overlap others (see
// OpenOdbcConnection): PostgreSQL's driver, or a DSN that may name it.
bool NeedsSerialConnect(const std::string& odbc_string) {
  std::vector<std::pair<std::string, std::string>> pairs;
  if (!SplitConnectionString(odbc_string, &pairs)) return true;
  std::string driver;
  bool dsn = false;
  for (const auto& [keyword, value] : pairs) {
    std::string lower;
    for (char c : keyword) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (lower == "driver") {
      driver.clear();
      for (char c : value) driver.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    if (lower == "dsn") dsn = true;
  }
  if (driver.empty()) return dsn;
  return driver.find("postgres") != std::string::npos || driver.find("psql") != std::string::npos;
}

class OdbcConnection final : public Connection {
 public:
  OdbcConnection(std::shared_ptr<OdbcEnvironment> environment, ConnectionHandle dbc,
                 const ConnectionOptions& options)
      : environment_(std::move(environment)), dbc_(std::move(dbc)), options_(options) {}

  ~OdbcConnection() override {
    // A driver manager may refuse to disconnect inside a transaction, which
    // would keep the session and its locks; end it first.
    if (in_transaction_ && !broken_) SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_ROLLBACK);
    // Statements go before the connection handle they belong to.
    statements_.clear();
    probe_.reset();
    batch_.reset();
    control_.reset();
  }

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

 private:
  struct Prepared {
    StatementHandle handle;
    std::u16string wide_text;  // the text as sent
    std::vector<std::pair<SQLSMALLINT, SQLSMALLINT>> signature;  // C and SQL type per value
    bool prepared = false;
    bool described = false;
    std::vector<Column> columns;
    std::list<std::string>::iterator recency;
  };

  // The failure the diagnostics of `handle` describe (`fallback` when they
  // hold no text), classified; a link failure marks the connection broken
  // for good. Sets stale_failure_ when the server refused a statement only
  // because its plan went stale.
  Status Fail(SQLSMALLINT type, SQLHANDLE handle, std::u16string fallback);
  // One execution of `sql`; a failure with `stale` set when the server
  // refused it for a stale plan (it never ran).
  // Statements stay unnamed unless `named` (the connection string asks for
  // names): an unnamed statement lives only until the next one, so nothing
  // of ours outlives a statement on the server session, which a pooler in
  // transaction mode may hand to another client between statements.
  Status RunOnce(const Sql& sql, ResultSet* rows, bool* stale, bool named);
  // Looks `sql` up in the cache and binds its values (prepared under a
  // name when `named`). Whatever failed, the entry may be left behind.
  Status BindStatement(const Sql& sql, bool named, Prepared** prepared);
  // Executes a bound statement and reads what it gave. Inside a link watch.
  Status ExecuteBound(Prepared* prepared, bool named, ResultSet* rows);
  // Runs a text of the module's own (transaction control) within the
  // request's time.
  Status RunControl(const std::u16string& text);
  // Allocates `handle` for the connection unless it holds one already.
  Status KeepStatement(StatementHandle& handle);
  // Watches the link for a statement about to be sent (LinkWatch): past
  // the request's deadline its socket is shut down.
  LinkWatch WatchLink() const {
    return LinkWatch(socket_ ? socket_->fd : -1, socket_ ? socket_->inode : 0, RequestDeadline());
  }
  // A statement outlived its request: the connection goes.
  Status TimedOut() {
    broken_ = true;
    return Status::Link(kTimedOutText);
  }

  // The cached statement for `text`, or a new handle not yet prepared.
  Status Lookup(const std::string& text, Prepared** prepared);
  Status Prepare(Prepared* prepared, const std::string& text);
  void Forget(const std::string& text);
  // Binds `values`; `other_types` is set, and nothing bound, when the
  // statement was prepared for values of other types.
  Status Bind(Prepared* prepared, const std::vector<SqlValue>& values, bool* other_types);
  Status Describe(Prepared* prepared);
  Status DescribeColumns(SQLHSTMT statement, std::vector<Column>* columns);
  // One round trip for queries whose values are all integers, written into
  // the text; the outcomes are read result set by result set and appended
  // to `results`. A failure when the round broke off.
  Status RunInlinedBatch(const std::vector<const Sql*>& queries, std::vector<BatchResult>* results);
  Status Fetch(SQLHSTMT statement, const std::vector<Column>& columns, ResultSet* rows);
  Status ReadText(SQLHSTMT statement, SQLUSMALLINT column, Variant* value);
  Status EndTransaction(SQLSMALLINT completion);
  // The statement that sets a transaction's isolation (and time bound) on
  // PostgreSQL and MariaDB.
  std::u16string TransactionSettings() const;
  // Reads the result sets of a batch's queries from results->size() to
  // `end`, appending each one read whole to `results`.
  Status ReadBatchResults(SQLHSTMT statement, const std::vector<const Sql*>& queries, size_t end,
                          std::vector<BatchResult>* results);
  // Back to the default isolation after transactions, before a statement
  // outside one.
  Status RestoreIsolation();
  bool SocketLooksAlive();
  bool Probe();
  std::optional<int> ServerSeenClientPort();
  std::u16string DbmsName();
  // Runs a statement without values and, when `result` is not null, reads
  // the first column of its first row as text. False when it failed.
  bool RunOwnStatement(const char16_t* text, std::u16string* result);
  void PrepareMySqlSession();

  std::shared_ptr<OdbcEnvironment> environment_;
  ConnectionHandle dbc_;
  ConnectionOptions options_;
  Dialect dialect_ = Dialect::kOther;
  int64_t changes_ = 0;
  // Set by Fail: the last failure was a plan gone stale.
  bool stale_failure_ = false;
  // While CheckTexts runs, a refused wide text is its answer, not a fault
  // to log.
  bool checking_texts_ = false;
  StatementHandle control_;
  std::unordered_map<std::string, Prepared> statements_;
  std::list<std::string> recency_;  // most recently used first
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

Status OdbcConnection::Fail(SQLSMALLINT type, SQLHANDLE handle, std::u16string fallback) {
  std::vector<Diagnostic> diagnostics = ReadDiagnostics(type, handle);
  if (type == SQL_HANDLE_STMT && diagnostics.empty()) {
    diagnostics = ReadDiagnostics(SQL_HANDLE_DBC, dbc_.get());
  }
  bool link = false;
  bool retryable = false;
  std::u16string text;
  bool stale = false;
  bool timed_out = false;
  bool wide_refused = false;
  for (const Diagnostic& diagnostic : diagnostics) {
    // psqlODBC's ANSI driver: "Unrecognized C_parameter type".
    wide_refused = wide_refused || (diagnostic.state == "HYC00" &&
                                    Contains(diagnostic.message, "C_parameter type"));
    stale = stale || IsStalePlanDiagnostic(diagnostic);
    timed_out = timed_out || IsTimeoutDiagnostic(diagnostic);
    link = link || IsLinkDiagnostic(diagnostic);
    retryable = retryable || IsRetryableDiagnostic(diagnostic);
    if (diagnostic.message.empty()) continue;
    if (!text.empty()) text += u"\n";
    text += diagnostic.message;
  }
  if (!link) {
    SQLUINTEGER dead = SQL_CD_FALSE;
    link = SQL_SUCCEEDED(SQLGetConnectAttr(dbc_.get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0,
                                           nullptr)) &&
           dead == SQL_CD_TRUE;
  }
  // A request that ran out of time leaves its connection behind.
  link = link || timed_out;
  if (wide_refused && !checking_texts_) {
    WriteErrorLog(u"the ODBC driver refused a wide text value (an ANSI driver? use the "
                  u"driver's Unicode variant): " + text);
  }
  if (link) broken_ = true;
  stale_failure_ = stale && !link;
  if (text.empty()) text = std::move(fallback);
  if (link) return Status::Link(std::move(text));
  if (retryable) return Status::Retryable(std::move(text));
  return Status::Statement(std::move(text));
}

std::optional<int> OdbcConnection::ServerSeenClientPort() {
  SQLHSTMT raw = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_.get(), &raw))) return std::nullopt;
  StatementHandle statement(raw);
  std::u16string query = u"SELECT inet_client_port()";
  if (!SQL_SUCCEEDED(SQLExecDirectW(raw, Wide(query), SQL_NTS)) || !SQL_SUCCEEDED(SQLFetch(raw))) {
    return std::nullopt;
  }
  SQLBIGINT port = 0;
  SQLLEN indicator = 0;
  if (!SQL_SUCCEEDED(SQLGetData(raw, 1, SQL_C_SBIGINT, &port, sizeof(port), &indicator)) ||
      indicator == SQL_NULL_DATA) {
    return std::nullopt;
  }
  SQLFreeStmt(raw, SQL_CLOSE);
  return static_cast<int>(port);
}

std::u16string OdbcConnection::DbmsName() {
  SQLWCHAR name[64] = {0};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoW(dbc_.get(), SQL_DBMS_NAME, name, sizeof(name), &length))) {
    return std::u16string();
  }
  const size_t units = std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)) /
                                            sizeof(SQLWCHAR),
                                        63);
  return FromWide(name, units);
}

bool OdbcConnection::RunOwnStatement(const char16_t* text, std::u16string* result) {
  SQLHSTMT raw = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_.get(), &raw))) return false;
  StatementHandle statement(raw);
  std::u16string query = text;
  if (!SQL_SUCCEEDED(SQLExecDirectW(raw, Wide(query), SQL_NTS))) return false;
  if (result == nullptr) return true;
  SQLWCHAR value[64] = {0};
  SQLLEN indicator = 0;
  if (!SQL_SUCCEEDED(SQLFetch(raw)) ||
      !SQL_SUCCEEDED(SQLGetData(raw, 1, SQL_C_WCHAR, value, sizeof(value), &indicator)) ||
      indicator == SQL_NULL_DATA) {
    return false;
  }
  size_t units = 0;
  while (units < 63 && value[units] != 0) ++units;
  *result = FromWide(value, units);
  return true;
}

// MariaDB and MySQL keep a text that does not fit its column cut short,
// with only a warning, unless the session is strict: the session is made
// strict so that such a statement fails instead. And their driver ends a
// text read as wide text at its first zero character, so texts are read as
// the bytes of the session's UTF-8 instead, when that is the session's
// character set.
void OdbcConnection::PrepareMySqlSession() {
  RunOwnStatement(
      u"SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), "
      u"'STRICT_ALL_TABLES')",
      nullptr);
  std::u16string charset;
  if (RunOwnStatement(u"SELECT @@character_set_results", &charset)) {
    texts_as_utf8_ = charset == u"utf8mb4" || charset == u"utf8mb3" || charset == u"utf8";
  }
}

void OdbcConnection::Connected(const std::vector<SocketId>& before) {
  SQLULEN isolation = 0;
  if (SQL_SUCCEEDED(SQLGetConnectAttr(dbc_.get(), SQL_ATTR_TXN_ISOLATION, &isolation, 0, nullptr)) &&
      isolation != 0) {
    default_isolation_ = isolation;
  }
  serializable_ = default_isolation_ == SQL_TXN_SERIALIZABLE;
  const std::u16string dbms = DbmsName();
  if (dbms == u"PostgreSQL") dialect_ = Dialect::kPostgres;
  if (dbms == u"MariaDB" || dbms == u"MySQL") {
    dialect_ = Dialect::kMySql;
    PrepareMySqlSession();
    // MariaDB's driver leaves the connection's own lock held after a text
    // of several statements, and the next thread to use the connection
    // waits for ever: its batches run one query at a time.
    batch_refused_ = true;
  }

  // The socket the driver opened for this connection: a connected stream
  // socket that was not open before the connect call. Other threads may
  // open sockets meanwhile (other connections, the host's own clients);
  // with more than one new socket, PostgreSQL can name the client port it
  // sees, and without a sure match the socket stays unknown.
  std::unordered_set<ino_t> old_inodes;
  for (const SocketId& id : before) old_inodes.insert(id.inode);
  std::vector<SocketId> fresh;
  for (const SocketId& id : OpenStreamSockets()) {
    if (!old_inodes.count(id.inode)) fresh.push_back(id);
  }
  if (fresh.size() == 1) {
    socket_ = fresh.front();
  } else if (fresh.size() > 1) {
    if (dbms == u"PostgreSQL") {
      if (std::optional<int> port = ServerSeenClientPort()) {
        for (const SocketId& id : fresh) {
          if (LocalPort(id.fd) == *port) socket_ = id;
        }
      }
    }
  }
  last_used_ = std::chrono::steady_clock::now();
}

Status OdbcConnection::Lookup(const std::string& text, Prepared** prepared) {
  auto found = statements_.find(text);
  if (found != statements_.end()) {
    recency_.splice(recency_.begin(), recency_, found->second.recency);
    *prepared = &found->second;
    return Status::OK();
  }
  if (statements_.size() >= kStatementCacheLimit) {
    const std::string oldest = recency_.back();  // Forget frees the list's copy
    Forget(oldest);
  }

  SQLHSTMT raw = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_.get(), &raw))) {
    return Fail(SQL_HANDLE_DBC, dbc_.get(), u"no ODBC statement handle could be allocated");
  }
  recency_.push_front(text);
  Prepared& entry = statements_[text];
  entry.handle.reset(raw);
  entry.recency = recency_.begin();
  *prepared = &entry;
  return Status::OK();
}

Status OdbcConnection::Prepare(Prepared* prepared, const std::string& text) {
  std::u16string wide = ToWide(text);
  SQLHSTMT statement = prepared->handle.get();
  if (!SQL_SUCCEEDED(SQLPrepareW(statement, Wide(wide), static_cast<SQLINTEGER>(wide.size())))) {
    return Fail(SQL_HANDLE_STMT, statement, u"the statement could not be prepared");
  }
  prepared->prepared = true;
  return Status::OK();
}

void OdbcConnection::Forget(const std::string& text) {
  auto found = statements_.find(text);
  if (found == statements_.end()) return;
  recency_.erase(found->second.recency);
  statements_.erase(found);
}

Status OdbcConnection::Bind(Prepared* prepared, const std::vector<SqlValue>& values,
                            bool* other_types) {
  *other_types = false;
  bound_.resize(values.size());
  std::vector<std::pair<SQLSMALLINT, SQLSMALLINT>> signature;
  signature.reserve(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    const SqlValue& value = values[i];
    BoundValue& bound = bound_[i];
    bound.text.clear();
    switch (value.kind()) {
      case SqlValue::Kind::kInteger:
        if (value.integer() >= INT32_MIN && value.integer() <= INT32_MAX) {
          bound.c_type = SQL_C_SLONG;
          bound.sql_type = SQL_INTEGER;
          bound.int32 = static_cast<SQLINTEGER>(value.integer());
        } else {
          bound.c_type = SQL_C_SBIGINT;
          bound.sql_type = SQL_BIGINT;
          bound.int64 = value.integer();
        }
        bound.indicator = 0;
        break;
      case SqlValue::Kind::kDateTime:
        if (std::optional<SQL_TIMESTAMP_STRUCT> t = ParseTimestamp(value.date_time())) {
          bound.c_type = SQL_C_TYPE_TIMESTAMP;
          bound.sql_type = SQL_TYPE_TIMESTAMP;
          bound.timestamp = *t;
          bound.indicator = sizeof(SQL_TIMESTAMP_STRUCT);
          break;
        }
        // Text of another shape goes as text; the server judges it.
        bound.c_type = SQL_C_WCHAR;
        bound.sql_type = SQL_WVARCHAR;
        bound.text = ToWide(value.date_time());
        bound.indicator = static_cast<SQLLEN>(bound.text.size() * sizeof(SQLWCHAR));
        break;
      case SqlValue::Kind::kText:
        bound.c_type = SQL_C_WCHAR;
        bound.sql_type = SQL_WVARCHAR;
        bound.text = ThroughNarrow(value.text());
        bound.indicator = static_cast<SQLLEN>(bound.text.size() * sizeof(SQLWCHAR));
        break;
    }
    signature.emplace_back(bound.c_type, bound.sql_type);
  }

  // A statement prepared for other parameter types is prepared again
  // rather than trusting every driver to adapt.
  if (prepared->prepared && prepared->signature != signature) {
    SQLHSTMT statement = prepared->handle.get();
    SQLFreeStmt(statement, SQL_CLOSE);
    SQLFreeStmt(statement, SQL_RESET_PARAMS);
    *other_types = true;
    return Status::OK();
  }
  prepared->signature = std::move(signature);

  SQLHSTMT statement = prepared->handle.get();
  for (size_t i = 0; i < values.size(); ++i) {
    BoundValue& bound = bound_[i];
    SQLRETURN rc = SQL_ERROR;
    const auto number = static_cast<SQLUSMALLINT>(i + 1);
    switch (bound.c_type) {
      case SQL_C_SLONG:
        rc = SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0,
                              &bound.int32, 0, &bound.indicator);
        break;
      case SQL_C_SBIGINT:
        rc = SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 19, 0,
                              &bound.int64, 0, &bound.indicator);
        break;
      case SQL_C_TYPE_TIMESTAMP:
        rc = SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP,
                              SQL_TYPE_TIMESTAMP, 19, 0, &bound.timestamp, sizeof(bound.timestamp),
                              &bound.indicator);
        break;
      case SQL_C_WCHAR:
        // The column size may not be 0 for some drivers, even for "".
        rc = SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                              std::max<SQLULEN>(bound.text.size(), 1), 0, Wide(bound.text),
                              bound.indicator, &bound.indicator);
        break;
    }
    if (!SQL_SUCCEEDED(rc)) {
      Status status = Fail(SQL_HANDLE_STMT, statement, u"a value could not be bound");
      SQLFreeStmt(statement, SQL_RESET_PARAMS);
      return status;
    }
  }
  return Status::OK();
}

Status OdbcConnection::Describe(Prepared* prepared) {
  Status status = DescribeColumns(prepared->handle.get(), &prepared->columns);
  prepared->described = status.ok();
  return status;
}

Status OdbcConnection::DescribeColumns(SQLHSTMT statement, std::vector<Column>* columns) {
  SQLSMALLINT count = 0;
  if (!SQL_SUCCEEDED(SQLNumResultCols(statement, &count))) {
    return Fail(SQL_HANDLE_STMT, statement, u"the result could not be described");
  }
  columns->clear();
  for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
    SQLWCHAR name[256] = {0};
    SQLSMALLINT name_length = 0;
    SQLSMALLINT sql_type = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = 0;
    if (!SQL_SUCCEEDED(SQLDescribeColW(statement, i, name, 256, &name_length, &sql_type, &size,
                                       &digits, &nullable))) {
      return Fail(SQL_HANDLE_STMT, statement, u"a column could not be described");
    }
    std::u16string type_name;
    if (sql_type == SQL_VARCHAR || sql_type == SQL_WVARCHAR || sql_type == SQL_CHAR ||
        sql_type == SQL_WCHAR) {
      SQLWCHAR type[64] = {0};
      SQLSMALLINT type_length = 0;
      if (SQL_SUCCEEDED(SQLColAttributeW(statement, i, SQL_DESC_TYPE_NAME, type, sizeof(type),
                                         &type_length, nullptr))) {
        size_t units = 0;
        while (units < 63 && type[units] != 0) ++units;
        type_name = FromWide(type, units);
      }
    }
    Column column = DescribeType(sql_type, type_name);
    size_t units = std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(name_length, 0)), 255);
    column.name = ToNarrow(FromWide(name, units));
    columns->push_back(std::move(column));
  }
  return Status::OK();
}

Status OdbcConnection::ReadText(SQLHSTMT statement, SQLUSMALLINT column, Variant* value) {
  if (texts_as_utf8_) {
    std::string bytes;
    char piece[4 * kTextPieceUnits];
    for (;;) {
      SQLLEN indicator = 0;
      SQLRETURN rc = SQLGetData(statement, column, SQL_C_BINARY, piece, sizeof(piece), &indicator);
      if (rc == SQL_NO_DATA) break;
      if (!SQL_SUCCEEDED(rc)) {
        return Fail(SQL_HANDLE_STMT, statement, u"a text could not be read");
      }
      if (indicator == SQL_NULL_DATA) {
        *value = Variant::Null();
        return Status::OK();
      }
      // Binary pieces carry no terminator: a full piece means more follow.
      if (indicator == SQL_NO_TOTAL || static_cast<size_t>(indicator) > sizeof(piece)) {
        bytes.append(piece, sizeof(piece));
        continue;
      }
      bytes.append(piece, static_cast<size_t>(indicator));
      break;
    }
    *value = Variant::Text(ToWide(bytes));
    return Status::OK();
  }
  std::u16string text;
  SQLWCHAR piece[kTextPieceUnits];
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(statement, column, SQL_C_WCHAR, piece, sizeof(piece), &indicator);
    if (rc == SQL_NO_DATA) break;  // the previous piece was the last
    if (!SQL_SUCCEEDED(rc)) {
      return Fail(SQL_HANDLE_STMT, statement, u"a text could not be read");
    }
    if (indicator == SQL_NULL_DATA) {
      *value = Variant::Null();
      return Status::OK();
    }
    const size_t room = kTextPieceUnits - 1;  // the driver ends each piece with a zero
    if (indicator == SQL_NO_TOTAL || static_cast<size_t>(indicator) / sizeof(SQLWCHAR) > room) {
      text.append(reinterpret_cast<const char16_t*>(piece), room);
      continue;
    }
    text.append(reinterpret_cast<const char16_t*>(piece),
                static_cast<size_t>(indicator) / sizeof(SQLWCHAR));
    break;
  }
  *value = Variant::Text(std::move(text));
  return Status::OK();
}

Status OdbcConnection::Fetch(SQLHSTMT statement, const std::vector<Column>& columns,
                             ResultSet* rows) {
  for (;;) {
    SQLRETURN rc = SQLFetch(statement);
    if (rc == SQL_NO_DATA) return Status::OK();
    if (!SQL_SUCCEEDED(rc)) {
      return Fail(SQL_HANDLE_STMT, statement, u"a row could not be fetched");
    }
    std::vector<Variant> row;
    row.reserve(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
      const auto number = static_cast<SQLUSMALLINT>(i + 1);
      SQLLEN indicator = 0;
      Variant value;
      switch (columns[i].read) {
        case ReadAs::kInteger: {
          SQLBIGINT integer = 0;
          rc = SQLGetData(statement, number, SQL_C_SBIGINT, &integer, sizeof(integer), &indicator);
          if (SQL_SUCCEEDED(rc)) {
            value = indicator == SQL_NULL_DATA ? Variant::Null() : Variant::Integer(integer);
          }
          break;
        }
        case ReadAs::kBit: {
          unsigned char bit = 0;
          rc = SQLGetData(statement, number, SQL_C_BIT, &bit, sizeof(bit), &indicator);
          if (SQL_SUCCEEDED(rc)) {
            value = indicator == SQL_NULL_DATA ? Variant::Null() : Variant::Integer(bit ? 1 : 0);
          }
          break;
        }
        case ReadAs::kReal: {
          double real = 0;
          rc = SQLGetData(statement, number, SQL_C_DOUBLE, &real, sizeof(real), &indicator);
          if (SQL_SUCCEEDED(rc)) {
            value = indicator == SQL_NULL_DATA ? Variant::Null() : Variant::Real(real);
          }
          break;
        }
        case ReadAs::kTimestamp: {
          SQL_TIMESTAMP_STRUCT t{};
          rc = SQLGetData(statement, number, SQL_C_TYPE_TIMESTAMP, &t, sizeof(t), &indicator);
          if (SQL_SUCCEEDED(rc)) {
            value = indicator == SQL_NULL_DATA ? Variant::Null()
                                               : Variant::Text(ToWide(TimestampText(t)));
          }
          break;
        }
        case ReadAs::kBoolText:
        case ReadAs::kText: {
          Status status = ReadText(statement, number, &value);
          if (!status.ok()) return status;
          rc = SQL_SUCCESS;
          if (columns[i].read == ReadAs::kBoolText && !value.IsNull()) {
            std::u16string text;
            value.ToText(&text);
            const bool truth = text == u"1" || text == u"t" || text == u"true" || text == u"T" ||
                               text == u"TRUE" || text == u"-1";
            value = Variant::Integer(truth ? 1 : 0);
          }
          break;
        }
      }
      if (!SQL_SUCCEEDED(rc)) {
        return Fail(SQL_HANDLE_STMT, statement, u"a field could not be read");
      }
      row.push_back(std::move(value));
    }
    rows->rows.push_back(std::move(row));
  }
}

// A connection that failed at the link takes no statement.
constexpr char16_t kLostText[] = u"the connection to the database was lost";

Status OdbcConnection::Run(const Sql& sql, ResultSet* rows) {
  if (broken_) return Status::Link(kLostText);
  last_used_ = std::chrono::steady_clock::now();
  Status status = RestoreIsolation();
  if (!status.ok()) return status;
  bool stale = false;
  status = RunOnce(sql, rows, &stale, options_.named_statements);
  if (status.ok() || !stale) return status;
  // The server refused the statement before running it: it runs once more,
  // parsed afresh, and is prepared under a name again next time.
  return RunOnce(sql, rows, &stale, /*named=*/false);
}

Status OdbcConnection::BindStatement(const Sql& sql, bool named, Prepared** prepared) {
  const std::string& text = sql.parameterized();
  bool other_types = false;
  Status status = Lookup(text, prepared);
  if (status.ok()) status = Bind(*prepared, sql.values(), &other_types);
  if (status.ok() && other_types) {
    Forget(text);
    status = Lookup(text, prepared);
    if (status.ok()) status = Bind(*prepared, sql.values(), &other_types);
  }
  if (status.ok() && named && !(*prepared)->prepared) status = Prepare(*prepared, text);
  return status;
}

Status OdbcConnection::RunOnce(const Sql& sql, ResultSet* rows, bool* stale, bool named) {
  const std::string& text = sql.parameterized();
  Prepared* prepared = nullptr;
  Status status = BindStatement(sql, named, &prepared);
  if (!status.ok()) {
    Forget(text);
    return status;
  }
  if (!named) {
    if (prepared->wide_text.empty()) prepared->wide_text = ToWide(text);
    // Each run is parsed afresh, so its columns are described afresh too.
    prepared->described = false;
  }
  SQLHSTMT statement = prepared->handle.get();
  bool timed_out;
  stale_failure_ = false;
  {
    LinkWatch watch = WatchLink();
    status = ExecuteBound(prepared, named, rows);
    timed_out = watch.fired();
  }
  // A plan found stale, while running or while describing its result,
  // means the statement produced nothing.
  *stale = !status.ok() && stale_failure_;
  // Closing the cursor discards any further results of the statement.
  SQLFreeStmt(statement, SQL_CLOSE);
  SQLFreeStmt(statement, SQL_RESET_PARAMS);
  if (timed_out) return TimedOut();
  if (!status.ok()) {
    // A statement that failed is prepared afresh next time, whatever state
    // the driver left it in.
    Forget(text);
    return status;
  }
  last_used_ = std::chrono::steady_clock::now();
  return status;
}

Status OdbcConnection::ExecuteBound(Prepared* prepared, bool named, ResultSet* rows) {
  SQLHSTMT statement = prepared->handle.get();
  SQLRETURN rc = named ? SQLExecute(statement)
                       : SQLExecDirectW(statement, Wide(prepared->wide_text),
                                        static_cast<SQLINTEGER>(prepared->wide_text.size()));
  // SQL_NO_DATA: no row changed.
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    return Fail(SQL_HANDLE_STMT, statement, u"the statement failed");
  }
  if (rows == nullptr) {
    SQLLEN count = 0;
    changes_ = rc != SQL_NO_DATA && SQL_SUCCEEDED(SQLRowCount(statement, &count)) && count > 0
                   ? count
                   : 0;
    return Status::OK();
  }
  *rows = ResultSet();
  if (!prepared->described) {
    Status status = Describe(prepared);
    if (!status.ok()) return status;
  }
  for (const Column& column : prepared->columns) {
    rows->column_names.push_back(column.name);
    rows->column_types.push_back(column.ado_type);
  }
  if (prepared->columns.empty()) return Status::OK();
  return Fetch(statement, prepared->columns, rows);
}

Status OdbcConnection::KeepStatement(StatementHandle& handle) {
  if (handle) return Status::OK();
  SQLHSTMT raw = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_.get(), &raw))) {
    return Fail(SQL_HANDLE_DBC, dbc_.get(), u"no ODBC statement handle could be allocated");
  }
  handle.reset(raw);
  return Status::OK();
}

Status OdbcConnection::RunControl(const std::u16string& text) {
  Status status = KeepStatement(control_);
  if (!status.ok()) return status;
  std::u16string sent = text;
  bool timed_out;
  {
    LinkWatch watch = WatchLink();
    SQLRETURN rc = SQLExecDirectW(control_.get(), Wide(sent), static_cast<SQLINTEGER>(sent.size()));
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
      status = Fail(SQL_HANDLE_STMT, control_.get(), u"the transaction could not be started");
    }
    timed_out = watch.fired();
  }
  SQLFreeStmt(control_.get(), SQL_CLOSE);
  if (timed_out) return TimedOut();
  return status;
}

Status OdbcConnection::Begin() {
  if (broken_) return Status::Link(kLostText);
  if (in_transaction_) return Status::Statement(u"a transaction is already open");
  last_used_ = std::chrono::steady_clock::now();
  if (dialect_ == Dialect::kOther && !serializable_) {
    // The isolation can only change outside a transaction, so before
    // autocommit goes off. Setting it may cost a round trip, so it stays
    // serializable after the transaction until a statement outside one
    // needs the default back (RestoreIsolation).
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc_.get(), SQL_ATTR_TXN_ISOLATION,
                                         reinterpret_cast<SQLPOINTER>(SQL_TXN_SERIALIZABLE), 0))) {
      return Fail(SQL_HANDLE_DBC, dbc_.get(), u"the isolation level could not be set");
    }
    serializable_ = true;
  }
  if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc_.get(), SQL_ATTR_AUTOCOMMIT,
                                       reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0))) {
    return Fail(SQL_HANDLE_DBC, dbc_.get(), u"the transaction could not be started");
  }
  in_transaction_ = true;
  if (dialect_ == Dialect::kOther) return Status::OK();
  Status status = RunControl(TransactionSettings());
  if (!status.ok()) EndTransaction(SQL_ROLLBACK);
  return status;
}

std::u16string OdbcConnection::TransactionSettings() const {
  // PostgreSQL and MariaDB: the isolation is set for this transaction
  // alone, by a statement on the same connection, so nothing of it stays
  // on the server session (a pooler may hand the session to another
  // client after the transaction). PostgreSQL's driver opens the
  // transaction with this first statement; MariaDB's SET TRANSACTION
  // applies to the transaction that the next statement starts. On
  // PostgreSQL the server also cancels a statement that would outlast the
  // request, which rolls the transaction back cleanly.
  std::u16string control = u"SET TRANSACTION ISOLATION LEVEL SERIALIZABLE";
  if (dialect_ == Dialect::kPostgres && RequestDeadline() != Clock::time_point::max()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(TimeLeft()).count();
    control += u"; SET LOCAL statement_timeout = " + ToWide(std::to_string(std::max<long long>(1, left)));
  }
  return control;
}

Status OdbcConnection::RestoreIsolation() {
  // PostgreSQL and MariaDB set the isolation per transaction: the session
  // keeps its own, and nothing is set on it (a pooler shares it).
  if (dialect_ != Dialect::kOther || !serializable_ || in_transaction_) return Status::OK();
  if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc_.get(), SQL_ATTR_TXN_ISOLATION,
                                       reinterpret_cast<SQLPOINTER>(default_isolation_), 0))) {
    return Fail(SQL_HANDLE_DBC, dbc_.get(), u"the isolation level could not be restored");
  }
  serializable_ = false;
  return Status::OK();
}

Status OdbcConnection::EndTransaction(SQLSMALLINT completion) {
  if (!in_transaction_) {
    // Known to be out of a transaction (a failed commit rolls back at once):
    // there is nothing to roll back, and the connection is sound.
    if (completion == SQL_ROLLBACK) return Status::OK();
    return Status::Statement(u"no transaction is open");
  }
  last_used_ = std::chrono::steady_clock::now();
  SQLRETURN rc;
  bool timed_out;
  {
    LinkWatch watch = WatchLink();
    rc = SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), completion);
    timed_out = watch.fired();
  }
  if (timed_out) {
    // Whether a commit that ran out of time took effect is unknown: the
    // connection goes, and the caller reports a failure.
    in_transaction_ = false;
    return TimedOut();
  }
  Status status;
  if (!SQL_SUCCEEDED(rc)) {
    status = Fail(SQL_HANDLE_DBC, dbc_.get(),
                  completion == SQL_COMMIT ? u"the transaction could not be committed"
                                           : u"the transaction could not be rolled back");
    if (completion == SQL_COMMIT && !broken_) {
      // Whatever the commit left behind must not become part of the next
      // statement's work once autocommit is on again.
      SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_ROLLBACK);
    }
  }
  in_transaction_ = false;
  if (!broken_ && !SQL_SUCCEEDED(SQLSetConnectAttr(dbc_.get(), SQL_ATTR_AUTOCOMMIT,
                                                   reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                                                   0))) {
    // A connection left in manual commit would hold the next statements in
    // an open transaction: it is never used again (IsAlive says so). The
    // transaction itself ended as reported.
    Fail(SQL_HANDLE_DBC, dbc_.get(), u"autocommit could not be restored");
    broken_ = true;
  }
  return status;
}

// Queries of a batch are sent in rounds of at most this many: it bounds the
// text of one round trip, and psqlODBC's cost per query grows with the
// number of queries in one text.
constexpr size_t kBatchQueries = 100;

Status OdbcConnection::RunBatch(const std::vector<const Sql*>& queries,
                                std::vector<BatchResult>* results) {
  // Inside a transaction a failed statement would end it; one by one keeps
  // the transaction's own rules.
  if (in_transaction_ || queries.size() < 2) return Connection::RunBatch(queries, results);
  results->clear();
  Status failure;
  while (results->size() < queries.size()) {
    if (broken_) return failure.IsLink() ? failure : Status::Link(kLostText);
    if (batch_refused_) return RunEachOf(queries, results->size(), results);
    const size_t before = results->size();
    failure = RunInlinedBatch(queries, results);
    // A round that told nothing is not tried again on this connection.
    if (results->size() == before) batch_refused_ = true;
  }
  return Status::OK();
}

// Integers written as decimals cannot change a statement; any other value
// stays bound, so its query runs on its own.
bool Inlinable(const Sql& sql) {
  for (const SqlValue& value : sql.values()) {
    if (value.kind() != SqlValue::Kind::kInteger) return false;
  }
  return true;
}

Status OdbcConnection::RunInlinedBatch(const std::vector<const Sql*>& queries,
                                       std::vector<BatchResult>* results) {
  const size_t first = results->size();
  if (!Inlinable(*queries[first])) {
    BatchResult& result = results->emplace_back();
    result.status = Run(*queries[first], &result.rows);
    return result.status.IsLink() ? result.status : Status::OK();
  }
  std::u16string text;
  size_t end = first;
  while (end < queries.size() && end - first < kBatchQueries && Inlinable(*queries[end])) {
    if (end != first) text += u";\n";
    text += queries[end]->Text();
    ++end;
  }
  last_used_ = std::chrono::steady_clock::now();
  Status status = RestoreIsolation();
  if (status.ok()) status = KeepStatement(batch_);
  if (!status.ok()) return status;
  SQLHSTMT statement = batch_.get();
  // The watch covers the round trip and the reading of every result set.
  LinkWatch watch = WatchLink();
  SQLRETURN rc = SQLExecDirectW(statement, Wide(text), static_cast<SQLINTEGER>(text.size()));
  status = SQL_SUCCEEDED(rc) ? ReadBatchResults(statement, queries, end, results)
                             : Fail(SQL_HANDLE_STMT, statement, u"the batch failed");
  SQLFreeStmt(statement, SQL_CLOSE);
  if (watch.fired()) status = TimedOut();
  last_used_ = std::chrono::steady_clock::now();
  return status;
}

Status OdbcConnection::ReadBatchResults(SQLHSTMT statement, const std::vector<const Sql*>& queries,
                                        size_t end, std::vector<BatchResult>* results) {
  std::vector<Column> columns;
  // Queries of one format differ only in their integers, so their result
  // sets have the same columns: each format is described once.
  const std::string* described = nullptr;
  for (;;) {
    const std::string& format = queries[results->size()]->format();
    if (described == nullptr || *described != format) {
      described = nullptr;
      Status status = DescribeColumns(statement, &columns);
      if (!status.ok()) return status;
      described = &format;
    }
    // A result set that breaks off is not known to be whole: it and the
    // rest are the caller's to run again.
    BatchResult result;
    for (const Column& column : columns) {
      result.rows.column_names.push_back(column.name);
      result.rows.column_types.push_back(column.ado_type);
    }
    if (!columns.empty()) {
      Status status = Fetch(statement, columns, &result.rows);
      if (!status.ok()) return status;
    }
    results->push_back(std::move(result));
    if (results->size() == end) return Status::OK();
    if (!SQL_SUCCEEDED(SQLMoreResults(statement))) {
      return Fail(SQL_HANDLE_STMT, statement, u"the batch failed");
    }
  }
}

Status OdbcConnection::Commit() { return EndTransaction(SQL_COMMIT); }

Status OdbcConnection::Rollback() { return EndTransaction(SQL_ROLLBACK); }

Status OdbcConnection::CheckTexts() {
  // Latin, CJK and a character beyond the basic plane.
  const std::u16string sample = u"\u00e9\u4e2d\U0001F600";
  ResultSet rows;
  checking_texts_ = true;
  Status status = Run(Sql("SELECT '%s'", {SqlValue::Text(sample)}), &rows);
  checking_texts_ = false;
  if (!status.ok()) return status;
  std::u16string text;
  if (rows.rows.size() != 1 || rows.rows[0].size() != 1 || !rows.rows[0][0].ToText(&text) ||
      text != sample) {
    return Status::Statement(u"the ODBC driver does not carry wide texts whole");
  }
  return Status::OK();
}

// The socket named at connect time, polled without waiting. An idle
// database link carries nothing from the server: between statements the
// driver has read every reply, so data waiting to be read (PostgreSQL's
// "terminating connection" notice, MariaDB's error packet before it
// closes), the peer's end of stream, an error or a hang-up all mean the
// server has given up on the session. The descriptor is checked to still
// be the same socket, since the driver may have closed it and the number
// been reused.
bool OdbcConnection::SocketLooksAlive() {
  struct stat st;
  if (fstat(socket_->fd, &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_ino != socket_->inode ||
      st.st_dev != socket_->device) {
    return false;
  }
  pollfd poll_fd{};
  poll_fd.fd = socket_->fd;
  poll_fd.events = POLLIN | POLLPRI | POLLRDHUP;
  int ready = poll(&poll_fd, 1, 0);
  if (ready < 0) return false;
  return ready == 0 || poll_fd.revents == 0;
}

// Only for a connection whose socket could not be named, after it has
// been idle a while: a statement without effect, run to learn whether the
// link still carries one.
bool OdbcConnection::Probe() {
  if (!KeepStatement(probe_).ok()) return false;
  std::u16string text = u"SELECT 1";
  SQLRETURN rc = SQLExecDirectW(probe_.get(), Wide(text), SQL_NTS);
  SQLFreeStmt(probe_.get(), SQL_CLOSE);
  if (!SQL_SUCCEEDED(rc)) {
    Fail(SQL_HANDLE_STMT, probe_.get(), u"");
    return false;
  }
  last_used_ = std::chrono::steady_clock::now();
  return true;
}

// Whether the connection can take a statement, checked by the pool before
// it hands out an idle connection.
//
// The driver's own SQL_ATTR_CONNECTION_DEAD only knows what it learned the
// last time it talked to the server, and psqlODBC learns of a terminated
// session only when it next sends. So the socket the driver opened is
// remembered at connect time and polled here with a zero timeout: two
// system calls, no round trip, nothing the server would run, which keeps
// the check off the hot path. A server restart or pg_terminate_backend
// shows there at once as readable data and end of stream.
//
// When the socket could not be named (another socket opened in the same
// moment and the server can't tell us which is ours, or a transport without
// a socket of ours), an idle connection is probed with a statement without
// effect, but only after it has rested kProbeAfterIdle, so a busy pool pays
// nothing for it.
bool OdbcConnection::IsAlive() {
  if (broken_ || in_transaction_) return !broken_;
  SQLUINTEGER dead = SQL_CD_FALSE;
  if (SQL_SUCCEEDED(SQLGetConnectAttr(dbc_.get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
      dead == SQL_CD_TRUE) {
    broken_ = true;
    return false;
  }
  if (socket_) {
    if (!SocketLooksAlive()) {
      broken_ = true;
      return false;
    }
    return true;
  }
  if (std::chrono::steady_clock::now() - last_used_ >= kProbeAfterIdle && !Probe()) {
    broken_ = true;
    return false;
  }
  return true;
}

}  // namespace

Status OpenOdbcConnection(const std::string& odbc_string, std::unique_ptr<Connection>* connection,
                          const ConnectionOptions& options) {
  std::shared_ptr<OdbcEnvironment> environment = SharedOdbcEnvironment();
  if (!environment) return Status::Link(u"the ODBC driver manager could not be set up");
  SQLHDBC raw = SQL_NULL_HDBC;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, environment->handle(), &raw))) {
    return Status::Link(u"no ODBC connection handle could be allocated");
  }
  ConnectionHandle dbc(raw);
  // The drivers bound the whole connect, handshake included, by the login
  // timeout (MariaDB's by the read timeout the connection string gets).
  const auto login_seconds = static_cast<SQLULEN>(
      std::max<long long>(1, (options.connect_timeout.count() + 999) / 1000));
  SQLSetConnectAttr(raw, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(login_seconds), 0);

  std::vector<SocketId> before = OpenStreamSockets();
  std::u16string wide = ToWide(odbc_string);
  SQLRETURN rc;
  {
    // One PostgreSQL connect at a time: its driver switches the process's
    // locale with setlocale while it connects and reads the locale name
    // back, so two connects at once can read a name the other one just
    // freed. A DSN may name that driver too. Other drivers connect in
    // parallel, so one server that does not answer holds up no other.
    static std::mutex connect_mutex;
    std::unique_lock<std::mutex> lock(connect_mutex, std::defer_lock);
    if (NeedsSerialConnect(odbc_string)) lock.lock();
    rc = SQLDriverConnectW(raw, nullptr, Wide(wide), static_cast<SQLSMALLINT>(wide.size()), nullptr,
                           0, nullptr, SQL_DRIVER_NOPROMPT);
  }
  if (!SQL_SUCCEEDED(rc)) {
    std::u16string text;
    for (const Diagnostic& diagnostic : ReadDiagnostics(SQL_HANDLE_DBC, raw)) {
      if (diagnostic.message.empty()) continue;
      if (!text.empty()) text += u"\n";
      text += diagnostic.message;
    }
    return Status::Link(text.empty() ? u"the database connection could not be opened" : text);
  }
  auto opened = std::make_unique<OdbcConnection>(std::move(environment), std::move(dbc), options);
  opened->Connected(before);
  *connection = std::move(opened);
  return Status::OK();
}

}  // namespace zelvar::db
