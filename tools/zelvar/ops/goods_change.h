// Undoing goods grants for support staff: revoke removes a player's goods
// rows (and takes a quota row's count back from the player's speak
// counter), expire ends time-limited grants at a given time and keeps the
// rows as a record. A change is planned first, read-only, so that it can
// be shown and confirmed, then applied in one transaction that checks the
// rows are still as shown.
//
// Runs on the connection string in force; prints nothing. One thread at a
// time.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_GOODS_CHANGE_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_GOODS_CHANGE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/zelvar/ops/goods_view.h"

namespace zelvar::ops {

// A speak counter of the player's face text, before and after.
struct SpeakChange {
  int counter = 0;  // 1 to 10
  int64_t before = 0;
  int64_t after = 0;
};

enum class GoodsChangeKind { kRevoke, kExpire };

struct GoodsChangeRequest {
  GoodsChangeKind kind = GoodsChangeKind::kRevoke;
  int32_t user_id = 0;
  std::vector<int64_t> row_ids;
  std::string due_time;  // expire: the rows' new tDueTime, local time text
  int64_t now = 0;       // seconds since 1970 the rows' states are told at
};

struct GoodsChange {
  GoodsRow row;
  std::optional<SpeakChange> speak;  // revoke of a quota row whose counter is in the face text
  nlohmann::ordered_json Json() const;
};

struct GoodsChangePlan {
  GoodsChangeRequest request;
  std::vector<GoodsChange> changes;  // in the order the row ids were given
  bool face_changes = false;         // the player's face text is rewritten
  std::u16string new_face;
  nlohmann::ordered_json Json() const;
};

// Reads what the request would change. False with `error` saying why when
// it can't be done as asked: a row id that names no row or another
// user's row, an expire of a quota row or of a row that already ends by
// then; `refused` is then true (a database failure leaves it false).
bool PlanGoodsChange(const GoodsChangeRequest& request, GoodsChangePlan* plan, bool* refused,
                     std::string* error);

// Applies `shown` in one transaction, after reading the rows again: when
// they no longer give the same plan, nothing is changed. `rows_changed`
// receives the rows the statements changed (goods rows and the player's
// row). False with `error` when nothing was changed.
bool ApplyGoodsChange(const GoodsChangePlan& shown, int64_t* rows_changed, std::string* error);

// "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" local time as the text the
// database takes (seconds added); nullopt for another shape or a day that
// does not exist.
std::optional<std::string> ParseLocalTime(const std::string& text);

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_GOODS_CHANGE_H_
