// QuerySqlBatch: read-only queries on one leased connection, as one batch
// where the backend sends one.

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
  Guarded(nullptr, [&] {
    Lease lease;
    Status status = LeaseForRequest(&lease);
    if (!status.ok()) return status;
    std::vector<const Sql*> pointers;
    pointers.reserve(queries.size());
    for (const Sql& query : queries) pointers.push_back(&query);
    std::vector<BatchResult> results;
    lease.Note(lease->RunBatch(pointers, &results));
    for (size_t i = 0; i < results.size(); ++i) {
      if (results[i].status.ok()) {
        (*recordsets)[i] = std::make_unique<Recordset>(std::move(results[i].rows));
      }
    }
    known = results.size();
    return Status::OK();
  });
  // What the batch could not tell, one by one as before. A failure of
  // QuerySql leaves the handle empty, like a failed query of the batch.
  for (size_t i = known; i < queries.size(); ++i) {
    RecordsetHandle& recordset = (*recordsets)[i];
    if (QuerySql(queries[i], recordset, nullptr) != 0) recordset.reset();
  }
}

}  // namespace zelvar::db
