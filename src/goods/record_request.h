// The two requests of GetQueryExtraDataFriendRecord, account lookup (1660)
// and goods sending (1560), and what they share: the reply, which carries
// the request code first and the outcome last, and the lines to the host's
// logger.
//
// A RecordReply is the calling request's own; the logger may be used from
// any thread.
#ifndef ZELVAR_GOODS_RECORD_REQUEST_H_
#define ZELVAR_GOODS_RECORD_REQUEST_H_

#include <initializer_list>
#include <string_view>

#include "codec/reply_packet.h"
#include "util/text_format.h"
#include "zelvar/kparam.h"

namespace zelvar::goods {

// Formats a line and hands it to the host's logger whole, so the logger's
// own format conventions never see the text. A line that can't be made is
// dropped: logging never changes a request's outcome.
void LogLine(std::u16string_view format, std::initializer_list<FormatArg> args) noexcept;

// The request's reply and where it goes: `out` and `out_length` are the
// host's, either may be null (then nothing is handed out).
class RecordReply {
 public:
  RecordReply(int data_id, int user_id, char** out, int* out_length);
  RecordReply(const RecordReply&) = delete;
  RecordReply& operator=(const RecordReply&) = delete;

  codec::ReplyPacket& packet() { return packet_; }

  // Hands out the reply with result -1, whatever *out held.
  void Fail();

  // Hands out the reply with result 0 when *out is null on entry, and
  // answers true. When *out holds a pointer already, no success copy is
  // made (none could reach the host) and the error reply follows on the
  // same packet, which then carries result 0 and after it -1.
  bool Succeed();

 private:
  void HandOut();

  codec::ReplyPacket packet_;
  int data_id_;
  int user_id_;
  char** out_;
  int* out_length_;
};

// 1660: the account named at key 100; its id, nick, sex and level go into
// the reply.
void LookUpAccount(CKParam& request, RecordReply& reply);

// 1560: the entries of the request granted to the account named at key
// 110, one by one; the reply counts those granted.
void SendGoods(CKParam& request, int user_id, RecordReply& reply);

}  // namespace zelvar::goods

#endif  // ZELVAR_GOODS_RECORD_REQUEST_H_
