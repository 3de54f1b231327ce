// Record sets: a cursor over rows already read, and the field reads of the
// handlers.

#include "db/recordset.h"

#include <exception>

namespace zelvar::db {
namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace

Recordset::Recordset(ResultSet rows) : rows_(std::move(rows)) {}

bool Recordset::MoveNext() {
  if (IsEOF()) return false;
  ++current_;
  return true;
}

int Recordset::ColumnIndex(std::string_view name) const {
  // Record sets are narrow (a handful of columns), so a scan beats a map.
  const std::vector<std::string>& names = rows_.column_names;
  for (size_t i = 0; i < names.size(); ++i) {
    if (EqualsIgnoringCase(names[i], name)) return static_cast<int>(i);
  }
  return -1;
}

int Recordset::ColumnType(int column) const {
  if (column < 0 || static_cast<size_t>(column) >= rows_.column_types.size()) return kAdEmpty;
  return rows_.column_types[column];
}

bool Recordset::GetField(std::string_view name, Variant* value) const {
  if (IsEOF()) return false;
  return GetFieldAt(ColumnIndex(name), value);
}

bool Recordset::GetFieldAt(int column, Variant* value) const {
  const Variant* field = FieldAt(column);
  if (field == nullptr) return false;
  *value = *field;
  return true;
}

const Variant* Recordset::FieldAt(int column) const {
  if (IsEOF() || column < 0) return nullptr;
  const std::vector<Variant>& row = rows_.rows[current_];
  if (static_cast<size_t>(column) >= row.size()) return nullptr;
  const Variant& field = row[column];
  if (field.IsNull()) {
    const int type = ColumnType(column);
    if (type == kAdVarChar || type == kAdVarWChar) {
      static const Variant* const empty_text = new Variant(Variant::Text(std::u16string()));
      return empty_text;
    }
  }
  return &field;
}

int16_t AdoRstIsEOF(const RecordsetHandle& recordset) {
  if (!recordset) return 0;
  return recordset->IsEOF() ? -1 : 0;
}

int AdoRstMoveNext(const RecordsetHandle& recordset) {
  if (!recordset) return kEPointer;
  return recordset->MoveNext() ? 0 : kNoCurrentRecord;
}

int AdoRstGetField(const RecordsetHandle& recordset, const char* name, Variant* value) {
  if (!recordset || name == nullptr || value == nullptr) return kEPointer;
  if (recordset->IsEOF()) return kNoCurrentRecord;
  try {
    // Assigning reuses the caller's text buffer when it is large enough.
    return recordset->GetField(name, value) ? 0 : kItemNotFound;
  } catch (const std::exception&) {
    return -1;
  }
}

}  // namespace zelvar::db
