// PacketIndex: the first record of each key among those a lookup's walk
// reaches, so that reading every key of an n-record packet costs n steps,
// not n * n.
//
// It answers exactly what the walk answers (record_walk.h): it is built by
// that walk, recording instead of matching. Open addressing; the table
// doubles at half load and never needs more than 2 x 65536 slots (keys are
// 16-bit). Memory that can't be had is never thrown: an index that can't
// be built or grown is simply not there, and lookups walk.
//
// An index belongs to one packet buffer and is used by one thread at a
// time.
#ifndef ZELVAR_PACKET_PACKET_INDEX_H_
#define ZELVAR_PACKET_PACKET_INDEX_H_

#include <cstdint>
#include <memory>

namespace zelvar {

class PacketIndex {
 public:
  // The index of the first `length` bytes at `buffer`, a packet of
  // `packet_num` records as its state says. Null when memory is short.
  static std::unique_ptr<PacketIndex> Build(const char* buffer, int length, int packet_num);

  PacketIndex(const PacketIndex&) = delete;
  PacketIndex& operator=(const PacketIndex&) = delete;

  // The offset of the first record with `key`, or 0 when the walk reaches
  // none (no record starts at offset 0).
  uint32_t Find(short key) const {
    const uint16_t wanted = static_cast<uint16_t>(key);
    for (uint32_t i = Hash(wanted);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.offset == 0) return 0;
      if (slot.key == wanted) return slot.offset;
    }
  }

  // Takes in the record just appended at `offset` (the packet's old length)
  // with `key`, where the walk covered every earlier record. False when the
  // index can't follow (the walk stopped early, or memory is short): the
  // caller drops it.
  bool Append(uint32_t offset, short key, int new_length, int new_packet_num);

  // The packet state the index was made for; any other means it is stale.
  bool Matches(int length, int packet_num) const {
    return length == length_ && packet_num == packet_num_;
  }

 private:
  struct Slot {
    uint32_t offset;  // 0: empty
    uint16_t key;
  };

  PacketIndex() = default;
  uint32_t Hash(uint16_t key) const {
    return (static_cast<uint32_t>(key) * 2654435761u) >> shift_ & mask_;
  }
  // Room for `entries` keys at half load; false when memory is short (the
  // table is then unchanged).
  bool Reserve(uint32_t entries);
  // Room for one more key.
  bool ReserveOneMore() { return used_ * 2 < mask_ + 1 || Reserve(used_ + 1); }
  // Inserts unless the key is there already (the first record wins).
  void Insert(uint16_t key, uint32_t offset);

  std::unique_ptr<Slot[]> slots_;
  uint32_t mask_ = 0;
  int shift_ = 32;
  uint32_t used_ = 0;
  int length_ = 0;
  int packet_num_ = 0;
  // Whether the walk examined all packet_num_ records and ended exactly at
  // length_: only then does an appended record extend it.
  bool whole_ = false;
};

}  // namespace zelvar

#endif  // ZELVAR_PACKET_PACKET_INDEX_H_
