// OpenConnection: resolves a connection string and opens a connection of
// the backend it names. Thread-safe.

#include "db/backend.h"

#include "db/connection_string.h"
#include "db/text.h"

namespace zelvar::db {

std::unique_ptr<Connection> OpenConnection(const std::string& connection_string,
                                           BackendError* error) {
  const ConnectionTarget target = ResolveConnectionString(connection_string);
  switch (target.kind) {
    case ConnectionTarget::Kind::kSqlite:
      return OpenSqliteConnection(target.sqlite_path, error);
    case ConnectionTarget::Kind::kOdbc:
      return OpenOdbcConnection(target.odbc, error);
    case ConnectionTarget::Kind::kInvalid:
      break;
  }
  error->kind = FailureKind::kLink;
  error->text = ToWide(target.error.empty() ? "invalid connection string" : target.error);
  return nullptr;
}

}  // namespace zelvar::db

