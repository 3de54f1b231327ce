// Fuzz target for received packet images: loads arbitrary bytes with
// SetBufferPtr, then drives every reader, updater and writer with keys taken
// from the input, and checks what each result promises.
//
// Input layout:
//   byte 0      flags: bit 0 rewrites the image's total length and capacity
//               to the image size, so that most inputs load and the record
//               walk gets explored; bit 1 loads into a released packet, so
//               the buffer is exactly the declared capacity
//   bytes 1-2   image size (little-endian, cut to what is left)
//   ...         the image, copied to a heap block of exactly its size
//   ...         operations, 3 bytes each: opcode, key (little-endian)
//
// Any broken promise traps; out-of-bounds access is left to the sanitizers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "packet/coding.h"
#include "zelvar/kparam.h"

namespace {

using zelvar::DecodeFixed16;
using zelvar::DecodeFixed32;
using zelvar::DecodeSigned16;
using zelvar::DecodeSigned32;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckResult(int result) { Check(result == 0 || result == -1); }

std::string WireImage(CKParam& packet) {
  if (packet.GetBufferPtr() == nullptr) return std::string();
  return std::string(packet.GetBufferPtr(), static_cast<size_t>(packet.GetLength()));
}

// What a lookup must find, walked independently over the bytes in use.
struct Expected {
  bool found = false;
  size_t data_offset = 0;
  short type = 0;
  uint32_t length = 0;
};

Expected Lookup(CKParam& packet, short key) {
  Expected expected;
  const char* image = packet.GetBufferPtr();
  if (image == nullptr) return expected;
  const uint64_t in_use = static_cast<uint64_t>(packet.GetLength());
  uint64_t offset = 12;
  for (int64_t i = 0; i < packet.GetPacketNum(); ++i) {
    if (offset + 8 > in_use) break;
    const uint32_t length = DecodeFixed32(image + offset);
    const uint64_t end = offset + 8 + length;
    if (end > in_use) break;
    if (DecodeSigned16(image + offset + 4) == key) {
      expected.found = true;
      expected.data_offset = offset + 8;
      expected.type = DecodeSigned16(image + offset + 6);
      expected.length = length;
      break;
    }
    offset = end;
  }
  return expected;
}

bool Is(const Expected& e, short type, uint32_t width) {
  return e.found && e.type == type && e.length == width;
}

// Whether a receiver must accept `size` bytes at `image`.
bool Acceptable(const char* image, size_t size) {
  if (image == nullptr || size < 12) return false;
  const uint32_t capacity = DecodeFixed32(image + 8);
  return DecodeSigned32(image) == static_cast<int32_t>(size) && capacity >= size &&
         capacity <= 0x9FFFFF;
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t left() const { return size_; }
  uint8_t Byte() { return Take(1) ? data_[-1] : 0; }
  uint16_t Word() {
    uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  const char* Bytes(size_t n) {
    const char* start = reinterpret_cast<const char*>(data_);
    return Take(n) ? start : nullptr;
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

void Load(CKParam& packet, Input& input) {
  const uint8_t flags = input.Byte();
  size_t size = input.Word();
  if (size > input.left()) size = input.left();
  std::unique_ptr<char[]> image(new char[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(image.get(), input.Bytes(size), size);
  if ((flags & 1) && size >= 12) {
    zelvar::EncodeFixed32(image.get(), static_cast<uint32_t>(size));
    zelvar::EncodeFixed32(image.get() + 8, static_cast<uint32_t>(size));
  }
  if (flags & 2) packet.Release();

  const std::string before = WireImage(packet);
  const int before_count = packet.GetPacketNum();
  const int result = packet.SetBufferPtr(image.get(), static_cast<int>(size));
  CheckResult(result);
  Check((result == 0) == Acceptable(image.get(), size));
  if (result == 0) {
    Check(packet.GetLength() == static_cast<int>(size));
    Check(packet.GetPacketNum() == DecodeSigned32(image.get() + 4));
    Check(std::memcmp(packet.GetBufferPtr(), image.get(), size) == 0);
  } else {
    Check(WireImage(packet) == before && packet.GetPacketNum() == before_count);
  }
}

// Opcodes 0-3: the fixed-width getters read what the record holds, or
// leave the value alone.
void ReadFixedWidth(CKParam& packet, int opcode, short key) {
  const Expected e = Lookup(packet, key);
  const char* data_at = e.found ? packet.GetBufferPtr() + e.data_offset : nullptr;
  switch (opcode) {
    case 0: {
      short v = 0x5a5a;
      const int r = packet.GetShortInt(key, v);
      Check((r == 0) == Is(e, 10, 2));
      Check(r == 0 ? v == DecodeSigned16(data_at) : v == 0x5a5a);
      break;
    }
    case 1: {
      int v = 0x5a5a5a5a;
      const int r = packet.GetInt(key, v);
      Check((r == 0) == Is(e, 20, 4));
      Check(r == 0 ? v == DecodeSigned32(data_at) : v == 0x5a5a5a5a);
      break;
    }
    case 2: {
      long v = 0x5a5a5a5a5aL;
      const int r = packet.GetLong(key, v);
      Check((r == 0) == Is(e, 60, 4));
      Check(r == 0 ? v == DecodeSigned32(data_at) : v == 0x5a5a5a5a5aL);
      break;
    }
    case 3: {
      bool v = false;
      const int r = packet.GetBoolean(key, v);
      Check((r == 0) == Is(e, 50, 1));
      if (r == 0) Check(v == (*data_at != 0));
      break;
    }
  }
}

// Opcodes 4-8: the byte and text getters copy the record whole, or report
// it absent.
void ReadBytes(CKParam& packet, int opcode, short key) {
  const Expected e = Lookup(packet, key);
  const char* data_at = e.found ? packet.GetBufferPtr() + e.data_offset : nullptr;
  const unsigned short n16 = static_cast<unsigned short>(e.length & 0xFFFF);
  switch (opcode) {
    case 4: {
      char sentinel = 0;
      char* copy = &sentinel;
      const int r = packet.GetChar(key, copy);
      Check(copy != &sentinel);  // always reset
      std::unique_ptr<char[]> owned(copy);
      Check((r == 0) == (e.found && e.type == 30));
      Check((copy == nullptr) == (r != 0 || n16 == 0));
      if (copy != nullptr) Check(std::memcmp(copy, data_at, n16) == 0);
      break;
    }
    case 5: {
      unsigned short length = 77;
      const int r = packet.GetChar(key, nullptr, length);
      CheckResult(r);
      Check(length == (r == 0 ? n16 : 0));
      // A buffer of exactly the reported size: a longer copy is an overflow.
      std::unique_ptr<char[]> buffer(new char[length == 0 ? 1 : length]);
      unsigned short again = 0;
      Check(packet.GetChar(key, buffer.get(), again) == r && again == length);
      if (r == 0) Check(std::memcmp(buffer.get(), data_at, length) == 0);
      break;
    }
    case 6: {
      char* copy = nullptr;
      unsigned short length = 77;
      const int r = packet.GetChar2(key, copy, length);
      std::unique_ptr<char[]> owned(copy);
      Check((r == 0) == (e.found && e.type == 30));
      Check(length == (r == 0 ? n16 : 0));
      if (copy != nullptr) Check(std::memcmp(copy, data_at, length) == 0);
      break;
    }
    case 7: {
      char* inside = nullptr;
      unsigned short length = 77;
      const int r = packet.GetCharNF(key, inside, length);
      Check((r == 0) == (e.found && e.type == 30));
      Check(inside == data_at);
      Check(length == (r == 0 ? n16 : 0));
      break;
    }
    case 8: {
      CString text = u"unchanged";
      const int r = packet.GetCString(key, text);
      Check((r == 0) == (e.found && e.type == 40));
      if (r == 0) {
        Check(text.size() <= e.length / 2);
        Check(text.find(u'\0') == CString::npos);
      } else {
        Check(text == u"unchanged");
      }
      break;
    }
  }
}

// Opcodes 9-17: updates keep the length; setters append records.
void Write(CKParam& packet, int opcode, short key, Input& input) {
  const Expected e = Lookup(packet, key);
  switch (opcode) {
    case 9: {
      const int length = packet.GetLength();
      const int r = packet.UpdateShortInt(key, static_cast<short>(input.Word()));
      Check((r == 0) == Is(e, 10, 2) && packet.GetLength() == length);
      break;
    }
    case 10: {
      const int length = packet.GetLength();
      const int r = packet.UpdateInt(key, static_cast<int>(input.Word() * 65537u));
      Check((r == 0) == Is(e, 20, 4) && packet.GetLength() == length);
      break;
    }
    case 11:
      CheckResult(packet.SetShortInt(key, static_cast<short>(input.Word())));
      break;
    case 12:
      CheckResult(packet.SetInt(key, static_cast<int>(input.Word()) << 8));
      break;
    case 13:
      CheckResult(packet.SetLong(key, static_cast<long>(input.Word()) << 20));
      break;
    case 14:
      CheckResult(packet.SetBoolean(key, input.Byte() & 1));
      break;
    case 15: {
      size_t length = input.Byte();
      if (length > input.left()) length = input.left();
      const char* bytes = input.Bytes(length);
      CheckResult(packet.SetChar(key, length == 0 ? nullptr : bytes, static_cast<unsigned>(length)));
      break;
    }
    case 16: {
      size_t units = input.Byte();
      if (units * 2 > input.left()) units = input.left() / 2;
      const char* bytes = input.Bytes(units * 2);
      CString text(units, u'\0');
      for (size_t i = 0; i < units; ++i) text[i] = static_cast<char16_t>(DecodeFixed16(bytes + 2 * i));
      CheckResult(packet.SetCString(key, text));
      break;
    }
    case 17: {
      // Append a copy of a record's own bytes, which may make the buffer
      // they live in grow.
      char* inside = nullptr;
      unsigned short length = 0;
      if (packet.GetCharNF(key, inside, length) == 0) {
        const std::string expected(inside, length);
        if (packet.SetChar(static_cast<short>(key + 1), inside, length) == 0) {
          Check(std::memcmp(packet.GetBufferPtr() + packet.GetLength() - length, expected.data(),
                            length) == 0);
        }
      }
      break;
    }
  }
}

// Opcodes 18-23: the packet as a whole: its checksum, release and
// creation, copies, and its image taken in again.
void Whole(CKParam& packet, int opcode) {
  switch (opcode) {
    case 18: {
      const short crc = packet.GetPacketCrc();
      Check(crc == packet.GetPacketCrc());
      if (packet.GetBufferPtr() == nullptr) Check(crc == 0);
      break;
    }
    case 19:
      packet.Release();
      Check(packet.GetBufferPtr() == nullptr && packet.GetLength() == 0);
      break;
    case 20:
      packet.Create();
      Check(packet.GetLength() == 12 || packet.GetBufferPtr() == nullptr);
      break;
    case 21: {
      CKParam copy(packet);
      Check(WireImage(copy) == WireImage(packet));
      Check(copy.GetPacketNum() == packet.GetPacketNum());
      Check(copy.GetPacketCrc() == packet.GetPacketCrc());
      CKParam assigned;
      assigned = packet;
      Check(WireImage(assigned) == WireImage(packet));
      break;
    }
    case 22: {
      // What a receiver makes of this packet's current image.
      CKParam receiver;
      const std::string image = WireImage(packet);
      std::unique_ptr<char[]> bytes(new char[image.empty() ? 1 : image.size()]);
      std::memcpy(bytes.get(), image.data(), image.size());
      const int r = receiver.SetBufferPtr(bytes.get(), static_cast<int>(image.size()));
      Check((r == 0) == Acceptable(bytes.get(), image.size()));
      if (r == 0) Check(WireImage(receiver) == image);
      break;
    }
    case 23: {
      const std::string image = WireImage(packet);
      const int r = packet.SetBufferPtr(packet.GetBufferPtr(), packet.GetLength());
      CheckResult(r);
      Check(WireImage(packet) == image);
      break;
    }
  }
}

void Operate(CKParam& packet, uint8_t opcode, short key, Input& input) {
  const int op = opcode % 24;
  if (op <= 3) {
    ReadFixedWidth(packet, op, key);
  } else if (op <= 8) {
    ReadBytes(packet, op, key);
  } else if (op <= 17) {
    Write(packet, op, key, input);
  } else {
    Whole(packet, op);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  CKParam packet;
  Load(packet, input);
  for (int steps = 0; steps < 256 && input.left() >= 3; ++steps) {
    const uint8_t opcode = input.Byte();
    const short key = static_cast<short>(input.Word());
    Operate(packet, opcode, key, input);
  }
  return 0;
}
