// CKParam: the parameter packet, its growth, lookup, load and checksum, and
// the typed accessors built on them.
//
// The object's four fields are authoritative; the 12-byte header at the
// start of the buffer is a copy that every append refreshes. Received
// images are untrusted: a load checks the header against the bytes given,
// and every lookup walks the records with the checks of record_walk.h, each
// record within the bytes in use. Allocation failures are
// reported as -1 (or leave a released packet), never thrown, because the
// class is called across the module boundary.
//
// Lookups in a packet of more than kScanRecords records go through a key
// index (packet_index.h) built on the first lookup by the same walk that a
// lookup without it makes, so
// that reading every key of an n-record packet costs n steps, not n * n.
// The index answers exactly what the walk answers: the first record with
// the key among those the walk reaches before it stops. It lives in a
// hidden prefix of the buffer's allocation, outside the object's four
// fields (whose layout the host shares), and goes with the buffer. Appends
// extend it; loads, copies, Create and Release drop it; updates change no
// key or length and keep it. GetBufferPtr drops it too, since a caller may
// write record headers through that pointer: such writes are seen by the
// lookups after that call.
//
// A packet has no lock: one thread at a time.
#include "zelvar/kparam.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "packet/coding.h"
#include "packet/crc16.h"
#include "packet/packet_index.h"
#include "packet/record_walk.h"

using zelvar::DecodeFixed16;
using zelvar::DecodeFixed32;
using zelvar::DecodeSigned16;
using zelvar::DecodeSigned32;
using zelvar::EncodeFixed16;
using zelvar::EncodeFixed32;

namespace {

// Packets with at most this many records are searched by walking them:
// for a handful of records the walk beats building an index.
constexpr int kScanRecords = 16;

// Every buffer of a packet is allocated with this prefix in front of it;
// m_pBuffer points just past it. 16 bytes keep the buffer as aligned as a
// plain new[] array.
struct alignas(16) BufferPrefix {
  std::unique_ptr<zelvar::PacketIndex> index;
};
static_assert(sizeof(BufferPrefix) == 16);

BufferPrefix* PrefixOf(char* buffer) {
  return std::launder(reinterpret_cast<BufferPrefix*>(buffer - sizeof(BufferPrefix)));
}

// A buffer of `size` bytes without an index; null when memory is short.
char* AllocateBuffer(uint32_t size) {
  void* raw = ::operator new(sizeof(BufferPrefix) + size, std::nothrow);
  if (raw == nullptr) return nullptr;
  new (raw) BufferPrefix{};
  return static_cast<char*>(raw) + sizeof(BufferPrefix);
}

void DropIndex(char* buffer) {
  if (buffer != nullptr) PrefixOf(buffer)->index.reset();
}

void FreeBuffer(char* buffer) {
  if (buffer == nullptr) return;
  BufferPrefix* prefix = PrefixOf(buffer);
  prefix->~BufferPrefix();
  ::operator delete(prefix);
}

// Byte strings are reported with a 16-bit length.
unsigned short ByteStringLength(unsigned int length) {
  return static_cast<unsigned short>(length & 0xFFFF);
}

// A caller-owned copy of `n` bytes; null when n is 0 or memory is short.
char* CopyOut(const char* data, unsigned short n) {
  if (n == 0) return nullptr;
  char* copy = new (std::nothrow) char[n];
  if (copy != nullptr) std::memcpy(copy, data, n);
  return copy;
}

}  // namespace

CKParam::CKParam() : m_pBuffer(nullptr), m_nLength(0), m_nPacketNum(0), m_nBufferSize(0) {
  Create();
}

CKParam::CKParam(const CKParam& other)
    : m_pBuffer(nullptr), m_nLength(0), m_nPacketNum(0), m_nBufferSize(0) {
  *this = other;
}

CKParam& CKParam::operator=(const CKParam& other) {
  if (this == &other) return *this;
  if (other.m_pBuffer == nullptr) {
    Release();
    return *this;
  }
  char* buffer = AllocateBuffer(other.m_nBufferSize);
  if (buffer == nullptr) return *this;  // keeps its own content
  std::memcpy(buffer, other.m_pBuffer, static_cast<size_t>(other.m_nLength));
  FreeBuffer(m_pBuffer);
  m_pBuffer = buffer;
  m_nLength = other.m_nLength;
  m_nPacketNum = other.m_nPacketNum;
  m_nBufferSize = other.m_nBufferSize;
  return *this;
}

CKParam::~CKParam() { Release(); }

