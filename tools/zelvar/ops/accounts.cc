// Finding accounts in tblUser.
#include "tools/zelvar/ops/accounts.h"

#include <algorithm>
#include <map>

#include "tools/zelvar/ops/rows.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"

namespace zelvar::ops {
namespace {

using db::Sql;
using db::SqlValue;

constexpr char kColumns[] = "SELECT nId, sUsername, sNick, nSex, nLevel, bLogined FROM tblUser";

// LOWER() folds ASCII on every backend, and the bound pattern is folded
// the same way; LIKE then compares as the column's collation does, which
// is case-sensitive on PostgreSQL and on MariaDB's binary collation and
// ASCII-blind on SQLite: after LOWER() all three agree.
constexpr char kMatch[] = "(LOWER(sUsername) LIKE '%s' ESCAPE '!' OR LOWER(sNick) LIKE '%s' ESCAPE '!')";
constexpr char kExact[] = "(LOWER(sUsername) = '%s' OR LOWER(sNick) = '%s')";

AccountRow ReadRow(const db::Recordset& rows) {
  AccountRow row;
  row.id = static_cast<int32_t>(FieldInt(rows, 0));
  row.user_name = FieldText(rows, 1);
  row.nick = FieldText(rows, 2);
  row.sex = static_cast<int32_t>(FieldInt(rows, 3));
  row.level = static_cast<int32_t>(FieldInt(rows, 4));
  row.online = FieldInt(rows, 5) != 0;
  return row;
}

}  // namespace

nlohmann::ordered_json AccountRow::Json() const {
  return {{"id", id}, {"user_name", user_name}, {"nick", nick}, {"sex", sex}, {"level", level}, {"online", online}};
}

bool SearchUsers(std::string_view text, int limit, std::vector<AccountRow>* rows, std::string* error) {
  rows->clear();
  const std::string lower = cli::Lower(text);
  const SqlValue pattern = TextValue("%" + LikeLiteral(text) + "%");
  const SqlValue exact = TextValue(lower);
  const std::optional<int32_t> id = cli::ParseInt32(text);
  std::vector<SqlValue> values;
  std::string where = kMatch, first = kExact;
  if (id) {
    where = "(nId = %d OR " + where + ")";
    first = "(nId = %d OR " + first + ")";
    values.push_back(SqlValue::Integer(*id));
  }
  values.insert(values.end(), {pattern, pattern});
  if (id) values.push_back(SqlValue::Integer(*id));
  values.insert(values.end(), {exact, exact, SqlValue::Integer(limit)});
  db::RecordsetHandle found;
  if (!QueryRows(Sql(std::string(kColumns) + " WHERE " + where + " ORDER BY CASE WHEN " + first +
                         " THEN 0 ELSE 1 END, nId LIMIT %d",
                     std::move(values)),
                 &found, error)) {
    return false;
  }
  for (; !found->IsEOF(); found->MoveNext()) {
    AccountRow row = ReadRow(*found);
    row.exact = (id && row.id == *id) || cli::Lower(row.user_name) == lower || cli::Lower(row.nick) == lower;
    rows->push_back(std::move(row));
  }
  return true;
}

bool ReadAccount(int32_t id, std::optional<AccountRow>* row, std::string* error) {
  row->reset();
  db::RecordsetHandle found;
  if (!QueryRows(Sql(std::string(kColumns) + " WHERE nId = %d", {SqlValue::Integer(id)}), &found, error)) return false;
  if (!found->IsEOF()) *row = ReadRow(*found);
  return true;
}

int EditDistance(std::u16string_view a, std::u16string_view b) {
  // Optimal string alignment: three rows of the usual table.
  std::vector<int> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) previous[j] = static_cast<int>(j);
  for (size_t i = 1; i <= a.size(); ++i) {
    current[0] = static_cast<int>(i);
    for (size_t j = 1; j <= b.size(); ++j) {
      const int change = a[i - 1] == b[j - 1] ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    before.swap(previous);
    previous.swap(current);
  }
  return previous[b.size()];
}

bool SuggestUserNames(std::string_view name, std::vector<std::string>* names, std::string* error) {
  names->clear();
  const std::u16string wanted = ToWide(cli::Lower(name));
  if (wanted.empty()) return true;
  // Names holding the text count as one edit away; others need to be
  // close: one edit for short names, two from six letters on.
  const int allowed = wanted.size() < 6 ? 1 : 2;
  std::map<std::string, int> distance;
  std::vector<AccountRow> holding;
  if (!SearchUsers(name, 10, &holding, error)) return false;
  for (const AccountRow& row : holding) {
    if (!row.user_name.empty()) distance[row.user_name] = std::min(1, EditDistance(ToWide(cli::Lower(row.user_name)), wanted));
  }
  const bool pair = wanted[0] >= 0xD800 && wanted[0] < 0xDC00 && wanted.size() > 1;
  const std::string first = ToNarrow(wanted.substr(0, pair ? 2 : 1));
  db::RecordsetHandle found;
  if (!QueryRows(Sql("SELECT sUsername FROM tblUser WHERE LOWER(sUsername) LIKE '%s' ESCAPE '!' LIMIT 1000",
                     {TextValue(LikeLiteral(first) + "%")}),
                 &found, error)) {
    return false;
  }
  for (; !found->IsEOF(); found->MoveNext()) {
    const std::string user_name = FieldText(*found, 0);
    const int d = EditDistance(ToWide(cli::Lower(user_name)), wanted);
    if (d <= allowed && distance.count(user_name) == 0) distance[user_name] = d;
  }
  std::vector<std::pair<int, std::string>> ranked;
  for (const auto& [user_name, d] : distance) ranked.emplace_back(d, user_name);
  std::sort(ranked.begin(), ranked.end());
  for (size_t i = 0; i < ranked.size() && i < 5; ++i) names->push_back(ranked[i].second);
  return true;
}

}  // namespace zelvar::ops
