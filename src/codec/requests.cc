// Request packets of the module's requests.
#include "codec/requests.h"

#include "codec/keys.h"

namespace zelvar::codec {

CKParam MessageRequest(int32_t recipient, const std::u16string& content) {
  CKParam packet;
  packet.SetInt(kCommandKey, kSendMessage);
  packet.SetInt(kMessageRecipientKey, recipient);
  packet.SetCString(kMessageContentKey, content);
  return packet;
}

CKParam EndFriendshipRequest(int32_t former_friend) {
  CKParam packet;
  packet.SetInt(kCommandKey, kEndFriendship);
  packet.SetInt(kFormerFriendKey, former_friend);
  return packet;
}

CKParam TradeRequest(int32_t partner, int32_t play_id) {
  CKParam packet;
  packet.SetInt(kCommandKey, kRecordTrade);
  packet.SetInt(kTradePartnerKey, partner);
  packet.SetInt(kTradePlayIdKey, play_id);
  return packet;
}

void SetInvitation(CKParam& packet, int row, const Invitation& invitation) {
  packet.SetCString(InvitationKey(row, kInviteCodeField), invitation.invite_code);
  packet.SetInt(InvitationKey(row, kInviteStateField), invitation.state);
  packet.SetCString(InvitationKey(row, kInvitedEmailField), invitation.invited_email);
  packet.SetInt(InvitationKey(row, kInviteGroupField), invitation.group);
  packet.SetCString(InvitationKey(row, kInviteNoteField), invitation.note);
  packet.SetInt(InvitationKey(row, kInviteZoneField), invitation.zone_id);
  packet.SetInt(InvitationKey(row, kInviteReplyField), invitation.reply);
}

bool ReadInvitation(CKParam& packet, int row, Invitation* invitation) {
  return packet.GetCString(InvitationKey(row, kInviteCodeField), invitation->invite_code) == 0 &&
         packet.GetInt(InvitationKey(row, kInviteStateField), invitation->state) == 0 &&
         packet.GetCString(InvitationKey(row, kInvitedEmailField), invitation->invited_email) == 0 &&
         packet.GetInt(InvitationKey(row, kInviteGroupField), invitation->group) == 0 &&
         packet.GetCString(InvitationKey(row, kInviteNoteField), invitation->note) == 0 &&
         packet.GetInt(InvitationKey(row, kInviteZoneField), invitation->zone_id) == 0 &&
         packet.GetInt(InvitationKey(row, kInviteReplyField), invitation->reply) == 0;
}

CKParam InvitationsRequest(const std::vector<Invitation>& rows, bool log_sql) {
  CKParam packet;
  packet.SetInt(kCommandKey, kStoreInvitations);
  packet.SetInt(kInvitationCountKey, static_cast<int>(rows.size()));
  for (size_t i = 0; i < rows.size(); ++i) SetInvitation(packet, static_cast<int>(i + 1), rows[i]);
  if (log_sql) packet.SetBoolean(kInvitationLogKey, true);
  return packet;
}

CKParam AccountRequest(const std::u16string& user_name) {
  CKParam packet;
  packet.SetCString(kLookupNameKey, user_name);
  return packet;
}

void SetGoodsEntry(CKParam& packet, int entry, const GoodsEntry& goods) {
  packet.SetInt(GoodsEntryKey(entry, kGoodsIdField), goods.goods_id);
  packet.SetCString(GoodsEntryKey(entry, kGoodsAmountField), goods.amount);
  packet.SetInt(GoodsEntryKey(entry, kGoodsTypeField), goods.type);
  packet.SetInt(GoodsEntryKey(entry, kGoodsFirstAmountField), goods.amount1);
  packet.SetInt(GoodsEntryKey(entry, kGoodsSecondAmountField), goods.amount2);
}

bool ReadGoodsEntry(CKParam& packet, int entry, GoodsEntry* goods) {
  return packet.GetInt(GoodsEntryKey(entry, kGoodsIdField), goods->goods_id) == 0 &&
         packet.GetCString(GoodsEntryKey(entry, kGoodsAmountField), goods->amount) == 0 &&
         packet.GetInt(GoodsEntryKey(entry, kGoodsTypeField), goods->type) == 0 &&
         packet.GetInt(GoodsEntryKey(entry, kGoodsFirstAmountField), goods->amount1) == 0 &&
         packet.GetInt(GoodsEntryKey(entry, kGoodsSecondAmountField), goods->amount2) == 0;
}

CKParam SendGoodsRequest(const std::u16string& account, const std::vector<GoodsEntry>& entries,
                         const std::u16string& order_id) {
  CKParam packet;
  packet.SetInt(kSendCountKey, static_cast<int>(entries.size()));
  packet.SetCString(kSendAccountKey, account);
  if (!order_id.empty()) packet.SetCString(kOrderIdKey, order_id);
  for (size_t i = 0; i < entries.size(); ++i) SetGoodsEntry(packet, static_cast<int>(i), entries[i]);
  return packet;
}

}  // namespace zelvar::codec
