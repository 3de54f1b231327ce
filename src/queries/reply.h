// What the four query kinds share beside the reply packet and its hand-out
// (codec/reply_packet.h): the walk over a record set that keeps only
// complete rows, and the rules for taking field values apart.
//
// Everything here is the calling request's own; nothing is shared between
// threads.
#ifndef ZELVAR_QUERIES_REPLY_H_
#define ZELVAR_QUERIES_REPLY_H_

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "codec/reply_packet.h"
#include "db/runner.h"
#include "db/variant.h"
#include "zelvar/kparam.h"

namespace zelvar::queries {

// Walks `recordset` from its current row to its end. For each row, reads
// `fields` by name in the order given, stopping at the first that can't be
// read; a row whose fields were all read is passed to `row` with their
// values in that order, any other row is skipped. A failed move to the next
// row ends the walk; what was passed on stays.
void ForEachCompleteRow(const db::RecordsetHandle& recordset,
                        std::initializer_list<const char*> fields,
                        const std::function<void(const std::vector<db::Variant>&)>& row);

// The value's text form; empty text for a value that has none (a NULL the
// record set did not turn into empty text), so that its row is still
// written.
std::u16string TextOf(const db::Variant& value);

// A date-time value as seconds since the epoch: its text parsed by
// ParseTimeText (0 for text of another shape). 0 for a value without a
// text form.
int64_t SecondsOf(const db::Variant& value);

// The low 32 bits, as the reply carries times.
inline int32_t Low32(int64_t value) { return static_cast<int32_t>(value); }

}  // namespace zelvar::queries

#endif  // ZELVAR_QUERIES_REPLY_H_
