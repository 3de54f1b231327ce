// Walking a record set: the end test, the move to the next row, and field
// reads by column name (matched without regard to case).
//
// NULL rules: a NULL in a variable-length text column (type 200 or 202)
// reads as empty text; every other NULL stays null. A read that fails
// (empty handle, no current row, no such column) leaves `value` alone.
#ifndef ZELVAR_DB_RECORDSET_H_
#define ZELVAR_DB_RECORDSET_H_

#include <cstdint>

#include "db/runner.h"
#include "db/variant.h"

namespace zelvar::db {

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
