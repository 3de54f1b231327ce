// CKParam: the parameter packet that host and module exchange.
//
// A packet is a list of typed records, each tagged with a 16-bit key, kept
// in one growable byte buffer that starts with a 12-byte header. The first
// GetLength() bytes at GetBufferPtr() are the wire image; a receiver loads
// them with SetBufferPtr and reads the records by key. Both sides of the
// boundary use this class, so its layout and results are a contract.
//
// A packet has no lock: one thread at a time.
#ifndef ZELVAR_KPARAM_H_
#define ZELVAR_KPARAM_H_

#include <string>

#if defined(ZELVAR_BUILDING_LIBRARY)
#define ZELVAR_EXPORT __attribute__((visibility("default")))
#else
#define ZELVAR_EXPORT
#endif

// Wide text of packets and of the module: UTF-16 code units.
using CString = std::u16string;

class ZELVAR_EXPORT CKParam {
 public:
  // An empty packet: a new 4096-byte buffer, 12 bytes in use, no record.
  CKParam();
  // Copies hold their own buffer.
  CKParam(const CKParam& other);
  CKParam& operator=(const CKParam& other);
  virtual ~CKParam();

  // Gives a released packet a new empty 4096-byte buffer. A caller that
  // holds a buffer releases it first.
  void Create();
  // Frees the buffer and zeroes the state; a second call does nothing.
  void Release();

  // Writers append one record; 0, or -1 when the buffer may not grow.
  int SetShortInt(short key, short value);
  int SetInt(short key, int value);
  // Stores the low 32 bits of `value` (type 60, 4 bytes).
  int SetLong(short key, long value);
  int SetBoolean(short key, bool value);
  int SetChar(short key, const char* data, unsigned int length);
  // Stores the first (length mod 65536) code units, without terminator.
  int SetCString(short key, const CString& text);

  // Overwrite the first record with `key` in place; -1 when it is absent or
  // of another type or width.
  int UpdateShortInt(short key, short value);
  int UpdateInt(short key, int value);

  // Fixed-width readers. -1 (value untouched) when the first record with
  // `key` is absent, of another type, or not of the type's width.
  int GetShortInt(short key, short& value);
  int GetInt(short key, int& value);
  // Reads the 32-bit value back sign-extended.
  int GetLong(short key, long& value);
  int GetBoolean(short key, bool& value);

  // Byte-string readers (type 30); n is the data length mod 65536.
  // `data` receives a new[] array of n bytes owned by the caller (null for
  // n = 0).
  int GetChar(short key, char*& data);
  // `buffer` must hold n bytes; null only reports the length.
  int GetChar(short key, char* buffer, unsigned short& length);
  int GetChar2(short key, char*& data, unsigned short& length);
  // `data` points into this packet's buffer, valid until the buffer changes.
  int GetCharNF(short key, char*& data, unsigned short& length);

  // Replaces `text` with the record's code units up to the first zero unit.
  int GetCString(short key, CString& text);

  // The packet's own buffer (the header first); null when released.
  char* GetBufferPtr();
  int GetLength();
  int GetPacketNum();
  // Loads a received image. -1, packet unchanged, for a null image, one
  // shorter than the header, or a header that disagrees with `length` or
  // declares an impossible capacity. Reads no byte past `length`.
  int SetBufferPtr(char* image, int length);
  // CRC-16/ARC over a sample of the first 500 bytes.
  short GetPacketCrc();

 private:
  int PutBuffer(short key, short type, const char* data, unsigned int length);
  int GetBuffer(short key, char** data, short& type, unsigned int& length);
  int GetRawChar(short key, char* buffer, unsigned short& length);
  // The data of the first record with `key` when it is a fixed-width value
  // of `type` and `width` bytes; null otherwise.
  char* GetFixedWidth(short key, short type, unsigned int width);

  char* m_pBuffer;
  int m_nLength;
  int m_nPacketNum;
  unsigned int m_nBufferSize;
};

#endif  // ZELVAR_KPARAM_H_
