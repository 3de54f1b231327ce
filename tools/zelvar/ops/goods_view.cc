// A player's goods rows and speak counters.
#include "tools/zelvar/ops/goods_view.h"

#include "codec/keys.h"
#include "db/transaction.h"
#include "goods/grants.h"
#include "tools/zelvar/ops/rows.h"
#include "tools/zelvar/ops/schema_files.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"
#include "util/time_text.h"

namespace zelvar::ops {
namespace {

using db::Sql;
using db::SqlValue;

constexpr char kColumns[] =
    "SELECT nId, nUserId, nGoodsId, nType, tAddTime, tDueTime, nBuyDay, nLevel, nUsing, sHeadColor FROM tblUserGoods";

GoodsRow ReadRow(const db::Recordset& rows, int64_t now) {
  GoodsRow row;
  row.id = FieldInt(rows, 0);
  row.user_id = static_cast<int32_t>(FieldInt(rows, 1));
  row.goods_id = static_cast<int32_t>(FieldInt(rows, 2));
  row.type = static_cast<int32_t>(FieldInt(rows, 3));
  row.add_time = FieldText(rows, 4);
  row.due_time = FieldText(rows, 5);
  row.buy_day = static_cast<int32_t>(FieldInt(rows, 6));
  row.level = static_cast<int32_t>(FieldInt(rows, 7));
  row.using_it = static_cast<int32_t>(FieldInt(rows, 8));
  row.head_color = FieldText(rows, 9);
  if (row.due_time == goods::kPermanentDueTime || row.due_time == goods::kQuotaDueTime) {
    row.state = GoodsRow::State::kPermanent;
  } else {
    // Time-limited goods stay owned at their due time; a quota row is live
    // only before it.
    const int64_t due = ParseTimeText(row.due_time.c_str());
    const bool owned = row.quota() ? due > now : due >= now;
    row.state = due > 0 && owned ? GoodsRow::State::kOwned : GoodsRow::State::kExpired;
  }
  return row;
}

constexpr char kOrderColumns[] =
    "SELECT sOrderId, nEntry, nUserId, nGoodsId, nType, sAmount, nAmount1, nAmount2, tAddTime FROM tblGoodsOrder";

OrderRow ReadOrderRow(const db::Recordset& rows) {
  OrderRow row;
  row.order_id = FieldText(rows, 0);
  row.entry = static_cast<int32_t>(FieldInt(rows, 1));
  row.user_id = static_cast<int32_t>(FieldInt(rows, 2));
  row.goods_id = static_cast<int32_t>(FieldInt(rows, 3));
  row.type = static_cast<int32_t>(FieldInt(rows, 4));
  row.amount = FieldText(rows, 5);
  row.amount1 = static_cast<int32_t>(FieldInt(rows, 6));
  row.amount2 = static_cast<int32_t>(FieldInt(rows, 7));
  row.add_time = FieldText(rows, 8);
  return row;
}

}  // namespace

bool GoodsRow::quota() const { return codec::IsQuotaType(type); }

const char* GoodsRow::kind() const { return quota() ? "quota" : "time-limited"; }

const char* GoodsRow::state_name() const {
  switch (state) {
    case State::kOwned: return "owned";
    case State::kPermanent: return "permanent";
    case State::kExpired: break;
  }
  return "expired";
}

nlohmann::ordered_json GoodsRow::Json() const {
  nlohmann::ordered_json json = {{"id", id},           {"user_id", user_id},   {"goods_id", goods_id},
                                 {"type", type},       {"kind", kind()},       {"add_time", add_time},
                                 {"due_time", due_time}, {"state", state_name()}};
  if (quota()) json["buy_day"] = buy_day;
  json.update({{"level", level}, {"using", using_it}, {"head_color", head_color}});
  return json;
}

nlohmann::ordered_json SpeakView::Json() const {
  nlohmann::ordered_json json = {{"entry", has_entry}, {"usable", usable}};
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (int c = 1; c <= codec::kSpeakCounterCount; ++c) {
    list.push_back({{"counter", c}, {"goods_type", codec::SpeakGoodsType(c)}, {"count", counters[c - 1]}});
  }
  json["counters"] = list;
  json["face"] = face;
  return json;
}

nlohmann::ordered_json OrderRow::Json() const {
  return {{"order_id", order_id}, {"entry", entry},     {"user_id", user_id}, {"goods_id", goods_id},
          {"type", type},         {"amount", amount},   {"amount1", amount1}, {"amount2", amount2},
          {"add_time", add_time}};
}

bool ReadUserOrders(const std::string& product, int32_t user_id, std::optional<std::vector<OrderRow>>* rows,
                    std::string* error) {
  rows->reset();
  const std::optional<bool> has_table = DatabaseHasTable(product, kOrderTable, error);
  if (!has_table) return false;
  if (!*has_table) return true;
  db::RecordsetHandle found;
  if (!QueryRows(Sql(std::string(kOrderColumns) + " WHERE nUserId = %d ORDER BY tAddTime, sOrderId, nEntry",
                     {SqlValue::Integer(user_id)}),
                 &found, error)) {
    return false;
  }
  rows->emplace();
  for (; !found->IsEOF(); found->MoveNext()) (*rows)->push_back(ReadOrderRow(*found));
  return true;
}

bool CountOrderEntries(const std::string& product, const std::string& order_id, std::optional<int64_t>* count,
                       std::string* error) {
  count->reset();
  const std::optional<bool> has_table = DatabaseHasTable(product, kOrderTable, error);
  if (!has_table) return false;
  if (!*has_table) return true;
  *count = QueryCount(Sql("SELECT COUNT(*) FROM tblGoodsOrder WHERE sOrderId = '%s'", {TextValue(order_id)}), error);
  return count->has_value();
}

bool ReadGoodsRow(int64_t row_id, int64_t now, std::optional<GoodsRow>* row, std::string* error) {
  row->reset();
  db::RecordsetHandle found;
  if (!QueryRows(Sql(std::string(kColumns) + " WHERE nId = %d", {SqlValue::Integer(row_id)}), &found, error)) {
    return false;
  }
  if (!found->IsEOF()) *row = ReadRow(*found, now);
  return true;
}

bool ReadGoodsRow(db::Transaction& transaction, int64_t row_id, int64_t now, std::optional<GoodsRow>* row,
                  std::string* error) {
  row->reset();
  db::RecordsetHandle found;
  std::u16string reason;
  if (transaction.Query(Sql(std::string(kColumns) + " WHERE nId = %d", {SqlValue::Integer(row_id)}), found, &reason) !=
      0) {
    *error = cli::OneLine(ToNarrow(reason));
    return false;
  }
  if (!found->IsEOF()) *row = ReadRow(*found, now);
  return true;
}

bool ReadUserGoods(int32_t user_id, int64_t now, std::vector<GoodsRow>* rows, std::string* error) {
  rows->clear();
  db::RecordsetHandle found;
  if (!QueryRows(Sql(std::string(kColumns) + " WHERE nUserId = %d ORDER BY nId", {SqlValue::Integer(user_id)}),
                 &found, error)) {
    return false;
  }
  for (; !found->IsEOF(); found->MoveNext()) rows->push_back(ReadRow(*found, now));
  return true;
}

bool ReadSpeakView(int32_t user_id, SpeakView* speak, std::string* error) {
  *speak = SpeakView();
  db::RecordsetHandle found;
  if (!QueryRows(Sql("SELECT sFacePic FROM tblUser WHERE nId = %d", {SqlValue::Integer(user_id)}), &found, error)) {
    return false;
  }
  if (found->IsEOF()) return true;
  speak->user_found = true;
  speak->face = FieldText(*found, 0);
  const codec::SpeakEntry entry = codec::FindSpeakEntry(ToWide(speak->face));
  speak->has_entry = entry.end != codec::SpeakEntry::kNone;
  speak->usable = entry.usable;
  speak->counters = entry.counters;
  return true;
}

}  // namespace zelvar::ops
