// CRC-16/ARC, the checksum a packet reports over a sample of its bytes:
// reflected polynomial 0xA001, initial value 0, no final XOR, one table
// step per byte. The table is built at compile time; everything here is
// pure and thread-safe.
#ifndef ZELVAR_PACKET_CRC16_H_
#define ZELVAR_PACKET_CRC16_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "packet/coding.h"

namespace zelvar {

inline constexpr std::array<uint16_t, 256> kCrc16Table = [] {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ kCrcPolynomial)
                      : static_cast<uint16_t>(crc >> 1);
    }
    table[i] = crc;
  }
  return table;
}();

// Continues `crc` over `n` bytes at `data`; start with 0.
inline uint16_t ExtendCrc16(uint16_t crc, const char* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const unsigned char byte = static_cast<unsigned char>(data[i]);
    crc = static_cast<uint16_t>((crc >> 8) ^ kCrc16Table[(crc ^ byte) & 0xFF]);
  }
  return crc;
}

}  // namespace zelvar

#endif  // ZELVAR_PACKET_CRC16_H_
