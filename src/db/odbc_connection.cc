// The ODBC backend (unixODBC): a Connection over one ODBC connection
// handle, for database servers (PostgreSQL through psqlODBC, SQL Server
// through Microsoft's driver or FreeTDS, MariaDB). This file holds the
// connection's statements, its statement cache, its transactions and the
// opening of a connection; the other odbc_*.cc files hold the rest
// (odbc_internal.h).
//
// Texts travel as UTF-16 through the wide ODBC calls (unixODBC's SQLWCHAR
// is two bytes). Each statement text is prepared once per connection and
// kept in a cache keyed by its parameterized text; every run binds its
// values afresh.
//
// A Connection is used by one thread at a time; different connections may
// be used on different threads at once (the environment is shared).

#include <algorithm>
#include <chrono>
#include <mutex>

#include "db/odbc_internal.h"
#include "util/text.h"

namespace zelvar::db {

OdbcConnection::~OdbcConnection() {
  // A driver manager may refuse to disconnect inside a transaction, which
  // would keep the session and its locks; end it first.
  if (in_transaction_ && !broken_) SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_ROLLBACK);
  // Statements go before the connection handle they belong to.
  statements_.Clear();
  probe_.reset();
  batch_.reset();
  control_.reset();
}

void OdbcConnection::Connected(const std::vector<SocketId>& before) {
  LearnDialect();
  FindOwnSocket(before);
  last_used_ = std::chrono::steady_clock::now();
}

Status OdbcConnection::Lookup(const std::string& text, Prepared** prepared) {
  *prepared = statements_.Find(text);
  if (*prepared != nullptr) return Status::OK();
  SQLHSTMT raw = SQL_NULL_HSTMT;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_.get(), &raw))) {
    return Fail(SQL_HANDLE_DBC, dbc_.get(), u"no ODBC statement handle could be allocated");
  }
  Prepared entry;
  entry.handle.reset(raw);
  *prepared = statements_.Insert(text, std::move(entry));
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

Status OdbcConnection::Run(const Sql& sql, ResultSet* rows) {
  if (broken_) return Status::Link(kLostText);
  last_used_ = std::chrono::steady_clock::now();
  Status status = RestoreIsolation();
  if (!status.ok()) return status;
  bool stale = false;
  status = RunOnce(sql, rows, &stale, options_.named_statements);
  if (status.ok() || !stale) return status;
  // Inside a transaction PostgreSQL refuses every statement after a failed
  // one: the whole transaction runs again, and prepares the statement
  // afresh when it comes to it.
  if (in_transaction_ && dialect_ == Dialect::kPostgres) return Status::Retryable(status.text());
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
    statements_.Erase(text);
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
    statements_.Erase(text);
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
    statements_.Erase(text);
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
  if (dialect_ == Dialect::kOther) {
    Status status = SerializableSession();
    if (!status.ok()) return status;
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

Status OpenOdbcConnection(const std::string& odbc_string, std::unique_ptr<Connection>* connection,
                          const ConnectionOptions& options) {
  std::shared_ptr<OdbcEnvironment> environment = SharedOdbcEnvironment();
  if (!environment) return Status::Link(u"the ODBC driver manager could not be set up");
  SQLHDBC raw = SQL_NULL_HDBC;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, environment->handle(), &raw))) {
    return Status::Link(u"no ODBC connection handle could be allocated");
  }
  DbcHandle dbc(raw);
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
    std::u16string text = ReadFailure(ReadDiagnostics(SQL_HANDLE_DBC, raw), SqlFamily::kOther).text;
    return Status::Link(text.empty() ? u"the database connection could not be opened" : text);
  }
  auto opened =
      std::make_unique<OdbcConnection>(std::move(environment), std::move(dbc), options, odbc_string);
  opened->Connected(before);
  *connection = std::move(opened);
  return Status::OK();
}

}  // namespace zelvar::db
