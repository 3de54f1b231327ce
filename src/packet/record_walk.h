// The checked walk over a packet image: the header's checks at load, and
// the records in order, each within the bytes in use, up to the count the
// header gives. CKParam's lookup, its key index and the zelvar tool's
// packet decoding all walk a packet this way, so that they agree on which
// records a packet holds.
//
// Header-only: the tool compiles it too, since the module hides its own
// symbols. Pure functions and a walk object over bytes it does not own;
// a walk is used by one thread at a time.
#ifndef ZELVAR_PACKET_RECORD_WALK_H_
#define ZELVAR_PACKET_RECORD_WALK_H_

#include <cstdint>

#include "packet/coding.h"

namespace zelvar {

// What is wrong with a received image's header, in the order the checks
// run.
enum class HeaderFault {
  kNone,
  // No image, or fewer bytes than the 12-byte header: nothing was read.
  kShort,
  // The total length it states differs from the bytes given.
  kLengthMismatch,
  // Its capacity lies outside 1 to kMaxReceivedCapacity.
  kCapacityOutOfRange,
  // It states more bytes in use than its capacity holds.
  kLengthPastCapacity,
};

// Checks the header of an image of `length` bytes at `image` (which may
// be null). Reads no byte past `length`.
inline HeaderFault CheckImageHeader(const char* image, int64_t length) {
  if (image == nullptr || length < kHeaderSize) return HeaderFault::kShort;
  const int32_t total_length = DecodeSigned32(image + kTotalLengthOffset);
  const uint32_t capacity = DecodeFixed32(image + kCapacityOffset);
  if (total_length != length) return HeaderFault::kLengthMismatch;
  if (capacity < 1 || capacity > kMaxReceivedCapacity) return HeaderFault::kCapacityOutOfRange;
  // The capacity sizes the buffer the image is copied into.
  if (static_cast<uint64_t>(length) > capacity) return HeaderFault::kLengthPastCapacity;
  return HeaderFault::kNone;
}

// One record met by a walk.
struct PacketRecord {
  uint32_t offset = 0;       // of its 8-byte header, from the image's first byte
  int16_t key = 0;
  int16_t type = 0;
  uint32_t data_length = 0;
  const char* data = nullptr;  // inside the walked bytes
};

// Why a walk stopped.
enum class WalkStop {
  kWalking,
  // As many records as the header counts were met (none for a count of 0
  // or below).
  kCounted,
  // The next record's 8-byte header does not fit in the bytes in use.
  kTruncatedHeader,
  // The next record's data reaches past the bytes in use. Nothing after
  // it can be trusted, so the walk ends there.
  kPastEnd,
};

// Walks the records of the first `in_use` bytes at `buffer` from offset
// 12, at most `record_count` of them. A received count is taken as given:
// the walk stops at the first record that does not fit, whatever the
// count says. Ends are computed in 64 bits, so no length can wrap.
// REQUIRES: `buffer` holds `in_use` readable bytes while the walk lives.
class RecordWalk {
 public:
  RecordWalk(const char* buffer, uint64_t in_use, int record_count)
      : buffer_(buffer), in_use_(in_use), record_count_(record_count) {}

  // The next record; false once the walk has stopped (stop() says why).
  bool Next(PacketRecord* record) {
    if (stop_ != WalkStop::kWalking) return false;
    if (examined_ >= record_count_) return Stop(WalkStop::kCounted);
    if (offset_ + kRecordHeaderSize > in_use_) return Stop(WalkStop::kTruncatedHeader);
    const char* header = buffer_ + offset_;
    const uint32_t data_length = DecodeFixed32(header + kDataLengthOffset);
    const uint64_t end = offset_ + kRecordHeaderSize + data_length;
    if (end > in_use_) {
      claimed_length_ = data_length;
      return Stop(WalkStop::kPastEnd);
    }
    record->offset = static_cast<uint32_t>(offset_);
    record->key = DecodeSigned16(header + kKeyOffset);
    record->type = DecodeSigned16(header + kTypeOffset);
    record->data_length = data_length;
    record->data = header + kRecordHeaderSize;
    offset_ = end;
    ++examined_;
    return true;
  }

  WalkStop stop() const { return stop_; }
  // Records met so far.
  int examined() const { return examined_; }
  // Where the next record starts: after a stop at a record, that record's
  // offset; after the count was met, the end of the last record.
  uint64_t offset() const { return offset_; }
  // kPastEnd: the data length the record that stopped the walk claims.
  uint32_t claimed_length() const { return claimed_length_; }
  // The walk met every record the header counts, and they end exactly at
  // the bytes in use.
  bool Whole() const {
    return stop_ == WalkStop::kCounted && examined_ == record_count_ && offset_ == in_use_;
  }

 private:
  bool Stop(WalkStop why) {
    stop_ = why;
    return false;
  }

  const char* buffer_;
  uint64_t in_use_;
  int record_count_;
  uint64_t offset_ = kHeaderSize;
  int examined_ = 0;
  uint32_t claimed_length_ = 0;
  WalkStop stop_ = WalkStop::kWalking;
};

}  // namespace zelvar

#endif  // ZELVAR_PACKET_RECORD_WALK_H_
