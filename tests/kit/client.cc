// Requests as the host makes them (client.h).

#include "kit/client.h"

#include <cstring>

#include "codec/keys.h"
#include "kit/text.h"
#include "zelvar/zelvar.h"

namespace zelvar::test {

namespace {

uint32_t Read32(const char* at) {
  uint32_t value = 0;
  std::memcpy(&value, at, sizeof value);
  return value;
}

int16_t Read16(const char* at) {
  int16_t value = 0;
  std::memcpy(&value, at, sizeof value);
  return value;
}

int Update(int user, CKParam& packet, int data_id) {
  return PutUserExtraDataFriend(user, data_id, packet.GetBufferPtr(), packet.GetLength());
}

Reply CallRecord(int user, int data_id, CKParam& packet) {
  char* image = nullptr;
  int length = 0;
  const int result = GetQueryExtraDataFriendRecord(user, data_id, packet.GetBufferPtr(),
                                                   packet.GetLength(), &image, &length);
  Reply reply = ReadReply(result, image, image != nullptr ? length : 0);
  reply.handed_out = image != nullptr;
  MyDeletePtr(image);
  return reply;
}

}  // namespace

std::optional<int32_t> Reply::Int(short key) const {
  for (const ReplyRecord& record : records) {
    if (record.key != key) continue;
    if (record.type != 20 || record.data.size() != 4) return std::nullopt;
    return static_cast<int32_t>(Read32(record.data.data()));
  }
  return std::nullopt;
}

std::optional<std::u16string> Reply::Text(short key) const {
  for (const ReplyRecord& record : records) {
    if (record.key != key) continue;
    if (record.type != 40 || record.data.size() % 2 != 0) return std::nullopt;
    std::u16string text(record.data.size() / 2, u'\0');
    std::memcpy(text.data(), record.data.data(), record.data.size());
    return text;
  }
  return std::nullopt;
}

Reply ReadReply(int result, const char* image, int length) {
  Reply reply;
  reply.result = result;
  reply.handed_out = image != nullptr;
  if (image == nullptr) return reply;
  if (length < 12 || Read32(image) != static_cast<uint32_t>(length)) {
    reply.well_formed = false;
    return reply;
  }
  const uint32_t count = Read32(image + 4);
  size_t at = 12;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 8 > static_cast<size_t>(length)) {
      reply.well_formed = false;
      return reply;
    }
    const uint32_t data_length = Read32(image + at);
    if (data_length > static_cast<size_t>(length) - at - 8) {
      reply.well_formed = false;
      return reply;
    }
    reply.records.push_back(
        {Read16(image + at + 4), Read16(image + at + 6), std::string(image + at + 8, data_length)});
    at += 8 + data_length;
  }
  reply.well_formed = at == static_cast<size_t>(length);
  return reply;
}

int SendMessage(int from, int to, const std::u16string& content) {
  CKParam packet = codec::MessageRequest(to, content);
  return Update(from, packet, codec::kSendMessage);
}

int EndFriendship(int user, int former_friend) {
  CKParam packet = codec::EndFriendshipRequest(former_friend);
  return Update(user, packet, codec::kEndFriendship);
}

int RecordTrade(int user, int partner, int play_id) {
  CKParam packet = codec::TradeRequest(partner, play_id);
  return Update(user, packet, codec::kRecordTrade);
}

int StoreInvitations(int user, const std::vector<Invitation>& rows) {
  CKParam packet = codec::InvitationsRequest(rows, false);
  return Update(user, packet, codec::kStoreInvitations);
}

Reply QueryFriendData(int user, unsigned kind) {
  char* image = nullptr;
  int length = 0;
  const int result = GetUserExtraDataFriend(user, kind, &image, &length);
  Reply reply = ReadReply(result, image, image != nullptr ? length : 0);
  MyDeletePtr(image);
  return reply;
}

Reply LookUpAccount(int user, const std::u16string& name) {
  CKParam packet = codec::AccountRequest(name);
  return CallRecord(user, codec::kAccountLookup, packet);
}

Reply SendGoods(int user, const std::u16string& account, const std::vector<GoodsEntry>& entries) {
  CKParam packet = codec::SendGoodsRequest(account, entries);
  return CallRecord(user, codec::kGoodsSending, packet);
}

std::u16string AsReceived(const std::u16string& sent) {
  return kit::Utf16Of(kit::Utf8Of(sent.substr(0, sent.find(u'\0'))));
}

}  // namespace zelvar::test
