// Reading rows with the tool's own connection.
#include "tools/zelvar/ops/rows.h"

#include "tools/zelvar/text_util.h"
#include "util/text.h"

namespace zelvar::ops {

bool QueryRows(const db::Sql& sql, db::RecordsetHandle* rows, std::string* error) {
  std::u16string reason;
  if (db::QuerySql(sql, *rows, &reason) != 0 || *rows == nullptr) {
    *error = cli::OneLine(ToNarrow(reason));
    if (error->empty()) *error = "the query gave no rows";
    return false;
  }
  return true;
}

std::optional<int64_t> QueryCount(const db::Sql& query, std::string* error) {
  db::RecordsetHandle rows;
  if (!QueryRows(query, &rows, error)) return std::nullopt;
  const db::Variant* value = rows->IsEOF() ? nullptr : rows->FieldAt(0);
  if (value == nullptr || !value->RowId()) {
    *error = "the count gave no number";
    return std::nullopt;
  }
  return *value->RowId();
}

std::string FieldText(const db::Recordset& rows, int column) {
  const db::Variant* value = rows.FieldAt(column);
  std::u16string text;
  if (value == nullptr || !value->ToText(&text)) return "";
  return ToNarrow(text);
}

int64_t FieldInt(const db::Recordset& rows, int column) {
  const db::Variant* value = rows.FieldAt(column);
  if (value == nullptr) return 0;
  return value->RowId().value_or(0);
}

db::SqlValue TextValue(std::string_view utf8) { return db::SqlValue::Text(ToWide(utf8)); }

std::string LikeLiteral(std::string_view text) {
  std::string escaped;
  for (char c : cli::Lower(text)) {
    if (c == '%' || c == '_' || c == '!') escaped += '!';
    escaped += c;
  }
  return escaped;
}

}  // namespace zelvar::ops
