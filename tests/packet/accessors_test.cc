// The typed accessors: what each reads and writes back, first-match lookup,
// type mismatches, byte strings and text taken modulo 65,536, updates in
// place, and the packet's life cycle and copies.
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "packet_image.h"
#include "zelvar/kparam.h"

namespace zelvar::test {
namespace {

TEST(PacketAccessors, FixedWidthValuesRoundTrip) {
  CKParam packet;
  ASSERT_EQ(packet.SetShortInt(-32768, SHRT_MIN), 0);
  ASSERT_EQ(packet.SetInt(32767, INT_MIN), 0);
  ASSERT_EQ(packet.SetLong(0, 0x180000001L), 0);  // only the low 32 bits travel
  ASSERT_EQ(packet.SetLong(1, -5L), 0);
  ASSERT_EQ(packet.SetBoolean(static_cast<short>(65536 + 2), true), 0);
  short s = 0;
  int i = 0;
  long l = 0;
  bool b = false;
  EXPECT_EQ(packet.GetShortInt(-32768, s), 0);
  EXPECT_EQ(s, SHRT_MIN);
  EXPECT_EQ(packet.GetInt(32767, i), 0);
  EXPECT_EQ(i, INT_MIN);
  EXPECT_EQ(packet.GetLong(0, l), 0);
  EXPECT_EQ(l, -2147483647L);  // 0x80000001, sign-extended
  EXPECT_EQ(packet.GetLong(1, l), 0);
  EXPECT_EQ(l, -5L);
  EXPECT_EQ(packet.GetBoolean(2, b), 0);  // the key kept its low 16 bits
  EXPECT_TRUE(b);
  EXPECT_EQ(packet.GetInt(-32767, i), -1);
}

TEST(PacketAccessors, FirstRecordWithTheKeyAnswersWhateverItsType) {
  CKParam packet;
  packet.SetInt(7, 1);
  packet.SetInt(7, 2);
  int v = 0;
  EXPECT_EQ(packet.GetInt(7, v), 0);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(packet.GetPacketNum(), 2);

  // Int and long are different kinds of the same width.
  packet.SetLong(3, 5);
  v = 77;
  EXPECT_EQ(packet.GetInt(3, v), -1);
  EXPECT_EQ(v, 77);
  long l = 0;
  EXPECT_EQ(packet.GetLong(3, l), 0);
  EXPECT_EQ(l, 5);

  // A first record of another type hides a matching second one.
  packet.SetShortInt(8, 1);
  packet.SetInt(8, 2);
  EXPECT_EQ(packet.GetInt(8, v), -1);
  EXPECT_EQ(packet.UpdateInt(8, 3), -1);
  bool b = true;
  EXPECT_EQ(packet.GetBoolean(8, b), -1);
  EXPECT_TRUE(b);
  CString text = u"keep";
  EXPECT_EQ(packet.GetCString(8, text), -1);
  EXPECT_EQ(text, u"keep");
}

TEST(PacketAccessors, UpdatesOverwriteInPlaceAndNeverAppend) {
  CKParam packet;
  packet.SetInt(1, 10);
  packet.SetInt(1, 11);
  packet.SetShortInt(2, 20);
  const int length = packet.GetLength();
  EXPECT_EQ(packet.UpdateInt(1, -1), 0);
  EXPECT_EQ(packet.UpdateShortInt(2, -2), 0);
  EXPECT_EQ(packet.UpdateInt(3, 1), -1);
  EXPECT_EQ(packet.UpdateShortInt(1, 1), -1);
  EXPECT_EQ(packet.UpdateInt(2, 1), -1);
  EXPECT_EQ(packet.GetLength(), length);
  EXPECT_EQ(packet.GetPacketNum(), 3);
  EXPECT_EQ(WireImage(packet),
            Image(3, 4096, Record(1, 20, "\xff\xff\xff\xff") + Record(1, 20, Bytes("\x0b\x00\x00\x00")) +
                               Record(2, 10, "\xfe\xff")));
}

TEST(PacketAccessors, ByteStrings) {
  CKParam packet;
  packet.SetChar(9, "abc", 3);
  packet.SetChar(10, "abc", 4);  // the terminator travels when asked to
  packet.SetChar(11, nullptr, 0);
  packet.SetInt(12, 5);
  packet.SetChar(13, "0123456789", 10);

  char* data = nullptr;
  ASSERT_EQ(packet.GetChar(9, data), 0);
  std::unique_ptr<char[]> owned(data);
  EXPECT_EQ(std::string(data, 3), "abc");
  ASSERT_EQ(packet.GetChar(10, data), 0);
  owned.reset(data);
  EXPECT_EQ(std::string(data, 4), Bytes("abc\0"));

  unsigned short n = 99;
  EXPECT_EQ(packet.GetChar2(11, data, n), 0);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(n, 0);

  n = 0;
  EXPECT_EQ(packet.GetChar(13, nullptr, n), 0);
  EXPECT_EQ(n, 10);
  char buffer[12] = "xxxxxxxxxxx";
  EXPECT_EQ(packet.GetChar(13, buffer, n), 0);
  EXPECT_EQ(std::string(buffer), "0123456789x");

  EXPECT_EQ(packet.GetChar2(13, data, n), 0);
  owned.reset(data);
  EXPECT_EQ(std::string(data, n), "0123456789");

  char* inside = nullptr;
  EXPECT_EQ(packet.GetCharNF(13, inside, n), 0);
  EXPECT_EQ(n, 10);
  EXPECT_TRUE(inside > packet.GetBufferPtr() &&
              inside + n <= packet.GetBufferPtr() + packet.GetLength());

  // Wrong type or absent key: outputs as each reader promises.
  data = buffer;
  n = 5;
  EXPECT_EQ(packet.GetChar(12, data), -1);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(packet.GetChar(12, buffer, n), -1);
  EXPECT_EQ(n, 0);
  n = 5;
  inside = nullptr;
  EXPECT_EQ(packet.GetCharNF(12, inside, n), -1);
  EXPECT_EQ(n, 0);
  EXPECT_NE(inside, nullptr);  // set to the int record's data
  inside = buffer;
  EXPECT_EQ(packet.GetCharNF(99, inside, n), -1);
  EXPECT_EQ(inside, buffer);
  data = buffer;
  n = 5;
  EXPECT_EQ(packet.GetChar2(99, data, n), -1);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(n, 0);
}

TEST(PacketAccessors, ByteStringLengthsAreTakenModulo65536) {
  std::string big(65540, 'z');
  big.replace(0, 4, "head");
  CKParam packet;
  ASSERT_EQ(packet.SetChar(1, big.data(), 65540), 0);
  EXPECT_EQ(packet.GetLength(), 12 + 8 + 65540);
  char* data = nullptr;
  unsigned short n = 0;
  ASSERT_EQ(packet.GetChar2(1, data, n), 0);
  std::unique_ptr<char[]> owned(data);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(std::string(data, n), "head");
  ASSERT_EQ(packet.GetCharNF(1, data, n), 0);
  EXPECT_EQ(n, 4);
}

TEST(PacketAccessors, TextCountsCodeUnitsModulo65536) {
  CKParam packet;
  ASSERT_EQ(packet.SetCString(4, u"h\u00e9llo"), 0);
  ASSERT_EQ(packet.SetCString(5, u""), 0);
  ASSERT_EQ(packet.SetCString(6, CString(65536, u'a')), 0);
  CString long_text(65537, u'b');
  long_text[0] = u'c';
  ASSERT_EQ(packet.SetCString(7, long_text), 0);
  ASSERT_EQ(packet.SetCString(8, u"\U0001F600!"), 0);  // a surrogate pair is two units

  unsigned short n = 0;
  CString text = u"old";
  EXPECT_EQ(packet.GetCString(4, text), 0);
  EXPECT_EQ(text, u"h\u00e9llo");
  EXPECT_EQ(packet.GetCString(5, text), 0);
  EXPECT_EQ(text, u"");
  EXPECT_EQ(packet.GetCString(6, text), 0);
  EXPECT_EQ(text, u"");
  EXPECT_EQ(packet.GetCString(7, text), 0);
  EXPECT_EQ(text, u"c");
  EXPECT_EQ(packet.GetCString(8, text), 0);
  EXPECT_EQ(text, u"\U0001F600!");
  // Stored data lengths: 10, 0, 0, 2 and 6 bytes.
  EXPECT_EQ(packet.GetLength(), 12 + 5 * 8 + 10 + 0 + 0 + 2 + 6);
  text = u"same";
  EXPECT_EQ(packet.GetCString(9, text), -1);
  EXPECT_EQ(text, u"same");
  EXPECT_EQ(packet.GetChar(4, nullptr, n), -1);
}

TEST(PacketLifecycle, ReleaseCreateAndWritingAgain) {
  CKParam packet;
  packet.SetInt(1, 1);
  packet.Release();
  packet.Release();
  EXPECT_EQ(packet.GetBufferPtr(), nullptr);
  EXPECT_EQ(packet.GetLength(), 0);
  EXPECT_EQ(packet.GetPacketNum(), 0);
  EXPECT_EQ(packet.GetPacketCrc(), 0);
  int v = 0;
  EXPECT_EQ(packet.GetInt(1, v), -1);
  EXPECT_EQ(packet.UpdateInt(1, 2), -1);

  // A released packet written again starts over on a fresh page.
  ASSERT_EQ(packet.SetInt(5, 7), 0);
  EXPECT_EQ(WireImage(packet), Image(1, 4096, Record(5, 20, Bytes("\x07\x00\x00\x00"))));

  // Create on a live packet starts over too (and must not leak the old one).
  packet.Create();
  EXPECT_EQ(packet.GetLength(), 12);
  EXPECT_EQ(packet.GetInt(5, v), -1);
  packet.Release();
  packet.Create();
  EXPECT_EQ(std::string(packet.GetBufferPtr(), 12), Le32(0) + Le32(0) + Le32(4096));

  // A released packet loads an image into a buffer of its declared size.
  packet.Release();
  EXPECT_EQ(LoadExact(packet, Image(1, 24, Record(5, 20, Bytes("\x07\x00\x00\x00")))), 0);
  EXPECT_EQ(packet.GetInt(5, v), 0);
  EXPECT_EQ(v, 7);
  ASSERT_EQ(packet.SetInt(6, 8), 0);  // grows from 24 bytes
  EXPECT_EQ(packet.GetInt(6, v), 0);
}

TEST(PacketLifecycle, CopiesOwnTheirBytes) {
  CKParam original;
  original.SetChar(1, std::string(5000, 'o').data(), 5000);
  original.SetInt(2, 2);

  CKParam copy(original);
  EXPECT_EQ(WireImage(copy), WireImage(original));
  EXPECT_NE(copy.GetBufferPtr(), original.GetBufferPtr());
  copy.UpdateInt(2, 3);
  int v = 0;
  original.GetInt(2, v);
  EXPECT_EQ(v, 2);

  CKParam assigned;
  assigned.SetInt(9, 9);
  assigned = original;
  EXPECT_EQ(WireImage(assigned), WireImage(original));
  CKParam& alias = assigned;
  assigned = alias;
  EXPECT_EQ(WireImage(assigned), WireImage(original));
  original.Release();
  EXPECT_EQ(assigned.GetInt(2, v), 0);  // unaffected by the source's release

  CKParam from_released(original);
  EXPECT_EQ(from_released.GetBufferPtr(), nullptr);
  assigned = original;
  EXPECT_EQ(assigned.GetLength(), 0);
  EXPECT_EQ(assigned.SetInt(1, 1), 0);
}

TEST(PacketLifecycle, AppendingBytesFromItsOwnBufferWhileGrowing) {
  CKParam packet;
  std::string payload(4000, 'p');
  payload.replace(0, 5, "start");
  ASSERT_EQ(packet.SetChar(1, payload.data(), 4000), 0);
  char* inside = nullptr;
  unsigned short n = 0;
  ASSERT_EQ(packet.GetCharNF(1, inside, n), 0);
  // The append grows the buffer the data lives in.
  ASSERT_EQ(packet.SetChar(2, inside, n), 0);
  ASSERT_EQ(packet.GetCharNF(2, inside, n), 0);
  EXPECT_EQ(std::string(inside, n), payload);
}

}  // namespace
}  // namespace zelvar::test
