// Lookups in packets large enough to be answered from the key index: they
// must find exactly the record that walking the records from the start
// finds, in well-formed and malformed images alike, and keep doing so as
// the packet is appended to, loaded, updated, copied, released or written
// through its buffer pointer.
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "packet_image.h"
#include "zelvar/kparam.h"

namespace zelvar::test {
namespace {

// The data offset of the first record with `key`, by walking `image` as a
// lookup must: at most `count` records, each within `in_use` bytes, the
// first that does not fit ending the search. -1 when not found.
long WalkFor(const std::string& image, int count, short key) {
  const uint64_t in_use = image.size();
  uint64_t offset = 12;
  for (int examined = 0; examined < count; ++examined) {
    if (offset + 8 > in_use) return -1;
    uint32_t length;
    std::memcpy(&length, image.data() + offset, 4);
    const uint64_t end = offset + 8 + length;
    if (end > in_use) return -1;
    int16_t record_key;
    std::memcpy(&record_key, image.data() + offset + 4, 2);
    if (record_key == key) return static_cast<long>(offset + 8);
    offset = end;
  }
  return -1;
}

// The data offset of the record the packet's lookup of `key` found, from
// `base`, the buffer's first byte; -1 when it found none. GetCharNF
// reports the data pointer of the record found whatever its type.
long FoundAt(CKParam& packet, const char* base, short key) {
  char* data = nullptr;
  unsigned short length = 0;
  packet.GetCharNF(key, data, length);
  return data == nullptr ? -1 : static_cast<long>(data - base);
}

// Records with keys from a small range, so that keys repeat, and data of
// every width.
std::string RandomRecords(std::mt19937& random, int records) {
  std::uniform_int_distribution<int> key(-40, 40);
  std::uniform_int_distribution<int> width(0, 9);
  std::string bytes;
  for (int i = 0; i < records; ++i) {
    const std::string data(static_cast<size_t>(width(random)), static_cast<char>('a' + i % 26));
    bytes += Record(static_cast<short>(key(random)), static_cast<short>(10 * (1 + i % 6)), data);
  }
  return bytes;
}

// Every key of the range the records use, and some beyond it, gives the
// record the walk gives.
void ExpectLookupsMatchTheWalk(CKParam& packet, const std::string& image, int count) {
  const char* base = packet.GetBufferPtr();
  for (int key = -60; key <= 60; ++key) {
    ASSERT_EQ(FoundAt(packet, base, static_cast<short>(key)),
              WalkFor(image, count, static_cast<short>(key)))
        << "key " << key;
  }
}

TEST(PacketIndex, LookupsInLoadedImagesFindWhatTheWalkFinds) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 40; ++round) {
    const int records = 17 + round * 7;
    const std::string body = RandomRecords(random, records);
    std::vector<std::pair<std::string, int>> images;  // image, its record count
    images.emplace_back(Image(records, 0x9FFFFF, body), records);
    // A count above the records present: the walk stops at the bytes in use.
    images.emplace_back(Image(records * 3, 0x9FFFFF, body), records * 3);
    // A count below them: later records are out of reach.
    images.emplace_back(Image(records / 2 + 17, 0x9FFFFF, body), records / 2 + 17);
    // A record in the middle whose length runs past the bytes in use: it
    // and everything after it are out of reach.
    std::string overrun = Image(records, 0x9FFFFF, body);
    uint64_t offset = 12;
    for (int i = 0; i < records / 2; ++i) {
      uint32_t length;
      std::memcpy(&length, overrun.data() + offset, 4);
      offset += 8 + length;
    }
    const std::string huge = Le32(0xFFFFFFF0u);
    overrun.replace(offset, 4, huge);
    images.emplace_back(overrun, records);
    // The image cut short inside a record header.
    std::string cut = body.substr(0, body.size() - 5);
    images.emplace_back(Image(records, 0x9FFFFF, cut), records);

    for (const auto& [image, count] : images) {
      CKParam packet;
      ASSERT_EQ(LoadExact(packet, image), 0);
      ExpectLookupsMatchTheWalk(packet, image, count);
    }
  }
}

// A model of the packet: records in append order; a lookup answers the
// first with the key.
struct Model {
  std::vector<std::pair<short, int>> ints;  // key, value; type 20
  std::optional<int> Find(short key) const {
    for (const auto& [k, v] : ints) {
      if (k == key) return v;
    }
    return std::nullopt;
  }
};

void ExpectSameInts(CKParam& packet, const Model& model, int low, int high) {
  for (int key = low; key <= high; ++key) {
    int value = -12345;
    const int result = packet.GetInt(static_cast<short>(key), value);
    const std::optional<int> expected = model.Find(static_cast<short>(key));
    ASSERT_EQ(result, expected ? 0 : -1) << "key " << key;
    if (expected) ASSERT_EQ(value, *expected) << "key " << key;
  }
}

