// The connection and record-set wrappers, and their steps.

#include "db/ado.h"

#include "db/guarded.h"
#include "db/recordset.h"

namespace zelvar::db {

Status OpenLease(const std::shared_ptr<const std::string>& connection_string, bool fresh,
                 Lease* lease) {
  lease->Release();
  if (!connection_string) return Status::Link(u"no connection string");
  return Pool::Instance().Acquire(*connection_string, fresh, lease);
}

Status RunStatement(Lease& lease, const Sql& statement) {
  Status status = lease->Run(statement, nullptr);
  lease.Note(status);
  return status;
}

Status RunQuery(Lease& lease, const Sql& statement, RecordsetHandle& recordset) {
  recordset.reset();
  ResultSet rows;
  Status status = lease->Run(statement, &rows);
  lease.Note(status);
  if (status.ok()) recordset = std::make_unique<Recordset>(std::move(rows));
  return status;
}

int AdoConnOpen(Lease& connection, std::shared_ptr<const std::string> connection_string,
                std::u16string* error_text, bool fresh) {
  const int result = Guarded(error_text, [&] {
    return OpenLease(connection_string, fresh, &connection);
  });
  if (result != 0) connection.Release();
  return result;
}

int AdoConnExecute(Lease& connection, const Sql& statement, std::u16string* error_text) {
  if (!connection) return kEPointer;
  return Guarded(error_text, [&] { return RunStatement(connection, statement); });
}

int AdoConnClose(Lease& connection) {
  if (!connection) return kEPointer;
  return Guarded(nullptr, [&] {
    connection.Release();
    return Status::OK();
  });
}

int AdoRstOpen(RecordsetHandle& recordset, const Sql& statement, Lease& active_connection,
               std::u16string* error_text) {
  recordset.reset();
  if (!active_connection) return kEPointer;
  const int result = Guarded(error_text, [&] {
    return RunQuery(active_connection, statement, recordset);
  });
  if (result != 0) recordset.reset();
  return result;
}

}  // namespace zelvar::db
