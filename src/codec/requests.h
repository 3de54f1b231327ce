// The request packets of every request the module serves, as a host
// builds them: one builder per request, arguments in, packet out, under
// the keys of keys.h; and the readers of the rows that a request carries
// many of, as the module reads them.
//
// Pure functions; safe on any thread.
#ifndef ZELVAR_CODEC_REQUESTS_H_
#define ZELVAR_CODEC_REQUESTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "zelvar/kparam.h"

namespace zelvar::codec {

// One row of an invitation request (1550), in the order of its keys.
struct Invitation {
  std::u16string invite_code;
  int32_t state = 0;
  std::u16string invited_email;
  int32_t group = 0;
  std::u16string note;  // empty: the module stores its placeholder note
  int32_t zone_id = 0;
  int32_t reply = 0;
};

// One entry of a goods sending (1560), in the order of its keys.
struct GoodsEntry {
  int32_t goods_id = 0;
  std::u16string amount;  // kSevenDays ... kSixCount of keys.h
  int32_t type = 0;       // IsQuotaType: a count, else a duration
  int32_t amount1 = 0;    // the two amounts the reply sums; 0 or more
  int32_t amount2 = 0;
};

// PutUserExtraDataFriend: key 1 holds the command.
CKParam MessageRequest(int32_t recipient, const std::u16string& content);  // 1500
CKParam EndFriendshipRequest(int32_t former_friend);                       // 1505
CKParam TradeRequest(int32_t partner, int32_t play_id);                    // 1510
// 1550 with rows 1..n; `log_sql` adds key -300 = true.
CKParam InvitationsRequest(const std::vector<Invitation>& rows, bool log_sql);

// GetQueryExtraDataFriendRecord.
CKParam AccountRequest(const std::u16string& user_name);                   // 1660
// A non-empty `order_id` goes at kOrderIdKey.
CKParam SendGoodsRequest(const std::u16string& account,
                         const std::vector<GoodsEntry>& entries,
                         const std::u16string& order_id = u"");          // 1560

// Entry `entry` (from 0) of a goods sending, written at its keys.
void SetGoodsEntry(CKParam& packet, int entry, const GoodsEntry& goods);

// Row `row` (from 1) of an invitation request, written at its keys.
void SetInvitation(CKParam& packet, int row, const Invitation& invitation);

// Read back in the order of their keys; false at the first key that is
// missing or of another type, with the fields before it read.
bool ReadInvitation(CKParam& packet, int row, Invitation* invitation);
bool ReadGoodsEntry(CKParam& packet, int entry, GoodsEntry* goods);

}  // namespace zelvar::codec

#endif  // ZELVAR_CODEC_REQUESTS_H_
