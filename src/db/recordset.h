// Walking a record set: the end test, the move to the next row, and field
// reads by column name (matched without regard to case).
//
// NULL rules: a NULL in a variable-length text column (type 200 or 202)
// reads as empty text; every other NULL stays null. A read that fails
// (empty handle, no current row, no such column) leaves `value` alone.
#ifndef ZELVAR_DB_RECORDSET_H_
#define ZELVAR_DB_RECORDSET_H_

#include <cstdint>
#include <string_view>

#include "db/backend.h"
#include "db/runner.h"
#include "db/variant.h"

namespace zelvar::db {

// The rows of one query and a cursor over them. The rows are read from
// the database before the record set exists, so it holds no connection.
// Used by one thread at a time.
class Recordset {
 public:
  explicit Recordset(ResultSet rows);

  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  bool IsEOF() const { return current_ >= rows_.rows.size(); }
  // False when already at the end.
  bool MoveNext();

  // The column's position, names compared without regard to ASCII case;
  // the first of equal names wins. -1 when there is no such column.
  int ColumnIndex(std::string_view name) const;
  // The column's type code (AdoType), kAdEmpty for a bad index.
  int ColumnType(int column) const;

  // The current row's value with the NULL rule applied. False, `value`
  // untouched, at the end or for an unknown column.
  bool GetField(std::string_view name, Variant* value) const;
  // The same by the column's position (from ColumnIndex), for walks that
  // look each name up once.
  bool GetFieldAt(int column, Variant* value) const;
  // The current row's value at `column` with the NULL rule applied, without
  // a copy; null where GetFieldAt would fail. Valid while the record set
  // lives.
  const Variant* FieldAt(int column) const;

  size_t row_count() const { return rows_.rows.size(); }
  size_t column_count() const { return rows_.column_names.size(); }

 private:
  ResultSet rows_;
  size_t current_ = 0;
};

// Failure codes, in the numbering the handlers' logs have always shown.
inline constexpr int kEPointer = static_cast<int>(0x80004003);         // empty handle
inline constexpr int kNoCurrentRecord = static_cast<int>(0x800A0BCD);  // at the end
inline constexpr int kItemNotFound = static_cast<int>(0x800A0CC1);     // no such column

// -1 when there is no current row; 0 when there is one, and for an empty
// handle (a failed test reads as a current row).
int16_t AdoRstIsEOF(const RecordsetHandle& recordset);

// 0 on success (moving from the last row onto the end included); non-zero
// when already at the end or the handle is empty.
int AdoRstMoveNext(const RecordsetHandle& recordset);

// 0 with `value` set, or non-zero with `value` unchanged.
int AdoRstGetField(const RecordsetHandle& recordset, const char* name, Variant* value);

}  // namespace zelvar::db

#endif  // ZELVAR_DB_RECORDSET_H_
