// PacketIndex: building by the records' walk, growth, and appends.
#include "packet/packet_index.h"

#include <algorithm>
#include <bit>
#include <new>

#include "packet/coding.h"
#include "packet/record_walk.h"

namespace zelvar {

bool PacketIndex::Reserve(uint32_t entries) {
  uint32_t capacity = 64;
  while (capacity < 2 * entries) capacity *= 2;
  if (slots_ != nullptr && capacity <= mask_ + 1) return true;
  std::unique_ptr<Slot[]> slots(new (std::nothrow) Slot[capacity]);
  if (slots == nullptr) return false;
  for (uint32_t i = 0; i < capacity; ++i) slots[i].offset = 0;
  std::unique_ptr<Slot[]> old = std::move(slots_);
  const uint32_t old_capacity = old == nullptr ? 0 : mask_ + 1;
  slots_ = std::move(slots);
  mask_ = capacity - 1;
  shift_ = 32 - std::countr_zero(capacity);
  used_ = 0;
  for (uint32_t i = 0; i < old_capacity; ++i) {
    if (old[i].offset != 0) Insert(old[i].key, old[i].offset);
  }
  return true;
}

void PacketIndex::Insert(uint16_t key, uint32_t offset) {
  for (uint32_t i = Hash(key);; i = (i + 1) & mask_) {
    Slot& slot = slots_[i];
    if (slot.offset == 0) {
      slot.offset = offset;
      slot.key = key;
      ++used_;
      return;
    }
    if (slot.key == key) return;
  }
}

std::unique_ptr<PacketIndex> PacketIndex::Build(const char* buffer, int length, int packet_num) {
  std::unique_ptr<PacketIndex> index(new (std::nothrow) PacketIndex);
  if (index == nullptr) return nullptr;
  index->length_ = length;
  index->packet_num_ = packet_num;
  // Distinct keys, not records, fill the table, so the record count only
  // gives the first size. A received count may overstate what the bytes
  // hold: no more records than record headers fit in them.
  const int fitting = length > kHeaderSize ? (length - kHeaderSize) / kRecordHeaderSize : 0;
  const uint32_t expected =
      static_cast<uint32_t>(std::max(0, std::min({packet_num, fitting, 65536})));
  if (!index->Reserve(expected)) return nullptr;
  RecordWalk walk(buffer, static_cast<uint64_t>(length), packet_num);
  PacketRecord record;
  while (walk.Next(&record)) {
    if (!index->ReserveOneMore()) return nullptr;
    index->Insert(static_cast<uint16_t>(record.key), record.offset);
  }
  index->whole_ = walk.Whole();
  return index;
}

bool PacketIndex::Append(uint32_t offset, short key, int new_length, int new_packet_num) {
  if (!whole_ || offset != static_cast<uint32_t>(length_)) return false;
  if (!ReserveOneMore()) return false;
  Insert(static_cast<uint16_t>(key), offset);
  length_ = new_length;
  packet_num_ = new_packet_num;
  return true;
}

}  // namespace zelvar
