// What differs per server in the ODBC backend: the dialect read from the
// driver at connect time, MariaDB's and MySQL's session settings, and how
// a transaction gets its isolation (per transaction on PostgreSQL and
// MariaDB, SET LOCAL statement_timeout on PostgreSQL; the session's
// isolation elsewhere).

#include <algorithm>
#include <cctype>

#include "db/connection_string.h"
#include "db/odbc_internal.h"
#include "util/text.h"

namespace zelvar::db {

bool NeedsSerialConnect(const std::string& odbc_string) {
  std::vector<std::pair<std::string, std::string>> pairs;
  if (!SplitConnectionString(odbc_string, &pairs)) return true;
  std::string driver;
  bool dsn = false;
  for (const auto& [keyword, value] : pairs) {
    std::string lower;
    for (char c : keyword) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (lower == "driver") driver = value;
    if (lower == "dsn") dsn = true;
  }
  if (driver.empty()) return dsn;
  return NamesPostgresDriver(driver);
}

namespace {

// A text item of SQLGetInfoW, empty when the driver has none.
std::u16string InfoText(SQLHDBC dbc, SQLUSMALLINT item) {
  SQLWCHAR text[64] = {0};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, item, text, sizeof(text), &length))) {
    return std::u16string();
  }
  const size_t units = std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)) /
                                            sizeof(SQLWCHAR),
                                        63);
  return FromWide(text, units);
}

}  // namespace

std::u16string OdbcConnection::DbmsName() { return InfoText(dbc_.get(), SQL_DBMS_NAME); }

std::string OdbcConnection::ProductName() { return ToNarrow(DbmsName()); }

std::string OdbcConnection::DriverName() {
  const std::string name = ToNarrow(InfoText(dbc_.get(), SQL_DRIVER_NAME));
  const std::string version = ToNarrow(InfoText(dbc_.get(), SQL_DRIVER_VER));
  return version.empty() ? name : name + " " + version;
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

void OdbcConnection::LearnDialect() {
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
}

Status OdbcConnection::SerializableSession() {
  // The isolation can only change outside a transaction, so before
  // autocommit goes off. Setting it may cost a round trip, so it stays
  // serializable after the transaction until a statement outside one
  // needs the default back (RestoreIsolation).
  if (serializable_) return Status::OK();
  if (!SQL_SUCCEEDED(SQLSetConnectAttr(dbc_.get(), SQL_ATTR_TXN_ISOLATION,
                                       reinterpret_cast<SQLPOINTER>(SQL_TXN_SERIALIZABLE), 0))) {
    return Fail(SQL_HANDLE_DBC, dbc_.get(), u"the isolation level could not be set");
  }
  serializable_ = true;
  return Status::OK();
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

}  // namespace zelvar::db
