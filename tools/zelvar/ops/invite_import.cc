// The chunked invitation import.
#include "tools/zelvar/ops/invite_import.h"

#include <algorithm>
#include <set>

#include "db/recordset.h"
#include "db/runner.h"
#include "tools/zelvar/ops/rows.h"
#include "tools/zelvar/ops/writes.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"

namespace zelvar::ops {
namespace {

using db::Sql;
using db::SqlValue;

volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) { interrupted = 1; }

// "SELECT <what> FROM tblInviteRecord WHERE nUserid = U AND sInviteCode IN
// (codes of rows[begin, end))"; all of the user's rows when `begin` ==
// `end`.
Sql InvitationQuery(const char* what, int32_t user_id, const std::vector<codec::Invitation>& rows, size_t begin,
                    size_t end) {
  std::string format = std::string("SELECT ") + what + " FROM tblInviteRecord WHERE nUserid = %d";
  std::vector<SqlValue> values = {SqlValue::Integer(user_id)};
  if (begin < end) {
    format += " AND sInviteCode IN (";
    for (size_t i = begin; i < end; ++i) {
      format += i == begin ? "'%s'" : ",'%s'";
      values.push_back(SqlValue::Text(rows[i].invite_code));
    }
    format += ")";
  }
  return Sql(format, std::move(values));
}

// The codes the user has among rows[begin, end) (all when begin == end).
bool StoredCodes(int32_t user_id, const std::vector<codec::Invitation>& rows, size_t begin, size_t end,
                 std::set<std::u16string>* codes, std::string* error) {
  db::RecordsetHandle found;
  if (!QueryRows(InvitationQuery("sInviteCode", user_id, rows, begin, end), &found, error)) {
    *error = "cannot read the stored invitation codes: " + *error;
    return false;
  }
  for (; !found->IsEOF(); found->MoveNext()) codes->insert(ToWide(FieldText(*found, 0)));
  return true;
}

// Why the first row of rows[begin, end) that is not stored was not.
std::string FirstRefusal(int32_t user_id, const std::vector<codec::Invitation>& rows, size_t begin, size_t end) {
  std::set<std::u16string> stored;
  std::string error;
  if (!StoredCodes(user_id, rows, begin, end, &stored, &error)) return error;
  for (size_t i = begin; i < end; ++i) {
    if (stored.count(rows[i].invite_code) == 0) return WriteRefusal(InsertInvitation(user_id, rows[i]));
  }
  return "";
}

}  // namespace

nlohmann::ordered_json ImportResult::Json() const {
  nlohmann::ordered_json out = {{"sent", sent}, {"stored", stored}, {"requests", requests},
                                {"interrupted", interrupted}};
  if (!reason.empty()) out["reason"] = reason;
  if (!error.empty()) out["error"] = error;
  return out;
}

bool SkipStoredInvitations(int32_t user_id, std::vector<codec::Invitation>* rows, int64_t* skipped,
                           std::string* error) {
  std::set<std::u16string> stored;
  if (!StoredCodes(user_id, *rows, 0, 0, &stored, error)) return false;
  const auto kept = std::remove_if(rows->begin(), rows->end(), [&](const codec::Invitation& row) {
    return stored.count(row.invite_code) != 0;
  });
  *skipped = static_cast<int64_t>(rows->end() - kept);
  rows->erase(kept, rows->end());
  return true;
}

ImportResult ImportInvitations(int32_t user_id, const std::vector<codec::Invitation>& rows, bool log_sql,
                               const std::function<int(CKParam&)>& put, const volatile std::sig_atomic_t* stop) {
  ImportResult result;
  for (size_t begin = 0; begin < rows.size(); begin += kInvitationsPerRequest) {
    if (stop != nullptr && *stop != 0) {
      result.interrupted = true;
      break;
    }
    const size_t end = std::min(rows.size(), begin + kInvitationsPerRequest);
    const Sql count = InvitationQuery("COUNT(*)", user_id, rows, begin, end);
    const auto before = QueryCount(count, &result.error);
    if (!before) break;
    const std::vector<codec::Invitation> chunk(rows.begin() + static_cast<long>(begin),
                                               rows.begin() + static_cast<long>(end));
    CKParam packet = codec::InvitationsRequest(chunk, log_sql);
    put(packet);  // 0 whatever happened: the rows are counted instead
    ++result.requests;
    result.sent += static_cast<int64_t>(end - begin);
    const auto after = QueryCount(count, &result.error);
    if (!after) break;
    const int64_t stored = *after - *before;
    result.stored += stored;
    if (stored < static_cast<int64_t>(end - begin) && result.reason.empty()) {
      result.reason = FirstRefusal(user_id, rows, begin, end);
    }
  }
  return result;
}

InterruptFlag::InterruptFlag() {
  interrupted = 0;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &previous_);
}

InterruptFlag::~InterruptFlag() { sigaction(SIGINT, &previous_, nullptr); }

const volatile std::sig_atomic_t* InterruptFlag::flag() const { return &interrupted; }

}  // namespace zelvar::ops
