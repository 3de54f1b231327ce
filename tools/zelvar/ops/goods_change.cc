// Revoking and expiring goods rows.
#include "tools/zelvar/ops/goods_change.h"

#include <regex>

#include "db/recordset.h"
#include "db/transaction.h"
#include "db/write_guard.h"
#include "codec/face_text.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"
#include "util/time_text.h"

namespace zelvar::ops {
namespace {

using json = nlohmann::ordered_json;
using db::Sql;
using db::SqlValue;

// Statement outcomes of a plan's body: done, refused (the request can't
// be done as asked), the database failed.
constexpr int kPlanned = 0;
constexpr int kRefused = 1;
constexpr int kDatabaseFailed = -1;
// The rows are no longer as shown.
constexpr int kMoved = 2;

// Reads the row `id` into `row`; kRefused when there is none.
int ReadRow(db::Transaction& transaction, const GoodsChangeRequest& request, int64_t id, GoodsRow* row,
            std::string* error) {
  std::optional<GoodsRow> found;
  if (!ReadGoodsRow(transaction, id, request.now, &found, error)) {
    *error = "the goods rows can't be read: " + *error;
    return kDatabaseFailed;
  }
  if (!found) {
    *error = "there is no goods row " + std::to_string(id);
    return kRefused;
  }
  *row = *found;
  return kPlanned;
}

// Whether the row may change as asked; kRefused with `error` when not.
int CheckRow(const GoodsChangeRequest& request, const GoodsRow& row, std::string* error) {
  const std::string name = "goods row " + std::to_string(row.id);
  if (row.user_id != request.user_id) {
    *error = name + " belongs to user " + std::to_string(row.user_id) + ", not to user " +
             std::to_string(request.user_id);
    return kRefused;
  }
  if (request.kind == GoodsChangeKind::kRevoke) return kPlanned;
  if (row.quota()) {
    *error = name + " is a quota row (type " + std::to_string(row.type) +
             "): quota grants are taken back with 'zelvar revoke', not expired";
    return kRefused;
  }
  const int64_t due = ParseTimeText(row.due_time.c_str());
  if (!row.due_time.empty() && due > 0 && due <= ParseTimeText(request.due_time.c_str())) {
    *error = name + " already ends at " + row.due_time + ", not after " + request.due_time +
             "; expire only brings an end forward";
    return kRefused;
  }
  return kPlanned;
}

// The speak counters the quota rows of a revoke take back, one after the
// other on the player's face text.
int PlanSpeakCounters(db::Transaction& transaction, GoodsChangePlan* plan, std::string* error) {
  bool any_quota = false;
  for (const GoodsChange& change : plan->changes) any_quota = any_quota || change.row.quota();
  if (!any_quota) return kPlanned;
  db::RecordsetHandle rows;
  std::u16string reason;
  const Sql query("SELECT sFacePic FROM tblUser WHERE nId = %d", {SqlValue::Integer(plan->request.user_id)});
  if (transaction.Query(query, rows, &reason) != 0) {
    *error = "the player's face text can't be read: " + cli::OneLine(ToNarrow(reason));
    return kDatabaseFailed;
  }
  db::Variant face_field;
  std::u16string face;
  if (db::AdoRstGetField(rows, "sFacePic", &face_field) != 0) return kPlanned;  // no such player: no counters
  face_field.ToText(&face);
  for (GoodsChange& change : plan->changes) {
    SpeakChange speak;
    if (!change.row.quota() ||
        !codec::LowerSpeakCounter(&face, change.row.type, change.row.buy_day, &speak.before, &speak.after)) {
      continue;
    }
    speak.counter = codec::SpeakCounterOf(change.row.type);
    plan->face_changes = plan->face_changes || speak.after != speak.before;
    change.speak = speak;
  }
  plan->new_face = face;
  return kPlanned;
}

int BuildPlan(db::Transaction& transaction, const GoodsChangeRequest& request, GoodsChangePlan* plan,
              std::string* error) {
  *plan = GoodsChangePlan();
  plan->request = request;
  for (const int64_t id : request.row_ids) {
    GoodsChange change;
    if (const int status = ReadRow(transaction, request, id, &change.row, error); status != kPlanned) return status;
    if (const int status = CheckRow(request, change.row, error); status != kPlanned) return status;
    plan->changes.push_back(change);
  }
  if (request.kind == GoodsChangeKind::kRevoke) return PlanSpeakCounters(transaction, plan, error);
  return kPlanned;
}

// Runs one statement of the change; kMoved unless it changed exactly
// `expected` rows.
int Change(db::Transaction& transaction, const Sql& sql, int64_t expected, int64_t* rows_changed,
           std::string* error) {
  std::u16string reason;
  int64_t changed = 0;
  if (transaction.Execute(sql, &reason, &changed) != 0) {
    *error = "'" + ToNarrow(sql.Text()) + "' failed: " + cli::OneLine(ToNarrow(reason));
    return kDatabaseFailed;
  }
  *rows_changed += changed;
  if (changed != expected) {
    *error = "'" + ToNarrow(sql.Text()) + "' changed " + std::to_string(changed) + " rows, not " +
             std::to_string(expected);
    return kMoved;
  }
  return kPlanned;
}

int WriteChanges(db::Transaction& transaction, const GoodsChangePlan& plan, int64_t* rows_changed,
                 std::string* error) {
  const GoodsChangeRequest& request = plan.request;
  for (const GoodsChange& change : plan.changes) {
    const SqlValue id = SqlValue::Integer(change.row.id);
    const SqlValue user = SqlValue::Integer(request.user_id);
    const Sql sql = request.kind == GoodsChangeKind::kRevoke
                        ? Sql("DELETE FROM tblUserGoods WHERE nId = %d AND nUserId = %d", {id, user})
                        : Sql("UPDATE tblUserGoods SET tDueTime = '%s' WHERE nId = %d AND nUserId = %d",
                              {SqlValue::DateTime(request.due_time), id, user});
    if (const int status = Change(transaction, sql, 1, rows_changed, error); status != kPlanned) return status;
  }
  if (!plan.face_changes) return kPlanned;
  return Change(transaction,
                Sql("UPDATE tblUser SET sFacePic = '%s' WHERE nId = %d",
                    {SqlValue::Text(plan.new_face), SqlValue::Integer(request.user_id)}),
                1, rows_changed, error);
}

}  // namespace

json GoodsChange::Json() const {
  json out = {{"row", row.Json()}};
  if (speak) out["speak_counter"] = {{"counter", speak->counter}, {"before", speak->before}, {"after", speak->after}};
  return out;
}

json GoodsChangePlan::Json() const {
  json out = {{"action", request.kind == GoodsChangeKind::kRevoke ? "revoke" : "expire"},
              {"user_id", request.user_id}};
  if (request.kind == GoodsChangeKind::kExpire) out["due_time"] = request.due_time;
  json rows = json::array();
  for (const GoodsChange& change : changes) rows.push_back(change.Json());
  out["changes"] = rows;
  return out;
}

bool PlanGoodsChange(const GoodsChangeRequest& request, GoodsChangePlan* plan, bool* refused, std::string* error) {
  int status = kPlanned;
  std::u16string reason;
  // Read in a transaction that is always rolled back: one consistent view.
  const int result = db::RunTransaction(
      [&](db::Transaction& transaction) {
        status = BuildPlan(transaction, request, plan, error);
        return status == kPlanned ? kRefused : status;
      },
      &reason);
  *refused = status == kRefused;
  if (status == kPlanned && result == kRefused) return true;
  if (status == kPlanned) *error = "the goods rows can't be read: " + cli::OneLine(ToNarrow(reason));
  return false;
}

bool ApplyGoodsChange(const GoodsChangePlan& shown, int64_t* rows_changed, std::string* error) {
  std::u16string reason;
  const int result = db::RunTransaction(
      [&](db::Transaction& transaction) {
        *rows_changed = 0;
        // The player's goods guard row, as every grant writes it: on a
        // multi-primary cluster a grant on another node then can't commit
        // beside this change of the rows it read.
        if (db::WriteGuard(transaction, db::GuardKind::kPlayerGoods, shown.request.user_id, 0, nullptr) != 0) return -1;
        GoodsChangePlan now;
        if (const int status = BuildPlan(transaction, shown.request, &now, error); status != kPlanned) return status;
        if (now.Json() != shown.Json() || now.new_face != shown.new_face) {
          *error = "the rows changed since they were read";
          return kMoved;
        }
        return WriteChanges(transaction, now, rows_changed, error);
      },
      &reason);
  if (result == 0) return true;
  *rows_changed = 0;
  if (result == kMoved || result == kRefused) *error += "; nothing was changed, run it again to see the rows as they are";
  else if (error->empty()) *error = "the change failed: " + cli::OneLine(ToNarrow(reason)) + "; nothing was changed";
  else *error += "; nothing was changed";
  return false;
}

std::optional<std::string> ParseLocalTime(const std::string& text) {
  static const std::regex kTime(R"((\d{4}-\d{2}-\d{2}) (\d{2}:\d{2})(:\d{2})?)");
  std::smatch match;
  if (!std::regex_match(text, match, kTime)) return std::nullopt;
  const std::string full = match[1].str() + " " + match[2].str() + (match[3].matched ? match[3].str() : ":00");
  // A day or hour that does not exist does not read back as itself.
  const int64_t seconds = ParseTimeText(full.c_str());
  if (seconds <= 0 || LocalTimeText(seconds) != full) return std::nullopt;
  return full;
}

}  // namespace zelvar::ops
