// A reply packet under construction and its hand-out to the host: the
// image copied into a new char array of exactly its length, which the host
// gives back through MyDeletePtr. Every request that answers with a packet
// hands it out here.
//
// A ReplyPacket is the calling request's own: one thread at a time.
#ifndef ZELVAR_CODEC_REPLY_PACKET_H_
#define ZELVAR_CODEC_REPLY_PACKET_H_

#include <cstdint>
#include <memory>
#include <string>

#include "zelvar/kparam.h"

namespace zelvar::codec {

// Entries go in in the order they are set. An entry the packet refuses is
// absent from the reply.
class ReplyPacket {
 public:
  // An empty reply.
  ReplyPacket() = default;
  // A reply of GetUserExtraDataFriend: key 1 holds `kind`.
  explicit ReplyPacket(unsigned kind);
  ReplyPacket(const ReplyPacket&) = delete;
  ReplyPacket& operator=(const ReplyPacket&) = delete;

  void SetInt(short key, int32_t value);
  void SetText(short key, const std::u16string& text);

  // A copy of the packet's image in a new char array of exactly its length
  // (the host frees it with MyDeletePtr). Null when the packet has no image.
  std::unique_ptr<char[]> TakeImage(int* length);

 private:
  CKParam packet_;
};

// Gives `image` to the host: stores it and its length through the out
// pointers and answers 0; -1 with nothing stored when `image` is null.
// Both pointers must be valid.
int HandOut(std::unique_ptr<char[]> image, int length, char** reply, int* reply_length);

// Builds the packet's image and hands it out at once.
int HandOut(ReplyPacket& packet, char** reply, int* reply_length);

}  // namespace zelvar::codec

#endif  // ZELVAR_CODEC_REPLY_PACKET_H_
