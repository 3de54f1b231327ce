// OpenConnection: resolves a connection string and opens a connection of
// the backend it names; and the batch of queries run one by one, for the
// backends without a batch of their own. Thread-safe.

#include "db/backend.h"

#include "db/connection_string.h"
#include "db/failover.h"
#include "util/text.h"

namespace zelvar::db {

Status OpenConnection(const std::string& connection_string,
                      std::unique_ptr<Connection>* connection) {
  const ConnectionTarget target = ResolveConnectionString(connection_string);
  switch (target.kind) {
    case ConnectionTarget::Kind::kSqlite:
      return OpenSqliteConnection(target.sqlite_path, connection, target.options);
    case ConnectionTarget::Kind::kOdbc:
      if (!target.servers.empty()) {
        return OpenFirstAnswering(
            target.servers,
            [&](const std::string& server, std::unique_ptr<Connection>* opened) {
              return OpenOdbcConnection(server, opened, target.options);
            },
            connection);
      }
      return OpenOdbcConnection(target.odbc, connection, target.options);
    case ConnectionTarget::Kind::kInvalid:
      break;
  }
  return Status::Link(ToWide(target.error.empty() ? "invalid connection string" : target.error));
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

Status Connection::RunBatch(const std::vector<const Sql*>& queries,
                            std::vector<BatchResult>* results) {
  results->clear();
  return RunEachOf(queries, 0, results);
}

Status Connection::RunEachOf(const std::vector<const Sql*>& queries, size_t first,
                             std::vector<BatchResult>* results) {
  for (size_t i = first; i < queries.size(); ++i) {
    BatchResult& result = results->emplace_back();
    result.status = Run(*queries[i], &result.rows);
    if (result.status.IsNotServing()) {
      // It did not run: its outcome is for another connection to give.
      Status status = std::move(result.status);
      results->pop_back();
      return status;
    }
    // After a link failure nothing more can run here; when it was the
    // last query, every outcome is known all the same.
    if (result.status.IsLink() && i + 1 < queries.size()) return result.status;
  }
  return Status::OK();
}

}  // namespace zelvar::db

