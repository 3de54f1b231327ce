// Helpers for packet tests: hand-built wire images and exact-size loads, so
// that AddressSanitizer sees any read past the bytes a packet was given.
#ifndef ZELVAR_TESTS_PACKET_PACKET_IMAGE_H_
#define ZELVAR_TESTS_PACKET_PACKET_IMAGE_H_

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "zelvar/kparam.h"

namespace zelvar::test {

// A string literal's bytes, embedded zeros included.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

inline std::string Le16(uint16_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8)};
}

inline std::string Le32(uint32_t v) {
  return Le16(static_cast<uint16_t>(v)) + Le16(static_cast<uint16_t>(v >> 16));
}

// A record with its data length field set to `declared_length`, which need
// not match the data that follows.
inline std::string RawRecord(uint32_t declared_length, short key, short type,
                             const std::string& data) {
  return Le32(declared_length) + Le16(static_cast<uint16_t>(key)) +
         Le16(static_cast<uint16_t>(type)) + data;
}

inline std::string Record(short key, short type, const std::string& data) {
  return RawRecord(static_cast<uint32_t>(data.size()), key, type, data);
}

// A header whose total length matches the records that follow.
inline std::string Image(int32_t record_count, uint32_t capacity, const std::string& records) {
  return Le32(static_cast<uint32_t>(12 + records.size())) +
         Le32(static_cast<uint32_t>(record_count)) + Le32(capacity) + records;
}

// Bytes on the heap holding exactly `bytes`, nothing around them.
inline std::unique_ptr<char[]> HeapCopy(const std::string& bytes) {
  std::unique_ptr<char[]> copy(new char[bytes.size() == 0 ? 1 : bytes.size()]);
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  return copy;
}

// Loads `image` (given with its own size) into a released packet, so that
// the packet's buffer is exactly the capacity the header declares.
inline int LoadExact(CKParam& packet, const std::string& image) {
  packet.Release();
  auto copy = HeapCopy(image);
  return packet.SetBufferPtr(copy.get(), static_cast<int>(image.size()));
}

// The packet's wire image.
inline std::string WireImage(CKParam& packet) {
  return std::string(packet.GetBufferPtr(), static_cast<size_t>(packet.GetLength()));
}

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_PACKET_PACKET_IMAGE_H_
