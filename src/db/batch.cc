// QuerySqlBatch: read-only queries on one leased connection, as one batch
// where the backend sends one.

#include <exception>
#include <utility>

#include "db/ado.h"
#include "db/deadline.h"
#include "db/guarded.h"
#include "db/recordset.h"
#include "db/request.h"
#include "db/runner.h"

namespace zelvar::db {

void QuerySqlBatch(const std::vector<Sql>& queries, std::vector<RecordsetHandle>* recordsets) {
  RequestScope request;
  recordsets->clear();
  recordsets->resize(queries.size());
  size_t known = 0;
  std::u16string ignored;
  Guarded(&ignored, [&] {
    ConnectionHandle connection;
    if (LeaseForRequest(connection, nullptr) != 0) return -1;
    std::vector<const Sql*> pointers;
    pointers.reserve(queries.size());
    for (const Sql& query : queries) pointers.push_back(&query);
    std::vector<BatchResult> results;
    BackendError error;
    const size_t answered = connection.lease()->RunBatch(pointers, &results, &error);
    if (answered < queries.size()) connection.lease().Note(error);
    for (size_t i = 0; i < answered; ++i) {
      if (results[i].ok) (*recordsets)[i] = std::make_unique<Recordset>(std::move(results[i].rows));
    }
    known = answered;
    return 0;
  });
  // What the batch could not tell, one by one as before. A failure of
  // QuerySql leaves the handle empty, like a failed query of the batch.
  for (size_t i = known; i < queries.size(); ++i) {
    RecordsetHandle& recordset = (*recordsets)[i];
    if (QuerySql(queries[i], recordset, nullptr) != 0) recordset.reset();
  }
}

}  // namespace zelvar::db