void CKParam::Create() {
  // A buffer still held would otherwise be lost.
  Release();
  char* buffer = AllocateBuffer(zelvar::kPageSize);
  if (buffer == nullptr) return;  // stays released; the next append retries
  // A new packet's header says 0 bytes in use (not 12) until the first
  // append rewrites it; receivers see that difference.
  EncodeFixed32(buffer + zelvar::kTotalLengthOffset, 0);
  EncodeFixed32(buffer + zelvar::kRecordCountOffset, 0);
  EncodeFixed32(buffer + zelvar::kCapacityOffset, zelvar::kPageSize);
  m_pBuffer = buffer;
  m_nLength = zelvar::kHeaderSize;
  m_nPacketNum = 0;
  m_nBufferSize = zelvar::kPageSize;
}

void CKParam::Release() {
  FreeBuffer(m_pBuffer);
  m_pBuffer = nullptr;
  m_nLength = 0;
  m_nPacketNum = 0;
  m_nBufferSize = 0;
}

int CKParam::PutBuffer(short key, short type, const char* data, unsigned int length) {
  if (data == nullptr && length != 0) return -1;
  if (m_nLength == 0) {
    Create();
    if (m_pBuffer == nullptr) return -1;
  }
  // A loaded header may claim any count; one more must stay representable.
  if (m_nPacketNum == std::numeric_limits<int>::max()) return -1;

  const uint64_t needed =
      static_cast<uint64_t>(m_nLength) + zelvar::kRecordHeaderSize + length;
  if (needed > static_cast<uint64_t>(std::numeric_limits<int>::max())) return -1;

  char* buffer = m_pBuffer;
  uint32_t capacity = m_nBufferSize;
  if (needed > m_nBufferSize) {
    if (length >= zelvar::kMaxGrowingDataLength) return -1;
    // The smallest whole number of pages strictly greater than needed.
    capacity = static_cast<uint32_t>(needed / zelvar::kPageSize * zelvar::kPageSize +
                                     zelvar::kPageSize);
    buffer = AllocateBuffer(capacity);
    if (buffer == nullptr) return -1;
    std::memcpy(buffer, m_pBuffer, static_cast<size_t>(m_nLength));
  }

  // The data may point into this packet's own buffer (a GetCharNF result):
  // it is copied before the old buffer is freed, and before the record
  // header can overwrite it.
  char* record = buffer + m_nLength;
  if (length != 0) std::memmove(record + zelvar::kRecordHeaderSize, data, length);
  EncodeFixed32(record + zelvar::kDataLengthOffset, length);
  EncodeFixed16(record + zelvar::kKeyOffset, static_cast<uint16_t>(key));
  EncodeFixed16(record + zelvar::kTypeOffset, static_cast<uint16_t>(type));
  if (buffer != m_pBuffer) {
    // The index follows the records into the new buffer.
    std::swap(PrefixOf(buffer)->index, PrefixOf(m_pBuffer)->index);
    FreeBuffer(m_pBuffer);
    m_pBuffer = buffer;
    m_nBufferSize = capacity;
  }

  const int offset = m_nLength;
  m_nPacketNum += 1;
  m_nLength = static_cast<int>(needed);
  if (zelvar::PacketIndex* index = PrefixOf(m_pBuffer)->index.get()) {
    if (!index->Append(static_cast<uint32_t>(offset), key, m_nLength, m_nPacketNum)) {
      DropIndex(m_pBuffer);
    }
  }
  EncodeFixed32(m_pBuffer + zelvar::kTotalLengthOffset, static_cast<uint32_t>(m_nLength));
  EncodeFixed32(m_pBuffer + zelvar::kRecordCountOffset, static_cast<uint32_t>(m_nPacketNum));
  EncodeFixed32(m_pBuffer + zelvar::kCapacityOffset, m_nBufferSize);
  return 0;
}

