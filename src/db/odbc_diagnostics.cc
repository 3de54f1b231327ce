// The ODBC backend's failures: reading the diagnostic records of a handle
// and classifying them, per family of server (SQLSTATE and native codes,
// and the texts of drivers that report a lost link under a general
// SQLSTATE), as a retryable, link, not-serving or statement failure, with
// a plan gone stale told apart.
//
// What MariaDB's driver reports, as seen on a server and a Galera node:
//   a session killed (KILL), idle or mid-statement, or the server gone:
//       08S01 with 2013 "Lost connection" or 2006 "Server has gone away"
//       (at COMMIT too); the server ending an idle session (wait_timeout):
//       HY000 5014 "Connection reset by peer" or 4031; 1927 "Connection was
//       killed" (70100) when the server tells it
//   KILL QUERY: HY018 1317 "Query execution was interrupted"; the session
//       stays sound, and the statement may have run in part
//   innodb_lock_wait_timeout: HY000 1205; the statement alone is undone
//   a Galera node that is not in the primary component (or not synced):
//       08S01 1047 "WSREP has not yet prepared node for application use"
//       for every statement that reads or writes a table, and for COMMIT;
//       the session stays open (SELECT 1 runs) and is of no use
//   a certification failure (a write of another node came first): 40001
//       1213, at a statement or at COMMIT

#include <string_view>

#include "db/odbc_internal.h"
#include "util/error_log.h"

namespace zelvar::db {
namespace {

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

bool IsLinkDiagnostic(const Diagnostic& diagnostic, SqlFamily family) {
  const std::string& state = diagnostic.state;
  if (state.rfind("08", 0) == 0) return true;  // connection exceptions
  // Timeouts: no query timeout is set, so one comes from a link that went
  // silent.
  if (state == "HYT00" || state == "HYT01") return true;
  // PostgreSQL: the server ended the session (pg_terminate_backend, a
  // fast shutdown or restart, a crash of another backend).
  if (state == "57P01" || state == "57P02" || state == "57P03") return true;
  // MariaDB: the session was killed (1927), ended for inactivity (4031),
  // the server is shutting down (1053), the link was lost or never made
  // (2002, 2003, 2006, 2013, 2055), whatever SQLSTATE the driver gives.
  if (family == SqlFamily::kMySql) {
    static constexpr SQLINTEGER kLinkCodes[] = {1053, 1927, 2002, 2003, 2006, 2013, 2055, 4031};
    for (SQLINTEGER code : kLinkCodes) {
      if (diagnostic.native == code) return true;
    }
  }
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

// A Galera node outside the primary component, or not yet synced, refuses
// a statement before running it (1047, SQLSTATE 08S01); other nodes may
// serve.
bool IsNotServingDiagnostic(const Diagnostic& diagnostic, SqlFamily family) {
  return family == SqlFamily::kMySql && diagnostic.native == 1047;
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

bool IsRetryableDiagnostic(const Diagnostic& diagnostic, SqlFamily family) {
  // Serialization failure, deadlock, Galera's certification failure.
  if (diagnostic.state == "40001" || diagnostic.state == "40P01") return true;
  switch (family) {
    case SqlFamily::kMySql:
      // A lock wait timeout undoes only the statement; the transaction is
      // rolled back and runs again, as after a deadlock (1213).
      return diagnostic.native == 1205 || diagnostic.native == 1213;
    case SqlFamily::kOther:
      // SQL Server reports its deadlock victims as native error 1205.
      return diagnostic.native == 1205;
    case SqlFamily::kPostgres:  // psqlODBC's native codes are its own
    case SqlFamily::kSqlite:
      return false;
  }
  return false;
}

}  // namespace

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

FailureReading ReadFailure(const std::vector<Diagnostic>& diagnostics, SqlFamily family) {
  FailureReading reading;
  bool timed_out = false;
  for (const Diagnostic& diagnostic : diagnostics) {
    // psqlODBC's ANSI driver: "Unrecognized C_parameter type".
    reading.wide_text_refused =
        reading.wide_text_refused ||
        (diagnostic.state == "HYC00" && Contains(diagnostic.message, "C_parameter type"));
    reading.stale_plan = reading.stale_plan || IsStalePlanDiagnostic(diagnostic);
    timed_out = timed_out || IsTimeoutDiagnostic(diagnostic);
    reading.link = reading.link || IsLinkDiagnostic(diagnostic, family);
    reading.not_serving = reading.not_serving || IsNotServingDiagnostic(diagnostic, family);
    reading.retryable = reading.retryable || IsRetryableDiagnostic(diagnostic, family);
    if (diagnostic.message.empty()) continue;
    if (!reading.text.empty()) reading.text += u"\n";
    reading.text += diagnostic.message;
  }
  // A request that ran out of time leaves its connection behind; so does
  // a server that does not serve.
  reading.link = reading.link || timed_out || reading.not_serving;
  return reading;
}

bool OdbcConnection::DriverSaysDead() {
  SQLUINTEGER dead = SQL_CD_FALSE;
  return SQL_SUCCEEDED(SQLGetConnectAttr(dbc_.get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
         dead == SQL_CD_TRUE;
}

Status OdbcConnection::Fail(SQLSMALLINT type, SQLHANDLE handle, std::u16string fallback) {
  std::vector<Diagnostic> diagnostics = ReadDiagnostics(type, handle);
  if (type == SQL_HANDLE_STMT && diagnostics.empty()) {
    diagnostics = ReadDiagnostics(SQL_HANDLE_DBC, dbc_.get());
  }
  FailureReading reading = ReadFailure(diagnostics, dialect_);
  if (!reading.link) reading.link = DriverSaysDead();
  if (reading.wide_text_refused && !checking_texts_) {
    WriteErrorLog(u"the ODBC driver refused a wide text value (an ANSI driver? use the "
                  u"driver's Unicode variant): " + reading.text);
  }
  if (reading.link) broken_ = true;
  stale_failure_ = reading.stale_plan && !reading.link;
  std::u16string text = reading.text.empty() ? std::move(fallback) : std::move(reading.text);
  if (reading.not_serving) {
    NoteNotServing(odbc_string_);
    return Status::NotServing(std::move(text));
  }
  if (reading.link) return Status::Link(std::move(text));
  if (reading.retryable) return Status::Retryable(std::move(text));
  return Status::Statement(std::move(text));
}

}  // namespace zelvar::db
