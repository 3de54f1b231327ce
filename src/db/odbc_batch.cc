// Batches of read-only queries on the ODBC backend: queries whose values
// are all integers go to the server in one text, a round trip for up to
// kBatchQueries of them, and their result sets are read one by one; any
// other query, and every query on a driver that refused a batch (MariaDB's
// among them), runs on its own.

#include "db/odbc_internal.h"

namespace zelvar::db {
namespace {

// Queries of a batch are sent in rounds of at most this many: it bounds the
// text of one round trip, and psqlODBC's cost per query grows with the
// number of queries in one text.
constexpr size_t kBatchQueries = 100;

// Integers written as decimals cannot change a statement; any other value
// stays bound, so its query runs on its own.
bool Inlinable(const Sql& sql) {
  for (const SqlValue& value : sql.values()) {
    if (value.kind() != SqlValue::Kind::kInteger) return false;
  }
  return true;
}

}  // namespace

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

}  // namespace zelvar::db
