// Planting the world's rows (world.h).
#include "kit/world.h"

#include <algorithm>

namespace zelvar::kit {
namespace {

Value Text(const std::optional<std::string>& text) {
  return text ? Value::Text(*text) : Value::Null();
}
Value Time(const std::optional<std::string>& text) {
  return text ? Value::Time(*text) : Value::Null();
}
Value Int(const std::optional<int>& number) { return number ? Value::Int(*number) : Value::Null(); }
Value Double(const std::optional<double>& real) {
  return real ? Value::Double(*real) : Value::Null();
}
Value Bool(const std::optional<bool>& bit) { return bit ? Value::Bool(*bit) : Value::Null(); }

// The columns, with nId in front when the rows give their ids.
std::vector<std::string> Columns(bool numbered, std::vector<std::string> columns) {
  if (numbered) columns.insert(columns.begin(), "nId");
  return columns;
}

// Appends the row's values, its id first when the rows are numbered.
void Append(std::vector<Value>* values, bool numbered, int64_t id, std::vector<Value> row) {
  if (numbered) values->push_back(Value::Int(id));
  for (Value& value : row) values->push_back(std::move(value));
}

template <typename RowType>
bool Numbered(const std::vector<RowType>& rows) {
  return !rows.empty() && rows.front().id != 0;
}

constexpr size_t kMaxValues = 999;

constexpr const char* kTables[] = {"tblUser",    "tblFriend",    "tblFriendTradeHistory",
                                   "tblFriendTradeItem", "tblUserMsg", "tblUserGoods",
                                   "tblInviteRecord",    "tblGoodsOrder",      "tblWriteGuard"};

}  // namespace

bool Seeder::Insert(const std::string& table, const std::vector<std::string>& columns,
                    const std::vector<Value>& values, std::string* error) {
  std::string head = "INSERT INTO " + table + " (";
  std::string places = "(";
  for (size_t i = 0; i < columns.size(); ++i) {
    head += (i == 0 ? "" : ", ") + columns[i];
    places += i == 0 ? "?" : ", ?";
  }
  head += ") VALUES ";
  places += ")";
  const size_t width = columns.size();
  // At most kMaxValues values to a statement: psqlODBC mangles a statement
  // with more than about a thousand (a cast cut to "timestam").
  const size_t rows = std::min(static_cast<size_t>(std::max(1, rows_per_statement_)),
                               std::max<size_t>(1, kMaxValues / width));
  const size_t step = width * rows;
  for (size_t start = 0; start < values.size(); start += step) {
    const size_t end = std::min(values.size(), start + step);
    std::string sql = head;
    for (size_t at = start; at < end; at += width) sql += (at == start ? "" : ", ") + places;
    const std::vector<Value> part(values.begin() + static_cast<std::ptrdiff_t>(start),
                                  values.begin() + static_cast<std::ptrdiff_t>(end));
    if (!db_->Exec(sql, part, error)) {
      *error = table + ": " + *error;
      return false;
    }
  }
  return true;
}

bool Seeder::Plant(const std::vector<Player>& rows, std::string* error) {
  const bool numbered = Numbered(rows);
  std::vector<Value> values;
  for (const Player& p : rows) {
    Append(&values, numbered, p.id,
           {Text(p.user_name), Text(p.nick), Int(p.sex), Text(p.face), Bool(p.logged_in),
            Int(p.level)});
  }
  return Insert("tblUser",
                Columns(numbered, {"sUsername", "sNick", "nSex", "sFacePic", "bLogined", "nLevel"}),
                values, error);
}

bool Seeder::Plant(const std::vector<Friendship>& rows, std::string* error) {
  const bool numbered = Numbered(rows);
  std::vector<Value> values;
  for (const Friendship& f : rows) {
    Append(&values, numbered, f.id, {Value::Int(f.user_id), Value::Int(f.friend_id)});
  }
  return Insert("tblFriend", Columns(numbered, {"nUserId", "nFriendId"}), values, error);
}

bool Seeder::Plant(const std::vector<Trade>& rows, std::string* error) {
  const bool numbered = Numbered(rows);
  std::vector<Value> values;
  for (const Trade& t : rows) {
    Append(&values, numbered, t.id,
           {Value::Int(t.player), Value::Int(t.other), Value::Int(t.play_id), Time(t.time),
            Int(t.duration)});
  }
  return Insert(
      "tblFriendTradeHistory",
      Columns(numbered, {"nPlayUserId", "nPlayedUserId", "nPlayId", "tTime", "tDuration"}),
      values, error);
}

bool Seeder::Plant(const std::vector<TradeItem>& rows, std::string* error) {
  const bool numbered = Numbered(rows);
  std::vector<Value> values;
  for (const TradeItem& i : rows) {
    Append(&values, numbered, i.id,
           {Text(i.name), Text(i.description), Int(i.pacificate), Text(i.image),
            Double(i.head_x), Double(i.head_y)});
  }
  return Insert("tblFriendTradeItem",
                Columns(numbered, {"sTradeName", "sTradeDesc", "nPacificate", "sTradeImage",
                                   "nHeadX", "nHeadY"}),
                values, error);
}

bool Seeder::Plant(const std::vector<Message>& rows, std::string* error) {
  const bool numbered = Numbered(rows);
  std::vector<Value> values;
  for (const Message& m : rows) {
    Append(&values, numbered, m.id,
           {Value::Int(m.user_id), Text(m.content), Time(m.time), Int(m.read),
            Int(m.from_user_id), Int(m.all)});
  }
  return Insert(
      "tblUserMsg",
      Columns(numbered, {"nUserId", "sContent", "tAddTime", "nRead", "nFromUserId", "nAll"}),
      values, error);
}

bool Seeder::Plant(const std::vector<Goods>& rows, std::string* error) {
  const bool numbered = Numbered(rows);
  std::vector<Value> values;
  for (const Goods& g : rows) {
    Append(&values, numbered, g.id,
           {Int(g.type), Value::Int(g.user_id), Int(g.goods_id), Time(g.added), Time(g.due),
            Int(g.buy_day), Int(g.level), Int(g.in_use), Text(g.head_color)});
  }
  return Insert("tblUserGoods",
                Columns(numbered, {"nType", "nUserId", "nGoodsId", "tAddTime", "tDueTime",
                                   "nBuyDay", "nLevel", "nUsing", "sHeadColor"}),
                values, error);
}

bool Seeder::Plant(const std::vector<InvitationRow>& rows, std::string* error) {
  const bool numbered = Numbered(rows);
  std::vector<Value> values;
  for (const InvitationRow& r : rows) {
    Append(&values, numbered, r.id,
           {Value::Int(r.user_id), Int(r.group), Text(r.code), Text(r.email), Int(r.state),
            Time(r.added), Int(r.zone), Text(r.note), Int(r.reply)});
  }
  return Insert("tblInviteRecord",
                Columns(numbered, {"nUserid", "nGroup", "sInviteCode", "sInvitedEmail", "nState",
                                   "tAddtime", "nZoneId", "sNote", "nReply"}),
                values, error);
}

bool Seeder::Clear(std::string* error) {
  for (const char* table : kTables) {
    if (!db_->Exec(std::string("DELETE FROM ") + table, error)) return false;
  }
  return db_->ProductName() != "SQLite" || db_->Exec("DELETE FROM sqlite_sequence", error);
}

}  // namespace zelvar::kit
