// The statement runners and the connection wrappers below them.

#include <exception>
#include <new>

#include "db/ado.h"
#include "db/current_connection.h"
#include "db/deadline.h"
#include "db/guarded.h"
#include "db/recordset.h"
#include "db/request.h"
#include "db/runner.h"
#include "util/error_log.h"
#include "util/text.h"

namespace zelvar::db {
namespace {

int OpenFailed(std::u16string* error_text) {
  WriteErrorLog(kOpenFailedText);
  SetText(error_text, kOpenFailedText);
  return -1;
}

}  // namespace

int LeaseForRequest(ConnectionHandle& connection, std::u16string* error_text, bool fresh) {
  std::shared_ptr<const std::string> connection_string = CurrentConnectionString();
  if (connection_string) StartRequestClock(OptionsOf(*connection_string).command_timeout);
  return AdoConnOpen(connection, std::move(connection_string), error_text, fresh);
}

void NoteIfTimedOut() {
  if (TakeTimeoutNotice()) WriteErrorLog(kTimedOutLogText);
}

int AdoConnOpen(ConnectionHandle& connection, std::shared_ptr<const std::string> connection_string,
                std::u16string* error_text, bool fresh) {
  std::u16string text;
  int result = Guarded(&text, [&] {
    connection.lease().Release();
    if (!connection_string) {
      text = u"no connection string";
      return -1;
    }
    BackendError error;
    connection.lease() = Pool::Instance().Acquire(*connection_string, fresh, &error);
    if (!connection.lease()) {
      text = std::move(error.text);
      return -1;
    }
    return 0;
  });
  if (result != 0) {
    connection.lease().Release();
    SetText(error_text, text);
  }
  return result;
}

int AdoConnExecute(ConnectionHandle& connection, const Sql& statement,
                   std::u16string* error_text) {
  if (!connection) return kEPointer;
  std::u16string text;
  int result = Guarded(&text, [&] {
    BackendError error;
    if (connection.lease()->Run(statement, nullptr, &error)) return 0;
    connection.lease().Note(error);
    text = std::move(error.text);
    return -1;
  });
  if (result != 0) SetText(error_text, text);
  return result;
}

int AdoConnClose(ConnectionHandle& connection) {
  if (!connection) return kEPointer;
  std::u16string ignored;
  return Guarded(&ignored, [&] {
    connection.lease().Release();
    return 0;
  });
}

int AdoRstOpen(RecordsetHandle& recordset, const Sql& statement,
               ConnectionHandle& active_connection, std::u16string* error_text) {
  recordset.reset();
  if (!active_connection) return kEPointer;
  std::u16string text;
  int result = Guarded(&text, [&] {
    BackendError error;
    ResultSet rows;
    if (!active_connection.lease()->Run(statement, &rows, &error)) {
      active_connection.lease().Note(error);
      text = std::move(error.text);
      return -1;
    }
    recordset = std::make_unique<Recordset>(std::move(rows));
    return 0;
  });
  if (result != 0) {
    recordset.reset();
    SetText(error_text, text);
  }
  return result;
}

int ExecuteSql(const Sql& sql, std::u16string* error_text) {
  RequestScope request;
  return Guarded(error_text, [&] {
    ConnectionHandle connection;
    std::u16string text;
    if (LeaseForRequest(connection, &text) != 0) return OpenFailed(error_text);
    if (AdoConnExecute(connection, sql, &text) == 0) return 0;
    SetText(error_text, text);
    AdoConnClose(connection);
    NoteIfTimedOut();
    return -1;
  });
}

int QuerySql(const Sql& sql, RecordsetHandle& recordset, std::u16string* error_text) {
  RequestScope request;
  return Guarded(error_text, [&] {
    ConnectionHandle connection;
    std::u16string text;
    if (LeaseForRequest(connection, &text) != 0) return OpenFailed(error_text);
    // The rows are read in full, so the connection goes back at once.
    if (AdoRstOpen(recordset, sql, connection, &text) == 0) return 0;
    SetText(error_text, text);
    AdoConnClose(connection);
    NoteIfTimedOut();
    return -1;
  });
}

int TestAndSetConnectionString(const std::string& connection_string) {
  std::u16string ignored;
  return Guarded(&ignored, [&] {
    auto candidate = std::make_shared<const std::string>(connection_string);
    // The test is bounded like a request.
    RequestScope request;
    StartRequestClock(OptionsOf(connection_string).command_timeout);
    ConnectionHandle connection;
    // A fresh connection: an idle one proves only that the string opened
    // once.
    if (AdoConnOpen(connection, candidate, nullptr, /*fresh=*/true) != 0) return -1;
    // A string whose driver can't carry wide texts would fail every request
    // that binds one.
    BackendError error;
    if (!connection.lease()->CheckTexts(&error)) {
      connection.lease().MarkBroken();
      return -1;
    }
    AdoConnClose(connection);
    SetConnectionString(connection_string);
    return 0;
  });
}

void CloseIdleConnections() {
  try {
    Pool::Instance().CloseIdle();
  } catch (...) {
  }
}

}  // namespace zelvar::db