int CKParam::GetBuffer(short key, char** data, short& type, unsigned int& length) {
  if (m_pBuffer == nullptr || m_nLength <= 0) return -1;
  if (m_nPacketNum > kScanRecords) {
    BufferPrefix* prefix = PrefixOf(m_pBuffer);
    if (prefix->index != nullptr && !prefix->index->Matches(m_nLength, m_nPacketNum)) {
      DropIndex(m_pBuffer);
    }
    if (prefix->index == nullptr) {
      prefix->index = zelvar::PacketIndex::Build(m_pBuffer, m_nLength, m_nPacketNum);
    }
    if (const zelvar::PacketIndex* index = prefix->index.get()) {
      // The walk that built the index checked this record's bounds.
      const uint32_t offset = index->Find(key);
      if (offset == 0) return -1;
      const char* record = m_pBuffer + offset;
      if (data != nullptr) *data = m_pBuffer + offset + zelvar::kRecordHeaderSize;
      type = DecodeSigned16(record + zelvar::kTypeOffset);
      length = DecodeFixed32(record + zelvar::kDataLengthOffset);
      return 0;
    }
  }
  // A record that reaches past the bytes in use ends the search whether or
  // not it is the one wanted: nothing after it can be trusted.
  zelvar::RecordWalk walk(m_pBuffer, static_cast<uint64_t>(m_nLength), m_nPacketNum);
  zelvar::PacketRecord record;
  while (walk.Next(&record)) {
    if (record.key == key) {
      if (data != nullptr) *data = m_pBuffer + record.offset + zelvar::kRecordHeaderSize;
      type = record.type;
      length = record.data_length;
      return 0;
    }
  }
  return -1;
}

int CKParam::SetShortInt(short key, short value) {
  char bytes[2];
  EncodeFixed16(bytes, static_cast<uint16_t>(value));
  return PutBuffer(key, zelvar::kTypeShort, bytes, sizeof(bytes));
}

int CKParam::SetInt(short key, int value) {
  char bytes[4];
  EncodeFixed32(bytes, static_cast<uint32_t>(value));
  return PutBuffer(key, zelvar::kTypeInt, bytes, sizeof(bytes));
}

int CKParam::SetLong(short key, long value) {
  char bytes[4];
  EncodeFixed32(bytes, static_cast<uint32_t>(value));  // the low 32 bits
  return PutBuffer(key, zelvar::kTypeLong, bytes, sizeof(bytes));
}

int CKParam::SetBoolean(short key, bool value) {
  const char byte = value ? 1 : 0;
  return PutBuffer(key, zelvar::kTypeBoolean, &byte, 1);
}

int CKParam::SetChar(short key, const char* data, unsigned int length) {
  return PutBuffer(key, zelvar::kTypeBytes, data, length);
}

int CKParam::SetCString(short key, const CString& text) {
  const unsigned int units = static_cast<unsigned int>(text.size() & 0xFFFF);
  if constexpr (std::endian::native == std::endian::little) {
    return PutBuffer(key, zelvar::kTypeText, reinterpret_cast<const char*>(text.data()),
                     units * 2);
  } else {
    std::string bytes(units * 2, '\0');
    for (unsigned int i = 0; i < units; ++i) EncodeFixed16(&bytes[i * 2], text[i]);
    return PutBuffer(key, zelvar::kTypeText, bytes.data(), units * 2);
  }
}

// A received record may carry a width its type never has; reading it at the
// type's width would run past the record or leave bytes unread.
char* CKParam::GetFixedWidth(short key, short type, unsigned int width) {
  char* data;
  short found_type;
  unsigned int length;
  if (GetBuffer(key, &data, found_type, length) != 0 || found_type != type || length != width) {
    return nullptr;
  }
  return data;
}

int CKParam::UpdateShortInt(short key, short value) {
  char* data = GetFixedWidth(key, zelvar::kTypeShort, 2);
  if (data == nullptr) return -1;
  EncodeFixed16(data, static_cast<uint16_t>(value));
  return 0;
}

int CKParam::UpdateInt(short key, int value) {
  char* data = GetFixedWidth(key, zelvar::kTypeInt, 4);
  if (data == nullptr) return -1;
  EncodeFixed32(data, static_cast<uint32_t>(value));
  return 0;
}

int CKParam::GetShortInt(short key, short& value) {
  char* data = GetFixedWidth(key, zelvar::kTypeShort, 2);
  if (data == nullptr) return -1;
  value = DecodeSigned16(data);
  return 0;
}

int CKParam::GetInt(short key, int& value) {
  char* data = GetFixedWidth(key, zelvar::kTypeInt, 4);
  if (data == nullptr) return -1;
  value = DecodeSigned32(data);
  return 0;
}

int CKParam::GetLong(short key, long& value) {
  char* data = GetFixedWidth(key, zelvar::kTypeLong, 4);
  if (data == nullptr) return -1;
  value = DecodeSigned32(data);
  return 0;
}

int CKParam::GetBoolean(short key, bool& value) {
  char* data = GetFixedWidth(key, zelvar::kTypeBoolean, 1);
  if (data == nullptr) return -1;
  value = data[0] != 0;
  return 0;
}

