// The packet's wire image: header and records byte for byte, growth in
// whole pages, the checksum, loading received images and walking malformed
// ones without reading outside the packet.
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "packet/coding.h"
#include "packet/crc16.h"
#include "packet_image.h"
#include "zelvar/kparam.h"

namespace zelvar::test {
namespace {

TEST(PacketImage, NewPacketAndFirstRecord) {
  CKParam packet;
  EXPECT_EQ(packet.GetLength(), 12);
  EXPECT_EQ(packet.GetPacketNum(), 0);
  // The stored total length is 0, not 12, until something is appended.
  EXPECT_EQ(std::string(packet.GetBufferPtr(), 12), Le32(0) + Le32(0) + Le32(4096));
  EXPECT_EQ(packet.GetPacketCrc(), static_cast<short>(0xC00D));

  ASSERT_EQ(packet.SetInt(5, 7), 0);
  EXPECT_EQ(WireImage(packet), Le32(24) + Le32(1) + Le32(4096) + Le32(4) + Le16(5) +
                                   Le16(20) + Bytes("\x07\x00\x00\x00"));
  EXPECT_EQ(packet.GetPacketCrc(), static_cast<short>(0xA063));
  EXPECT_EQ(packet.GetPacketCrc(), -24477);
}

TEST(PacketImage, EveryWriterLaysOutItsRecordUnaligned) {
  CKParam packet;
  ASSERT_EQ(packet.SetBoolean(-1, true), 0);  // leaves the next header at offset 21
  ASSERT_EQ(packet.SetShortInt(-32768, -3), 0);
  ASSERT_EQ(packet.SetLong(32767, -2), 0);
  ASSERT_EQ(packet.SetChar(2, "ab\0c", 4), 0);
  ASSERT_EQ(packet.SetCString(3, u"A\U0001F600"), 0);
  ASSERT_EQ(packet.SetInt(4, 0x12345678), 0);
  const std::string records =
      Record(-1, 50, "\x01") + Record(-32768, 10, "\xfd\xff") +
      Record(32767, 60, "\xfe\xff\xff\xff") + Record(2, 30, std::string("ab\0c", 4)) +
      Record(3, 40, std::string("A\0\x3d\xd8\x00\xde", 6)) + Record(4, 20, "\x78\x56\x34\x12");
  EXPECT_EQ(WireImage(packet), Image(6, 4096, records));
}

TEST(PacketImage, GrowsInWholePages) {
  CKParam packet;
  // 12 + 8 + 4076 = 4096 bytes needed: still fits.
  ASSERT_EQ(packet.SetChar(1, std::string(4076, 'a').data(), 4076), 0);
  EXPECT_EQ(packet.GetLength(), 4096);
  EXPECT_EQ(DecodeFixed32(packet.GetBufferPtr() + 8), 4096u);
  // 4097 and beyond need the next page.
  ASSERT_EQ(packet.SetBoolean(2, true), 0);
  EXPECT_EQ(packet.GetLength(), 4105);
  EXPECT_EQ(DecodeFixed32(packet.GetBufferPtr() + 8), 8192u);
  char* data = nullptr;
  unsigned short length = 0;
  ASSERT_EQ(packet.GetCharNF(1, data, length), 0);
  EXPECT_EQ(std::string(data, length), std::string(4076, 'a'));

  // Needing exactly 8192 from a 4096-byte buffer gives 12288, not 8192.
  CKParam exact;
  ASSERT_EQ(exact.SetChar(1, std::string(8172, 'b').data(), 8172), 0);
  EXPECT_EQ(exact.GetLength(), 8192);
  EXPECT_EQ(DecodeFixed32(exact.GetBufferPtr() + 8), 12288u);
}

TEST(PacketImage, LargeDataIsRefusedOnlyWhenTheBufferGrows) {
  const std::string big(0x500000, 'x');
  CKParam packet;
  ASSERT_EQ(packet.SetInt(1, 1), 0);
  const std::string before = WireImage(packet);
  EXPECT_EQ(packet.SetChar(2, big.data(), 0x500000), -1);
  EXPECT_EQ(WireImage(packet), before);
  EXPECT_EQ(packet.SetChar(2, big.data(), 0x4FFFFF), 0);
  EXPECT_EQ(DecodeFixed32(packet.GetBufferPtr() + 8), (12u + 8 + 4 + 8 + 0x4FFFFF) / 4096 * 4096 + 4096);

  // A buffer sized by a received capacity takes a large record in place,
  // and may then grow past what a receiver accepts.
  CKParam roomy;
  ASSERT_EQ(roomy.SetBufferPtr(HeapCopy(Image(0, 0x9FFFFF, "")).get(), 12), 0);
  ASSERT_EQ(roomy.SetChar(1, big.data(), 0x500000), 0);
  ASSERT_EQ(roomy.SetChar(2, big.data(), 0x4FFFFF), 0);
  EXPECT_GT(DecodeFixed32(roomy.GetBufferPtr() + 8), 0x9FFFFFu);
  unsigned short length = 0;
  EXPECT_EQ(roomy.GetChar(2, nullptr, length), 0);
  EXPECT_EQ(length, 0xFFFF);
  CKParam receiver;
  EXPECT_EQ(receiver.SetBufferPtr(roomy.GetBufferPtr(), roomy.GetLength()), -1);
}

// Bit-at-a-time CRC-16/ARC over the sampled offsets, independent of the table.
short ReferenceCrc(const std::string& image) {
  const size_t window = image.size() < 500 ? image.size() : 500;
  uint16_t crc = 0;
  for (size_t block = 0; block * 22 + 11 <= window; ++block) {
    for (size_t i = block * 22; i < block * 22 + 11; ++i) {
      crc ^= static_cast<unsigned char>(image[i]);
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
  }
  return static_cast<short>(crc);
}

TEST(PacketChecksum, SamplesElevenOfEveryTwentyTwoBytes) {
  EXPECT_EQ(ExtendCrc16(0, "123456789", 9), 0xBB3D);  // the standard check value

  struct Case {
    unsigned data_length;      // of one type-30 record
    int total;                 // resulting packet length
    std::vector<int> covered;  // offsets that must change the checksum
    std::vector<int> ignored;  // offsets that must not
  };
  const Case cases[] = {
      {0, 20, {0, 10}, {11, 19}},
      {1, 21, {0, 10}, {11, 20}},
      {12, 32, {0, 10}, {11, 22, 31}},  // one byte short of a second block
      {13, 33, {0, 10, 22, 32}, {11, 21}},
      {480, 500, {0, 484, 494}, {495, 499}},
      {880, 900, {494}, {495, 520, 899}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.total);
    CKParam packet;
    ASSERT_EQ(packet.SetChar(1, std::string(c.data_length, '\x5a').data(), c.data_length), 0);
    ASSERT_EQ(packet.GetLength(), c.total);
    const short crc = packet.GetPacketCrc();
    EXPECT_EQ(crc, ReferenceCrc(WireImage(packet)));
    for (int offset : c.covered) {
      packet.GetBufferPtr()[offset] ^= 0x01;
      EXPECT_NE(packet.GetPacketCrc(), crc) << offset;
      packet.GetBufferPtr()[offset] ^= 0x01;
    }
    for (int offset : c.ignored) {
      packet.GetBufferPtr()[offset] ^= 0x01;
      EXPECT_EQ(packet.GetPacketCrc(), crc) << offset;
      packet.GetBufferPtr()[offset] ^= 0x01;
    }
  }
  // A 12-byte packet covers bytes 0 to 10 only.
  CKParam empty;
  const short crc = empty.GetPacketCrc();
  empty.GetBufferPtr()[11] = 0x77;
  EXPECT_EQ(empty.GetPacketCrc(), crc);
  empty.Release();
  EXPECT_EQ(empty.GetPacketCrc(), 0);
}

TEST(PacketLoad, RefusesBadImagesAndLeavesThePacketAlone) {
  CKParam packet;
  ASSERT_EQ(packet.SetInt(9, 99), 0);
  const std::string before = WireImage(packet);
  auto unchanged = [&] {
    EXPECT_EQ(WireImage(packet), before);
    EXPECT_EQ(packet.GetPacketNum(), 1);
  };

  EXPECT_EQ(packet.SetBufferPtr(nullptr, 24), -1);
  // Shorter than a header: refused without reading a byte past the length.
  const std::string valid = Image(1, 4096, Record(1, 20, Bytes("\x01\x00\x00\x00")));
  for (int length = 0; length < 12; ++length) {
    EXPECT_EQ(packet.SetBufferPtr(HeapCopy(valid.substr(0, length)).get(), length), -1);
  }
  EXPECT_EQ(packet.SetBufferPtr(HeapCopy(valid).get(), -24), -1);
  EXPECT_EQ(packet.SetBufferPtr(HeapCopy(valid).get(), 23), -1);  // header says 24
  // The 12 bytes of a new packet say 0 bytes in use.
  CKParam fresh;
  EXPECT_EQ(packet.SetBufferPtr(fresh.GetBufferPtr(), 12), -1);
  for (uint32_t capacity : {0u, 0xA00000u, 0xFFFFFFFFu, 23u}) {
    SCOPED_TRACE(capacity);
    EXPECT_EQ(packet.SetBufferPtr(HeapCopy(Image(1, capacity, Record(1, 20, "abcd"))).get(), 24),
              -1);
  }
  unchanged();

  EXPECT_EQ(packet.SetBufferPtr(HeapCopy(Image(1, 0x9FFFFF, Record(1, 20, "abcd"))).get(), 24), 0);
  EXPECT_EQ(LoadExact(packet, Image(1, 24, Record(1, 20, "abcd"))), 0);
}

TEST(PacketLoad, KeepsTheLargerBufferAndTheSendersHeader) {
  CKParam big;
  ASSERT_EQ(big.SetChar(1, std::string(9000, 'q').data(), 9000), 0);  // 12288 bytes
  const std::string image = Image(2, 4096, Record(7, 20, Bytes("\x02\x00\x00\x00")) + Record(-7, 50, "\x01"));
  ASSERT_EQ(big.SetBufferPtr(HeapCopy(image).get(), static_cast<int>(image.size())), 0);
  EXPECT_EQ(WireImage(big), image);  // the sender's capacity stays until the next append
  EXPECT_EQ(big.GetPacketNum(), 2);
  ASSERT_EQ(big.SetShortInt(8, 8), 0);
  EXPECT_EQ(DecodeFixed32(big.GetBufferPtr() + 8), 12288u);
  EXPECT_EQ(DecodeFixed32(big.GetBufferPtr() + 4), 3u);
  int value = 0;
  bool flag = false;
  EXPECT_EQ(big.GetInt(7, value), 0);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(big.GetBoolean(-7, flag), 0);
  EXPECT_TRUE(flag);

  // A packet may load its own image.
  EXPECT_EQ(big.SetBufferPtr(big.GetBufferPtr(), big.GetLength()), 0);
  EXPECT_EQ(big.GetInt(7, value), 0);
}

TEST(PacketLoad, MalformedRecordsReadAsMissing) {
  CKParam packet;
  int value = 0;
  const std::string one = Record(1, 20, Bytes("\x01\x00\x00\x00"));

  // A record count larger than the records present.
  ASSERT_EQ(LoadExact(packet, Image(5, 24, one)), 0);
  EXPECT_EQ(packet.GetInt(1, value), 0);
  EXPECT_EQ(packet.GetInt(2, value), -1);
  ASSERT_EQ(LoadExact(packet, Image(3, 12, "")), 0);
  EXPECT_EQ(packet.GetInt(1, value), -1);

  // Data lengths that would carry the end past 32 bits, or just past the
  // bytes in use; a wanted key behind such a record is not reached either.
  for (uint32_t bad : {0xFFFFFFFFu, 0xFFFFFFF4u, 0x80000000u, 17u}) {
    SCOPED_TRACE(bad);
    ASSERT_EQ(LoadExact(packet, Image(2, 36, RawRecord(bad, 1, 20, Bytes("\x01\x00\x00\x00")) + one)), 0);
    EXPECT_EQ(packet.GetInt(1, value), -1);
    EXPECT_EQ(packet.GetInt(2, value), -1);
    char* data = nullptr;
    unsigned short length = 7;
    EXPECT_EQ(packet.GetCharNF(1, data, length), -1);
    EXPECT_EQ(data, nullptr);
  }

  // A record header cut short by the end of the image.
  ASSERT_EQ(LoadExact(packet, Image(2, 28, one + Bytes("\x04\x00\x00\x00"))), 0);
  EXPECT_EQ(packet.GetInt(1, value), 0);
  EXPECT_EQ(packet.GetInt(2, value), -1);

  // Negative record count: nothing is examined.
  ASSERT_EQ(LoadExact(packet, Image(-1, 24, one)), 0);
  EXPECT_EQ(packet.GetPacketNum(), -1);
  EXPECT_EQ(packet.GetInt(1, value), -1);
  EXPECT_EQ(value, 1);

  // A count that cannot go up by one refuses the append.
  ASSERT_EQ(LoadExact(packet, Image(INT_MAX, 24, one)), 0);
  EXPECT_EQ(packet.SetInt(2, 2), -1);
  EXPECT_EQ(packet.GetPacketNum(), INT_MAX);
  EXPECT_EQ(packet.GetLength(), 24);
}

TEST(PacketLoad, FixedWidthRecordsOfTheWrongWidthAreRefused) {
  CKParam packet;
  const std::string records = Record(1, 20, "\x01\x02") + Record(2, 10, "\x01\x02\x03\x04") +
                              Record(3, 50, "") + Record(4, 60, "\x01\x02\x03\x04\x05\x06\x07\x08") +
                              Record(5, 50, "\x02") + Record(6, 40, std::string("A\0B\0C", 5)) +
                              Record(7, 40, std::string("A\0\0\0B\0", 6));
  ASSERT_EQ(LoadExact(packet, Image(7, static_cast<uint32_t>(12 + records.size()), records)), 0);
  int i = -5;
  short s = -5;
  bool b = false;
  long l = -5;
  EXPECT_EQ(packet.GetInt(1, i), -1);
  EXPECT_EQ(packet.UpdateInt(1, 9), -1);
  EXPECT_EQ(packet.GetShortInt(2, s), -1);
  EXPECT_EQ(packet.UpdateShortInt(2, 9), -1);
  EXPECT_EQ(packet.GetBoolean(3, b), -1);
  EXPECT_EQ(packet.GetLong(4, l), -1);
  EXPECT_EQ(i, -5);
  EXPECT_EQ(s, -5);
  EXPECT_EQ(l, -5);
  EXPECT_EQ(WireImage(packet), Image(7, static_cast<uint32_t>(12 + records.size()), records));
  // Any non-zero byte is true; an odd last text byte is dropped; text ends
  // at the first zero code unit.
  EXPECT_EQ(packet.GetBoolean(5, b), 0);
  EXPECT_TRUE(b);
  CString text;
  EXPECT_EQ(packet.GetCString(6, text), 0);
  EXPECT_EQ(text, u"AB");
  EXPECT_EQ(packet.GetCString(7, text), 0);
  EXPECT_EQ(text, u"A");
}

TEST(PacketLoad, HostBuildsCopiesAndLoadsInAnotherPacket) {
  CKParam host;
  host.SetInt(1, 1510);
  host.SetInt(300, 42);
  host.SetCString(302, u"n\u00e4me \u4f60\u597d");
  host.SetBoolean(303, true);
  host.SetLong(304, -123456789L);
  // The host hands over exactly GetLength() bytes.
  auto bytes = HeapCopy(WireImage(host));
  CKParam module;
  ASSERT_EQ(module.SetBufferPtr(bytes.get(), host.GetLength()), 0);
  int command = 0, other = 0;
  CString name;
  bool flag = false;
  long number = 0;
  EXPECT_EQ(module.GetInt(1, command), 0);
  EXPECT_EQ(module.GetInt(300, other), 0);
  EXPECT_EQ(module.GetCString(302, name), 0);
  EXPECT_EQ(module.GetBoolean(303, flag), 0);
  EXPECT_EQ(module.GetLong(304, number), 0);
  EXPECT_EQ(command, 1510);
  EXPECT_EQ(other, 42);
  EXPECT_EQ(name, u"n\u00e4me \u4f60\u597d");
  EXPECT_TRUE(flag);
  EXPECT_EQ(number, -123456789L);
  EXPECT_EQ(module.GetPacketNum(), 5);
  EXPECT_EQ(module.GetPacketCrc(), host.GetPacketCrc());
  EXPECT_EQ(WireImage(module), WireImage(host));
}

}  // namespace
}  // namespace zelvar::test
