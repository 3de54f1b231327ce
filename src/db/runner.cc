// The statement runners.

#include "db/runner.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "db/ado.h"
#include "db/current_connection.h"
#include "db/deadline.h"
#include "db/failover.h"
#include "db/guarded.h"
#include "db/recordset.h"
#include "db/request.h"
#include "util/error_log.h"

namespace zelvar::db {

Status LeaseForRequest(Lease* lease, bool fresh) {
  std::shared_ptr<const std::string> connection_string = CurrentConnectionString();
  if (connection_string) StartRequestClock(OptionsOf(*connection_string).command_timeout);
  return OpenLease(connection_string, fresh, lease);
}

Status OpenFailed() {
  WriteErrorLog(kOpenFailedText);
  return Status::Link(kOpenFailedText);
}

bool NoteIfTimedOut() {
  if (!TakeTimeoutNotice()) return false;
  WriteErrorLog(kTimedOutLogText);
  return true;
}

void BackOff(int attempt) {
  // Eight threads granting goods to one player on a SERIALIZABLE server
  // collide often; the pauses stay short so that every one gets through.
  constexpr int kMaxBackOffMicros = 20000;
  thread_local std::minstd_rand random(
      static_cast<unsigned>(std::hash<std::thread::id>()(std::this_thread::get_id())) ^
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const int ceiling = std::min(kMaxBackOffMicros, 250 << std::min(attempt, 10));
  std::uniform_int_distribution<int> pick(ceiling / 4, ceiling);
  std::this_thread::sleep_for(std::chrono::microseconds(pick(random)));
}

Status RunServed(Lease& lease, const std::function<Status(Lease&)>& run) {
  Status status = run(lease);
  int served_elsewhere = 0;
  for (int attempt = 1; attempt < kMaxAttempts && !DeadlinePassed(); ++attempt) {
    if (status.IsNotServing()) {
      PauseBeforeServingAgain(served_elsewhere++);
      if (!LeaseForRequest(&lease, /*fresh=*/true).ok()) return OpenFailed();
    } else if (status.IsRetryable()) {
      BackOff(attempt);
    } else {
      break;
    }
    status = run(lease);
  }
  return status;
}

int ExecuteSql(const Sql& sql, std::u16string* error_text) {
  RequestScope request;
  return Guarded(error_text, [&] {
    Lease lease;
    if (!LeaseForRequest(&lease).ok()) return OpenFailed();
    Status status = RunServed(lease, [&](Lease& leased) { return RunStatement(leased, sql); });
    if (!status.ok()) {
      lease.Release();
      NoteIfTimedOut();
    }
    return status;
  });
}

namespace {

// Runs the query `choose` names for the leased connection (null: none).
template <typename Choose>
int QueryChosen(Choose&& choose, RecordsetHandle& recordset, std::u16string* error_text,
                bool* refused = nullptr) {
  RequestScope request;
  if (refused != nullptr) *refused = false;
  return Guarded(error_text, [&] {
    Lease lease;
    if (!LeaseForRequest(&lease).ok()) return OpenFailed();
    const Sql* sql = choose(lease->Family());
    if (sql == nullptr) {
      recordset.reset();
      if (refused != nullptr) *refused = true;
      return Status::Statement(u"no statement for this database");
    }
    // The rows are read in full, so the connection goes back at once.
    Status status =
        RunServed(lease, [&](Lease& leased) { return RunQuery(leased, *sql, recordset); });
    if (!status.ok()) {
      lease.Release();
      const bool timed_out = NoteIfTimedOut();
      if (refused != nullptr) *refused = status.IsStatement() && !timed_out;
    }
    return status;
  });
}

}  // namespace

int QuerySql(const Sql& sql, RecordsetHandle& recordset, std::u16string* error_text) {
  return QueryChosen([&](SqlFamily) { return &sql; }, recordset, error_text);
}

int QuerySqlOf(const std::function<std::optional<Sql>(SqlFamily)>& choose,
               RecordsetHandle& recordset, std::u16string* error_text, bool* refused) {
  std::optional<Sql> chosen;
  return QueryChosen(
      [&](SqlFamily family) {
        chosen = choose(family);
        return chosen ? &*chosen : nullptr;
      },
      recordset, error_text, refused);
}

int TestAndSetConnectionString(const std::string& connection_string) {
  return Guarded(nullptr, [&] {
    auto candidate = std::make_shared<const std::string>(connection_string);
    // The test is bounded like a request.
    RequestScope request;
    StartRequestClock(OptionsOf(connection_string).command_timeout);
    // A fresh connection: an idle one proves only that the string opened
    // once.
    Lease lease;
    Status status = OpenLease(candidate, /*fresh=*/true, &lease);
    if (!status.ok()) return status;
    // A string whose driver can't carry wide texts would fail every request
    // that binds one.
    status = lease->CheckTexts();
    if (!status.ok()) {
      lease.MarkBroken();
      return status;
    }
    lease.Release();
    SetConnectionString(connection_string);
    return Status::OK();
  });
}

void CloseIdleConnections() {
  try {
    Pool::Instance().CloseIdle();
  } catch (...) {
  }
}

}  // namespace zelvar::db
