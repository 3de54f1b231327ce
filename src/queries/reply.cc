// The record-set walk of the query kinds and their field values.

#include "queries/reply.h"

#include <exception>

#include "db/recordset.h"
#include "util/text.h"
#include "util/time_text.h"

namespace zelvar::queries {

void ForEachCompleteRow(const db::RecordsetHandle& recordset,
                        std::initializer_list<const char*> fields,
                        const std::function<void(const std::vector<db::Variant>&)>& row) {
  // An empty handle has no row whose fields could be read.
  if (!recordset) return;
  // Each name is looked up once; an unknown one fails the read of every row.
  std::vector<int> columns;
  columns.reserve(fields.size());
  for (const char* name : fields) {
    columns.push_back(name != nullptr ? recordset->ColumnIndex(name) : -1);
  }
  // A field that fails leaves its slot as it was, and the row is skipped.
  std::vector<db::Variant> values(fields.size());
  while (!recordset->IsEOF()) {
    size_t read = 0;
    for (int column : columns) {
      bool ok = false;
      try {
        ok = recordset->GetFieldAt(column, &values[read]);
      } catch (const std::exception&) {
      }
      if (!ok) break;
      ++read;
    }
    if (read == fields.size()) row(values);
    if (!recordset->MoveNext()) break;
  }
}

std::u16string TextOf(const db::Variant& value) {
  std::u16string text;
  if (!value.ToText(&text)) text.clear();
  return text;
}

int64_t SecondsOf(const db::Variant& value) {
  // Date-times arrive as text: read in place, without a copy.
  if (value.kind() == db::Variant::Kind::kText) return ParseTimeText(value.text_view());
  std::u16string text;
  if (!value.ToText(&text)) return 0;
  return ParseTimeText(text);
}

}  // namespace zelvar::queries