TEST(PacketIndex, AppendsAfterLookupsAreFoundAndFirstMatchesStay) {
  CKParam packet;
  Model model;
  int serial = 0;
  const auto append = [&](short key) {
    ASSERT_EQ(packet.SetInt(key, serial), 0);
    model.ints.emplace_back(key, serial);
    ++serial;
  };
  for (int key = 0; key < 40; ++key) append(static_cast<short>(key));
  ExpectSameInts(packet, model, -5, 60);
  // New keys, repeated keys (the first stays the answer), and enough records
  // to grow the buffer past several pages while lookups go on in between.
  for (int round = 0; round < 1100; ++round) {
    append(static_cast<short>(round % 97));
    int value = 0;
    ASSERT_EQ(packet.GetInt(static_cast<short>(round % 97), value), 0);
    ASSERT_EQ(value, *model.Find(static_cast<short>(round % 97)));
  }
  EXPECT_GT(packet.GetLength(), 3 * 4096);
  ExpectSameInts(packet, model, -5, 120);

  // A record of another type that comes first hides a later int.
  packet.SetShortInt(500, 1);
  packet.SetInt(500, 2);
  int value = 0;
  EXPECT_EQ(packet.GetInt(500, value), -1);
  short short_value = 0;
  EXPECT_EQ(packet.GetShortInt(500, short_value), 0);
  EXPECT_EQ(short_value, 1);
}

TEST(PacketIndex, AppendToAnImageWithRecordsOutOfReachKeepsThemOutOfReach) {
  // Twenty records, the header counting eighteen: the last two are out of
  // reach, and an append lands after them, so the walk still stops at
  // eighteen whatever is appended.
  std::string body;
  for (int key = 0; key < 20; ++key) body += Record(static_cast<short>(key), 20, Le32(key));
  CKParam packet;
  ASSERT_EQ(LoadExact(packet, Image(18, 0x9FFFFF, body)), 0);
  int value = 0;
  EXPECT_EQ(packet.GetInt(17, value), 0);
  EXPECT_EQ(packet.GetInt(18, value), -1);
  ASSERT_EQ(packet.SetInt(100, 7), 0);
  EXPECT_EQ(packet.GetInt(18, value), 0);  // the count is 19 now
  EXPECT_EQ(value, 18);
  EXPECT_EQ(packet.GetInt(100, value), -1);
}

TEST(PacketIndex, LoadCopyReleaseAndWritesThroughTheBufferReplaceWhatLookupsSee) {
  // Two images of the same length and record count with other keys, so
  // that only dropping the index at the load can tell them apart.
  CKParam first;
  CKParam second;
  for (int i = 0; i < 30; ++i) {
    first.SetInt(static_cast<short>(i), i);
    second.SetInt(static_cast<short>(i + 1000), -i);
  }
  const std::string second_image = WireImage(second);
  int value = 0;
  ASSERT_EQ(first.GetInt(5, value), 0);
  ASSERT_EQ(first.SetBufferPtr(const_cast<char*>(second_image.data()),
                               static_cast<int>(second_image.size())),
            0);
  EXPECT_EQ(first.GetInt(5, value), -1);
  ASSERT_EQ(first.GetInt(1005, value), 0);
  EXPECT_EQ(value, -5);

  // An update changes a value in place; lookups see it.
  ASSERT_EQ(first.UpdateInt(1007, 77), 0);
  ASSERT_EQ(first.GetInt(1007, value), 0);
  EXPECT_EQ(value, 77);

  // A copy answers on its own; appends to it leave the original alone.
  CKParam copy(first);
  ASSERT_EQ(copy.GetInt(1007, value), 0);
  EXPECT_EQ(value, 77);
  copy.SetInt(-3, 3);
  copy = second;
  ASSERT_EQ(copy.GetInt(1007, value), 0);
  EXPECT_EQ(value, -7);
  EXPECT_EQ(first.GetInt(-3, value), -1);

  // A key changed through the buffer pointer is what later lookups find.
  ASSERT_EQ(first.GetInt(1000, value), 0);
  char* buffer = first.GetBufferPtr();
  const std::string new_key = Le16(static_cast<uint16_t>(-2));
  std::memcpy(buffer + 12 + 4, new_key.data(), 2);  // the first record's key
  EXPECT_EQ(first.GetInt(1000, value), -1);
  ASSERT_EQ(first.GetInt(-2, value), 0);
  EXPECT_EQ(value, 0);

  // After Release nothing is found; the packet starts afresh on an append.
  first.Release();
  EXPECT_EQ(first.GetInt(-2, value), -1);
  for (int i = 0; i < 20; ++i) first.SetInt(static_cast<short>(i + 2000), i);
  EXPECT_EQ(first.GetInt(1007, value), -1);
  ASSERT_EQ(first.GetInt(2019, value), 0);
  EXPECT_EQ(value, 19);
  first.Create();
  EXPECT_EQ(first.GetInt(2019, value), -1);
}

TEST(PacketIndex, EveryKeyOfTheSixteenBitRangeInOnePacket) {
  CKParam packet;
  for (int key = -32768; key <= 32767; ++key) {
    ASSERT_EQ(packet.SetShortInt(static_cast<short>(key), static_cast<short>(~key)), 0);
  }
  // Second records of every key are unreachable.
  for (int key = -32768; key <= 32767; key += 7) packet.SetShortInt(static_cast<short>(key), 0);
  for (int key = -32768; key <= 32767; ++key) {
    short value = 0;
    ASSERT_EQ(packet.GetShortInt(static_cast<short>(key), value), 0);
    ASSERT_EQ(value, static_cast<short>(~key));
  }
}

}  // namespace
}  // namespace zelvar::test
