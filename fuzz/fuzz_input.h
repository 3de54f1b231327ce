// How the request fuzzers read their inputs, shared with the corpus
// generator (make_corpus.cc) so that both agree on every byte.
//
// Small choices take one byte: a value below kRawChoice picks from a short
// list of useful values (the seed's players, the request codes), a byte
// from kRawChoice up is followed by a raw little-endian 32-bit value. Most
// mutations so stay on values that reach deep into the handlers, while any
// value stays reachable.
//
// The packet image of a request is whatever the choices leave: the fuzzer
// copies it to a heap block of exactly its size, so that a read past the
// declared length is caught.
#ifndef ZELVAR_FUZZ_FUZZ_INPUT_H_
#define ZELVAR_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "codec/keys.h"

namespace zelvar::fuzz {

inline constexpr uint8_t kRawChoice = 0xF0;

// Flags of the request fuzzers' first byte.
// The image's total length and capacity are rewritten to its size, so that
// most mutated images load and the handlers behind the load get explored.
inline constexpr uint8_t kFixHeader = 1 << 0;
// The length handed over is one less than the image (a host's mistake).
inline constexpr uint8_t kShortLength = 1 << 1;
// A null image pointer.
inline constexpr uint8_t kNullImage = 1 << 2;
// The account and goods request: *reply holds a pointer on entry.
inline constexpr uint8_t kReplyHeld = 1 << 3;
// The account and goods request: the length handed over is 0 or below.
inline constexpr uint8_t kNoLength = 1 << 4;

// Players picked by a small choice: the seed's, and two without a row.
inline constexpr int kChoiceUsers = 10;

// Request codes picked by a small choice.
// Each list ends with codes that name no request of its function.
inline constexpr int kUpdateCodes[] = {codec::kStoreInvitations, codec::kSendMessage,
                                       codec::kEndFriendship, codec::kRecordTrade, 0};
inline constexpr int kQueryKinds[] = {codec::kTradeHistoryKind, codec::kFriendListKind,
                                      codec::kTradeItemsKind,    codec::kUnreadMessagesKind,
                                      codec::kReservedKind,      1604};
inline constexpr int kRecordCodes[] = {codec::kAccountLookup, codec::kGoodsSending,
                                       codec::kSendMessage, 1661, 0};

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t left() const { return size_; }
  const uint8_t* data() const { return data_; }

  uint8_t Byte() { return Take(1) ? data_[-1] : 0; }
  uint32_t Word32() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(Byte()) << (8 * i);
    return value;
  }
  uint64_t Word64() {
    const uint64_t low = Word32();
    return low | (static_cast<uint64_t>(Word32()) << 32);
  }
  // Up to `n` bytes, fewer when the input ends.
  std::string Bytes(size_t n) {
    if (n > size_) n = size_;
    std::string out(reinterpret_cast<const char*>(data_), n);
    Take(n);
    return out;
  }

  // A player id: 1 to kChoiceUsers, or any value.
  int User() {
    const uint8_t choice = Byte();
    if (choice >= kRawChoice) return static_cast<int>(Word32());
    return 1 + choice % kChoiceUsers;
  }

  // One of `codes`, or any value.
  template <size_t N>
  int Code(const int (&codes)[N]) {
    const uint8_t choice = Byte();
    if (choice >= kRawChoice) return static_cast<int>(Word32());
    return codes[choice % N];
  }

 private:
  bool Take(size_t n) {
    if (n > size_) return false;
    data_ += n;
    size_ -= n;
    return true;
  }
  const uint8_t* data_;
  size_t size_;
};

// A request's packet image as the host hands it over: the rest of the
// input, shaped by the first byte's `flags` (kFixHeader, kShortLength,
// kNullImage, kNoLength), in a heap block of exactly its size so that a
// read past the declared length is caught.
struct RequestImage {
  RequestImage(ByteReader& input, uint8_t flags) : image(input.Bytes(input.left())) {
    if ((flags & kFixHeader) && image.size() >= 12) {
      const uint32_t size = static_cast<uint32_t>(image.size());
      std::memcpy(image.data(), &size, 4);
      std::memcpy(image.data() + 8, &size, 4);
    }
    length = static_cast<int>(image.size());
    if ((flags & kShortLength) && length > 0) --length;
    if (flags & kNoLength) length = -static_cast<int>(image.size() % 3);
    bytes.reset(new char[image.empty() ? 1 : image.size()]);
    std::memcpy(bytes.get(), image.data(), image.size());
    param = (flags & kNullImage) ? nullptr : bytes.get();
  }

  // The module reads the host's bytes, never changes them.
  bool Unchanged() const { return std::memcmp(bytes.get(), image.data(), image.size()) == 0; }

  std::string image;
  std::unique_ptr<char[]> bytes;
  char* param = nullptr;  // what the request receives
  int length = 0;
};

// The byte that ByteReader::User reads as `id` (1 to kChoiceUsers).
inline uint8_t UserChoice(int id) { return static_cast<uint8_t>(id - 1); }

// The byte that ByteReader::Code reads as `codes[index]`.
inline uint8_t CodeChoice(int index) { return static_cast<uint8_t>(index); }

inline void AppendWord32(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace zelvar::fuzz

#endif  // ZELVAR_FUZZ_FUZZ_INPUT_H_
