// Request packets of the module's commands.
#include "tools/zelvar/requests.h"

namespace zelvar::cli {

bool IsQuotaType(int32_t type) { return type >= 3000 && type <= 3999; }

CKParam MessageRequest(int32_t recipient, const std::u16string& text) {
  CKParam packet;
  packet.SetInt(1, kSendMessage);
  packet.SetInt(200, recipient);
  packet.SetCString(201, text);
  return packet;
}

CKParam EndFriendshipRequest(int32_t friend_id) {
  CKParam packet;
  packet.SetInt(1, kEndFriendship);
  packet.SetInt(100, friend_id);
  return packet;
}

CKParam TradeRequest(int32_t other, int32_t play_id) {
  CKParam packet;
  packet.SetInt(1, kRecordTrade);
  packet.SetInt(300, other);
  packet.SetInt(301, play_id);
  return packet;
}

CKParam InvitationsRequest(const std::vector<InviteRow>& rows, bool log_sql) {
  CKParam packet;
  packet.SetInt(1, kStoreInvitations);
  packet.SetInt(-100, static_cast<int>(rows.size()));
  for (size_t r = 0; r < rows.size(); ++r) {
    const InviteRow& row = rows[r];
    const int32_t base = static_cast<int32_t>(r + 1) * 100;
    packet.SetCString(Key(base + 1), row.code);
    packet.SetInt(Key(base + 2), row.state);
    packet.SetCString(Key(base + 3), row.email);
    packet.SetInt(Key(base + 4), row.group);
    packet.SetCString(Key(base + 5), row.note);
    packet.SetInt(Key(base + 6), row.zone);
    packet.SetInt(Key(base + 7), row.reply);
  }
  if (log_sql) packet.SetBoolean(-300, true);
  return packet;
}

CKParam AccountRequest(const std::u16string& user_name) {
  CKParam packet;
  packet.SetCString(100, user_name);
  return packet;
}

CKParam SendGoodsRequest(const std::u16string& account, const std::vector<GoodsEntry>& entries) {
  CKParam packet;
  packet.SetInt(100, static_cast<int>(entries.size()));
  packet.SetCString(110, account);
  for (size_t i = 0; i < entries.size(); ++i) {
    const GoodsEntry& entry = entries[i];
    const int32_t base = static_cast<int32_t>(i) * 10000;
    packet.SetInt(Key(base + 10010), entry.goods_id);
    packet.SetCString(Key(base + 10020), entry.amount);
    packet.SetInt(Key(base + 10030), entry.type);
    packet.SetInt(Key(base + 10040), entry.amount1);
    packet.SetInt(Key(base + 10050), entry.amount2);
  }
  return packet;
}

}  // namespace zelvar::cli
