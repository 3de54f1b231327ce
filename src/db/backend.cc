// OpenConnection: resolves a connection string and opens a connection of
// the backend it names; and the batch of queries run one by one, for the
// backends without a batch of their own. Thread-safe.

#include "db/backend.h"

#include "db/connection_string.h"
#include "util/text.h"

namespace zelvar::db {

std::unique_ptr<Connection> OpenConnection(const std::string& connection_string,
                                           BackendError* error) {
  const ConnectionTarget target = ResolveConnectionString(connection_string);
  switch (target.kind) {
    case ConnectionTarget::Kind::kSqlite:
      return OpenSqliteConnection(target.sqlite_path, error, target.options);
    case ConnectionTarget::Kind::kOdbc:
      return OpenOdbcConnection(target.odbc, error, target.options);
    case ConnectionTarget::Kind::kInvalid:
      break;
  }
  error->kind = FailureKind::kLink;
  error->text = ToWide(target.error.empty() ? "invalid connection string" : target.error);
  return nullptr;
}

ConnectionOptions OptionsOf(const std::string& connection_string) {
  // Requests ask for the string in force, which rarely changes: each thread
  // keeps the last answer.
  thread_local std::string last_string;
  thread_local ConnectionOptions last_options;
  thread_local bool known = false;
  if (!known || last_string != connection_string) {
    ConnectionTarget target = ResolveConnectionString(connection_string, {});
    last_options = target.options;
    last_string = connection_string;
    known = true;
  }
  return last_options;
}

size_t Connection::RunBatch(const std::vector<const Sql*>& queries,
                            std::vector<BatchResult>* results, BackendError* error) {
  results->clear();
  results->resize(queries.size());
  for (size_t i = 0; i < queries.size(); ++i) {
    BackendError failure;
    BatchResult& result = (*results)[i];
    result.ok = Run(*queries[i], &result.rows, &failure);
    // After a link failure nothing more can run here.
    if (!result.ok && failure.kind == FailureKind::kLink) {
      *error = std::move(failure);
      return i + 1;
    }
  }
  return queries.size();
}

}  // namespace zelvar::db

