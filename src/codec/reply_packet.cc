// Reply packets and their hand-out.
#include "codec/reply_packet.h"

#include <cstring>
#include <utility>

#include "codec/keys.h"

namespace zelvar::codec {

ReplyPacket::ReplyPacket(unsigned kind) { packet_.SetInt(kReplyKindKey, static_cast<int>(kind)); }

void ReplyPacket::SetInt(short key, int32_t value) { packet_.SetInt(key, value); }

void ReplyPacket::SetText(short key, const std::u16string& text) { packet_.SetCString(key, text); }

std::unique_ptr<char[]> ReplyPacket::TakeImage(int* length) {
  const int size = packet_.GetLength();
  const char* bytes = packet_.GetBufferPtr();
  if (size <= 0 || bytes == nullptr) return nullptr;
  std::unique_ptr<char[]> image(new char[size]);
  std::memcpy(image.get(), bytes, static_cast<size_t>(size));
  *length = size;
  return image;
}

int HandOut(std::unique_ptr<char[]> image, int length, char** reply, int* reply_length) {
  if (image == nullptr) return -1;
  *reply_length = length;
  *reply = image.release();
  return 0;
}

int HandOut(ReplyPacket& packet, char** reply, int* reply_length) {
  int length = 0;
  std::unique_ptr<char[]> image = packet.TakeImage(&length);
  return HandOut(std::move(image), length, reply, reply_length);
}

}  // namespace zelvar::codec