int CKParam::GetRawChar(short key, char* buffer, unsigned short& length) {
  char* data;
  short type;
  unsigned int data_length;
  if (GetBuffer(key, &data, type, data_length) != 0 || type != zelvar::kTypeBytes) {
    return -1;
  }
  length = ByteStringLength(data_length);
  if (buffer != nullptr && length != 0) std::memcpy(buffer, data, length);
  return 0;
}

int CKParam::GetChar(short key, char*& data) {
  data = nullptr;
  unsigned short length = 0;
  return GetChar2(key, data, length);
}

int CKParam::GetChar(short key, char* buffer, unsigned short& length) {
  length = 0;
  return GetRawChar(key, buffer, length);
}

int CKParam::GetChar2(short key, char*& data, unsigned short& length) {
  data = nullptr;
  length = 0;
  char* record_data;
  short type;
  unsigned int data_length;
  if (GetBuffer(key, &record_data, type, data_length) != 0 || type != zelvar::kTypeBytes) {
    return -1;
  }
  const unsigned short n = ByteStringLength(data_length);
  if (n == 0) return 0;
  data = CopyOut(record_data, n);
  if (data == nullptr) return -1;
  length = n;
  return 0;
}

int CKParam::GetCharNF(short key, char*& data, unsigned short& length) {
  length = 0;
  char* record_data;
  short type;
  unsigned int data_length;
  if (GetBuffer(key, &record_data, type, data_length) != 0) return -1;
  // Callers have always seen the pointer set even when the type is wrong;
  // it points inside the record, so that stays safe.
  data = record_data;
  if (type != zelvar::kTypeBytes) return -1;
  length = ByteStringLength(data_length);
  return 0;
}

int CKParam::GetCString(short key, CString& text) {
  char* data;
  short type;
  unsigned int length;
  if (GetBuffer(key, &data, type, length) != 0 || type != zelvar::kTypeText) return -1;
  // An odd last byte is half a code unit and is dropped.
  const unsigned int units = length / 2;
  unsigned int end = 0;
  while (end < units && DecodeFixed16(data + end * 2) != 0) ++end;
  CString result(end, u'\0');
  for (unsigned int i = 0; i < end; ++i) {
    result[i] = static_cast<char16_t>(DecodeFixed16(data + i * 2));
  }
  text = std::move(result);
  return 0;
}

char* CKParam::GetBufferPtr() {
  // The caller may change record headers through the pointer.
  DropIndex(m_pBuffer);
  return m_pBuffer;
}

int CKParam::GetLength() { return m_nLength; }

int CKParam::GetPacketNum() { return m_nPacketNum; }

int CKParam::SetBufferPtr(char* image, int length) {
  // Nothing of the image is read before the header is known to be there.
  if (zelvar::CheckImageHeader(image, length) != zelvar::HeaderFault::kNone) return -1;
  const int32_t record_count = DecodeSigned32(image + zelvar::kRecordCountOffset);
  const uint32_t capacity = DecodeFixed32(image + zelvar::kCapacityOffset);

  char* buffer = m_pBuffer;
  uint32_t size = m_nBufferSize;
  if (capacity > m_nBufferSize) {
    buffer = AllocateBuffer(capacity);
    if (buffer == nullptr) return -1;
    size = capacity;
  }
  // The image may be this packet's own buffer.
  std::memmove(buffer, image, static_cast<size_t>(length));
  if (buffer != m_pBuffer) {
    FreeBuffer(m_pBuffer);
  } else {
    DropIndex(m_pBuffer);
  }
  m_pBuffer = buffer;
  m_nBufferSize = size;
  m_nLength = length;
  m_nPacketNum = record_count;
  return 0;
}

short CKParam::GetPacketCrc() {
  if (m_pBuffer == nullptr || m_nLength <= 0) return 0;
  const int window = m_nLength < zelvar::kCrcWindow ? m_nLength : zelvar::kCrcWindow;
  // Whole blocks only: the last sampled byte stays below the window's end.
  const int blocks = (window + zelvar::kCrcSampleBytes) / zelvar::kCrcStride;
  uint16_t crc = 0;
  for (int block = 0; block < blocks; ++block) {
    crc = zelvar::ExtendCrc16(crc, m_pBuffer + block * zelvar::kCrcStride,
                              zelvar::kCrcSampleBytes);
  }
  return static_cast<short>(crc);
}
