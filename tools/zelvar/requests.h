// The request packets of every command the module serves, built with the
// CKParam class under the keys the module reads, and the request codes.
//
// Pure functions; safe on any thread.
#ifndef ZELVAR_TOOLS_ZELVAR_REQUESTS_H_
#define ZELVAR_TOOLS_ZELVAR_REQUESTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "zelvar/kparam.h"

namespace zelvar::cli {

// PutUserExtraDataFriend commands (key 1 of the packet).
inline constexpr int kSendMessage = 1500;
inline constexpr int kEndFriendship = 1505;
inline constexpr int kRecordTrade = 1510;
inline constexpr int kStoreInvitations = 1550;
// GetUserExtraDataFriend kinds.
inline constexpr unsigned kTradeHistory = 1605;
inline constexpr unsigned kFriendList = 1610;
inline constexpr unsigned kTradeItems = 1615;
inline constexpr unsigned kUnreadMessages = 1620;
// GetQueryExtraDataFriendRecord request codes.
inline constexpr int kSendGoods = 1560;
inline constexpr int kAccountLookup = 1660;

struct InviteRow {
  std::u16string code;
  int32_t state = 0;
  std::u16string email;
  int32_t group = 0;
  std::u16string note;
  int32_t zone = 0;
  int32_t reply = 0;
};

// One entry of a goods sending: GOODS:AMOUNT:TYPE[:A1:A2].
struct GoodsEntry {
  int32_t goods_id = 0;
  std::u16string amount;  // the module's text: 7天, 30天, 永久, 1个, 2个, 6个
  int32_t type = 0;
  int32_t amount1 = 0;
  int32_t amount2 = 0;
};

// Quota goods (granted as a count) have types 3000 to 3999.
bool IsQuotaType(int32_t type);

CKParam MessageRequest(int32_t recipient, const std::u16string& text);
CKParam EndFriendshipRequest(int32_t friend_id);
CKParam TradeRequest(int32_t other, int32_t play_id);
CKParam InvitationsRequest(const std::vector<InviteRow>& rows, bool log_sql);
CKParam AccountRequest(const std::u16string& user_name);
CKParam SendGoodsRequest(const std::u16string& account, const std::vector<GoodsEntry>& entries);

// Packet keys are 16 bits: row keys computed in 32-bit arithmetic keep
// their low 16 bits, on the module's side as on ours.
inline short Key(int32_t key) { return static_cast<short>(key); }

}  // namespace zelvar::cli

#endif  // ZELVAR_TOOLS_ZELVAR_REQUESTS_H_
