// What the four query kinds share: the reply packet with its 16-bit keys,
// the hand-out of its image to the host, the walk over a record set that
// keeps only complete rows, and the rules for taking field values apart.
//
// Everything here is the calling request's own; nothing is shared between
// threads.
#ifndef ZELVAR_QUERIES_REPLY_H_
#define ZELVAR_QUERIES_REPLY_H_

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "db/runner.h"
#include "db/variant.h"
#include "zelvar/kparam.h"

namespace zelvar::queries {

// Query kinds of GetUserExtraDataFriend.
inline constexpr unsigned kTradeHistoryKind = 1605;
inline constexpr unsigned kFriendListKind = 1610;
inline constexpr unsigned kTradeItemsKind = 1615;
inline constexpr unsigned kUnreadMessagesKind = 1620;
// Accepted by the dispatcher, answered by nothing.
inline constexpr unsigned kReservedKind = 1660;

// A reply under construction: key 1 holds the kind, then the entries in the
// order they are set. Keys are computed in wide arithmetic and the packet
// keeps their low 16 bits, so large row numbers wrap into other keys. An
// entry the packet refuses is absent from the reply.
class ReplyPacket {
 public:
  explicit ReplyPacket(unsigned kind);
  ReplyPacket(const ReplyPacket&) = delete;
  ReplyPacket& operator=(const ReplyPacket&) = delete;

  void SetInt(int64_t key, int32_t value);
  void SetText(int64_t key, const std::u16string& text);

  // A copy of the packet's image in a new char array of exactly its length
  // (the host frees it with MyDeletePtr). Null when the packet has no image.
  std::unique_ptr<char[]> TakeImage(int* length);

 private:
  CKParam packet_;
};

// Gives `image` to the host: stores it and its length through the out
// pointers and answers 0; -1 with nothing stored when `image` is null.
int HandOut(std::unique_ptr<char[]> image, int length, char** reply, int* reply_length);

// Builds the packet's image and hands it out at once.
int HandOut(ReplyPacket& packet, char** reply, int* reply_length);

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
