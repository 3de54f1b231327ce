// The byte layout of a parameter packet and the little-endian codings that
// read and write it.
//
// Every multi-byte field of the wire image goes through the Encode/Decode
// functions below. They use memcpy into fixed-width integers, so any byte
// offset is safe (records are packed without padding and often unaligned)
// and the result is the same on any host byte order. All functions are pure
// and thread-safe.
//
// Packet image, offsets from the first byte:
//
//   offset  width  field          meaning
//   0       4 s    total length   bytes in use, header included; 0 in a
//                                 packet to which nothing was appended yet
//   4       4 s    record count   records that follow
//   8       4 u    capacity       sender's buffer size, a multiple of 4096
//   12      ...    records        back to back, in append order
//
// Record, offsets from its first byte:
//
//   offset  width  field          meaning
//   0       4 u    data length    bytes after this 8-byte record header
//   4       2 s    key            caller's tag, any 16-bit value
//   6       2 s    type code      kType* below
//   8       n      data           the value
//
//   type  data                                   width
//   10    16-bit signed integer                  2
//   20    32-bit signed integer                  4
//   30    raw bytes, no terminator               as given
//   40    UTF-16LE code units, no terminator     2 x units
//   50    1 for true, 0 for false                1
//   60    32-bit signed integer (a "long")       4
#ifndef ZELVAR_PACKET_CODING_H_
#define ZELVAR_PACKET_CODING_H_

#include <cstdint>
#include <cstring>

namespace zelvar {

inline constexpr int kHeaderSize = 12;
inline constexpr int kRecordHeaderSize = 8;

// Header field offsets.
inline constexpr int kTotalLengthOffset = 0;
inline constexpr int kRecordCountOffset = 4;
inline constexpr int kCapacityOffset = 8;

// Record header field offsets.
inline constexpr int kDataLengthOffset = 0;
inline constexpr int kKeyOffset = 4;
inline constexpr int kTypeOffset = 6;

// A new packet's capacity and the growth step.
inline constexpr uint32_t kPageSize = 4096;
// Smallest data length that an append refuses when the buffer must grow.
inline constexpr uint32_t kMaxGrowingDataLength = 0x500000;
// Largest capacity a received header may declare (1 is the smallest).
inline constexpr uint32_t kMaxReceivedCapacity = 0x9FFFFF;

// Checksum sampling: of every kCrcStride bytes within the first
// kCrcWindow, the first kCrcSampleBytes are taken.
inline constexpr int kCrcWindow = 500;
inline constexpr int kCrcStride = 22;
inline constexpr int kCrcSampleBytes = 11;
// CRC-16/ARC: reflected polynomial, initial value 0, no final XOR.
inline constexpr uint16_t kCrcPolynomial = 0xA001;

inline constexpr short kTypeShort = 10;
inline constexpr short kTypeInt = 20;
inline constexpr short kTypeBytes = 30;
inline constexpr short kTypeText = 40;
inline constexpr short kTypeBoolean = 50;
inline constexpr short kTypeLong = 60;

inline void EncodeFixed16(char* dst, uint16_t value) {
  unsigned char bytes[2] = {static_cast<unsigned char>(value),
                            static_cast<unsigned char>(value >> 8)};
  std::memcpy(dst, bytes, sizeof(bytes));
}

inline void EncodeFixed32(char* dst, uint32_t value) {
  unsigned char bytes[4] = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  std::memcpy(dst, bytes, sizeof(bytes));
}

inline uint16_t DecodeFixed16(const char* src) {
  unsigned char bytes[2];
  std::memcpy(bytes, src, sizeof(bytes));
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline uint32_t DecodeFixed32(const char* src) {
  unsigned char bytes[4];
  std::memcpy(bytes, src, sizeof(bytes));
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// Two's complement views of the same fields.
inline int16_t DecodeSigned16(const char* src) {
  return static_cast<int16_t>(DecodeFixed16(src));
}
inline int32_t DecodeSigned32(const char* src) {
  return static_cast<int32_t>(DecodeFixed32(src));
}

}  // namespace zelvar

#endif  // ZELVAR_PACKET_CODING_H_
