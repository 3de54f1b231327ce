// A player's goods as support staff look at them: the rows of
// tblUserGoods with what their due times mean, the ten speak counters of
// the player's face text, and the orders the goods were granted under
// (tblGoodsOrder). One row can be read by its id (to show it
// before it is changed) or all rows of a user. Results are values; nothing
// is printed. One thread at a time, after Session::Open has set the
// connection.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_GOODS_VIEW_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_GOODS_VIEW_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "codec/face_text.h"

namespace zelvar::db {
class Transaction;
}  // namespace zelvar::db

namespace zelvar::ops {

struct GoodsRow {
  // Owned: the due time is still ahead. Expired: it has passed (a due time
  // the module can't read counts as passed, as the module has it).
  // Permanent: the far due times the module writes for permanent goods
  // and for quota rows.
  enum class State { kOwned, kExpired, kPermanent };

  int64_t id = 0;
  int32_t user_id = 0;
  int32_t goods_id = 0;
  int32_t type = 0;
  std::string add_time;  // local time text as stored, empty for NULL
  std::string due_time;
  int32_t buy_day = 0;   // the bought count of a quota row
  int32_t level = 0;
  int32_t using_it = 0;
  std::string head_color;
  State state = State::kExpired;

  // Types 3000 to 3999: a count (nBuyDay) rather than a duration.
  bool quota() const;
  // "time-limited" or "quota".
  const char* kind() const;
  // "owned", "expired" or "permanent".
  const char* state_name() const;
  nlohmann::ordered_json Json() const;
};

// The speak counters read from the face text as the module reads them
// before a quota grant.
struct SpeakView {
  bool user_found = false;
  std::string face;       // the whole face text
  bool has_entry = false;  // a "Speak" entry closed by ";"
  bool usable = false;     // with its ten numbers; else the module starts afresh
  codec::SpeakCounters counters{};

  nlohmann::ordered_json Json() const;
};

// One entry granted under a host's order id, as tblGoodsOrder records it.
struct OrderRow {
  std::string order_id;
  int32_t entry = 0;     // the entry's place in the sending, from 0
  int32_t user_id = 0;   // the receiving account
  int32_t goods_id = 0;
  int32_t type = 0;
  std::string amount;    // as sent: 7天, 1个, ...
  int32_t amount1 = 0;
  int32_t amount2 = 0;
  std::string add_time;  // local time text as stored

  nlohmann::ordered_json Json() const;
};

// The table the orders are recorded in; a database set up before it lacks
// it until migrated.
inline constexpr char kOrderTable[] = "tblGoodsOrder";

// The order entries granted to `user_id`, oldest first; `rows` stays
// nullopt when the database has no order table. `product` as
// db::DatabaseProduct gives it.
bool ReadUserOrders(const std::string& product, int32_t user_id, std::optional<std::vector<OrderRow>>* rows,
                    std::string* error);
// The entries recorded under `order_id`; nullopt in `count` when the
// database has no order table.
bool CountOrderEntries(const std::string& product, const std::string& order_id, std::optional<int64_t>* count,
                       std::string* error);

// The row of tblUserGoods with `row_id`, its state as of `now` (seconds
// since 1970); nullopt in `row` when there is none.
bool ReadGoodsRow(int64_t row_id, int64_t now, std::optional<GoodsRow>* row, std::string* error);
// The same on a transaction's connection, for a change that reads its rows
// and writes them as one.
bool ReadGoodsRow(db::Transaction& transaction, int64_t row_id, int64_t now, std::optional<GoodsRow>* row,
                  std::string* error);
// Every row of `user_id`, by row id.
bool ReadUserGoods(int32_t user_id, int64_t now, std::vector<GoodsRow>* rows, std::string* error);
bool ReadSpeakView(int32_t user_id, SpeakView* speak, std::string* error);

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_GOODS_VIEW_H_
