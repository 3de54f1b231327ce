// The request codes and packet keys of the three request functions, on
// both sides of the boundary: the handlers read and write these keys, and
// a host (the zelvar tool, the tests, the benchmarks) builds and reads its
// packets with the same definitions.
//
// Keys are 16-bit signed. Keys that number rows or entries are computed in
// wide arithmetic and the packet keeps their low 16 bits (PacketKey), so
// late rows wrap into other keys alike on both sides.
//
// Constants and pure functions only; safe on any thread.
#ifndef ZELVAR_CODEC_KEYS_H_
#define ZELVAR_CODEC_KEYS_H_

#include <cstdint>

namespace zelvar::codec {

// The key a packet stores for the wide key `key`: its low 16 bits.
constexpr short PacketKey(int64_t key) {
  return static_cast<short>(static_cast<uint16_t>(static_cast<uint64_t>(key)));
}

// PutUserExtraDataFriend -------------------------------------------------
//
//   key            type  command  meaning
//   1              int   all      the command
//   200            int   1500     the message's recipient
//   201            text  1500     the message
//   100            int   1505     the friend to remove
//   300            int   1510     the other party of the trade
//   301            int   1510     the play id
//   -100           int   1550     the number of invitation rows n
//   i*100+1..7     ...   1550     the fields of row i = 1..n
//   -300           bool  1550     true: the rows' statements go to the SQL log

inline constexpr int kSendMessage = 1500;
inline constexpr int kEndFriendship = 1505;
inline constexpr int kRecordTrade = 1510;
inline constexpr int kStoreInvitations = 1550;

inline constexpr short kCommandKey = 1;
inline constexpr short kMessageRecipientKey = 200;
inline constexpr short kMessageContentKey = 201;
inline constexpr short kFormerFriendKey = 100;
inline constexpr short kTradePartnerKey = 300;
inline constexpr short kTradePlayIdKey = 301;
inline constexpr short kInvitationCountKey = -100;
inline constexpr short kInvitationLogKey = -300;

// Fields k of invitation row i, at key i*100+k.
inline constexpr int kInviteCodeField = 1;      // text
inline constexpr int kInviteStateField = 2;     // int
inline constexpr int kInvitedEmailField = 3;    // text
inline constexpr int kInviteGroupField = 4;     // int
inline constexpr int kInviteNoteField = 5;      // text
inline constexpr int kInviteZoneField = 6;      // int
inline constexpr int kInviteReplyField = 7;     // int

// The most rows one invitation request can carry: row 16,385 has the keys
// of row 1 again.
inline constexpr int kMaxInvitationRows = 16384;

constexpr short InvitationKey(int64_t row, int field) { return PacketKey(row * 100 + field); }

// GetUserExtraDataFriend ---------------------------------------------------
//
// Every reply holds key 1 = the kind, the rows (row r counted from 1), then
// its closing entries:
//
//   kind  rows                                     closing
//   1605  100r+0 player, +1 other party,           10 count (-1 for none)
//         +2 play id, +3 time, +4 trade id
//   1610  -(10000+10i+1) id, +2 nick (text),       -10000 count,
//         +3 sex, +4 face (text), +5 logged in     -9999 server time
//   1615  -100k one text per item                  -10 count
//   1620  10000+100m+1 id, +2 sender,              10000 count
//         +3 text, +4 time
//
// Times are the low 32 bits of seconds since 1970.

inline constexpr unsigned kTradeHistoryKind = 1605;
inline constexpr unsigned kFriendListKind = 1610;
inline constexpr unsigned kTradeItemsKind = 1615;
inline constexpr unsigned kUnreadMessagesKind = 1620;
// Accepted by the module, answered by nothing.
inline constexpr unsigned kReservedKind = 1660;

inline constexpr short kReplyKindKey = 1;

inline constexpr short kTradeCountKey = 10;
inline constexpr int kTradePlayerField = 0;
inline constexpr int kTradeOtherField = 1;
inline constexpr int kTradePlayIdField = 2;
inline constexpr int kTradeTimeField = 3;
inline constexpr int kTradeIdField = 4;
constexpr short TradeKey(int64_t row, int field) { return PacketKey(row * 100 + field); }

inline constexpr short kFriendCountKey = -10000;
inline constexpr short kServerTimeKey = -9999;
inline constexpr int kFriendIdField = 1;
inline constexpr int kFriendNickField = 2;
inline constexpr int kFriendSexField = 3;
inline constexpr int kFriendFaceField = 4;
inline constexpr int kFriendLoginField = 5;
constexpr short FriendKey(int64_t position, int field) {
  return PacketKey(-(10000 + 10 * position + field));
}

inline constexpr short kItemCountKey = -10;
constexpr short ItemKey(int64_t item) { return PacketKey(-100 * item); }

inline constexpr short kMessageCountKey = 10000;
inline constexpr int kMessageIdField = 1;
inline constexpr int kMessageSenderField = 2;
inline constexpr int kMessageContentField = 3;
inline constexpr int kMessageTimeField = 4;
constexpr short MessageKey(int64_t message, int field) {
  return PacketKey(10000 + 100 * message + field);
}

// GetQueryExtraDataFriendRecord --------------------------------------------
//
//   request 1660: 100 the user name (text)
//   request 1560: 100 entries n (int), 110 the receiving account (text);
//                 entry i = 0..n-1 at 10000i + 10010 goods id, +10020 amount
//                 (text), +10030 goods type, +10040 first amount, +10050
//                 second amount (ints)
//   reply:        21 the request code first, 0 the result (0 or -1) last;
//                 1660: 50 id, 100 nick (text), 200 sex, 300 level;
//                 1560: 100 granted, 200 and 300 the sums of the granted
//                 entries' first and second amounts; with an order id
//                 (111), 400 whether the order had been seen before

inline constexpr int kAccountLookup = 1660;
inline constexpr int kGoodsSending = 1560;

inline constexpr short kRecordDataIdKey = 21;
inline constexpr short kRecordResultKey = 0;

inline constexpr short kLookupNameKey = 100;
inline constexpr short kAccountIdKey = 50;
inline constexpr short kAccountNickKey = 100;
inline constexpr short kAccountSexKey = 200;
inline constexpr short kAccountLevelKey = 300;

inline constexpr short kSendCountKey = 100;
inline constexpr short kSendAccountKey = 110;
// The host's order id (text, 1 to kMaxOrderIdLength code units): entries
// granted under it are granted once, however often the order comes. Odd,
// so no entry key (10000 * entry + field, cut to 16 bits: always even)
// meets it.
inline constexpr short kOrderIdKey = 111;
inline constexpr int kMaxOrderIdLength = 64;
inline constexpr int kGoodsIdField = 10010;
inline constexpr int kGoodsAmountField = 10020;
inline constexpr int kGoodsTypeField = 10030;
inline constexpr int kGoodsFirstAmountField = 10040;
inline constexpr int kGoodsSecondAmountField = 10050;
constexpr short GoodsEntryKey(int64_t entry, int field) { return PacketKey(10000 * entry + field); }
inline constexpr short kGrantedKey = 100;
inline constexpr short kFirstSumKey = 200;
inline constexpr short kSecondSumKey = 300;
// In the reply to a sending with an order id: 1 when entries of the order
// had been granted before this request (the counts and sums are always
// those of every entry recorded under the order), else 0.
inline constexpr short kOrderRepeatedKey = 400;

// Entry 4096 has the keys of entry 0 again (4096 * 10000 is a whole
// multiple of 65536): no request carries more entries.
inline constexpr int kMaxGoodsEntries = 4096;

// Goods types 3000 to 3999 are quota goods, granted as a count; the others
// are time-limited.
inline constexpr int kQuotaTypeFirst = 3000;
inline constexpr int kQuotaTypeLast = 3999;
constexpr bool IsQuotaType(int type) { return type >= kQuotaTypeFirst && type <= kQuotaTypeLast; }

// The amount texts of an entry: durations of time-limited goods and counts
// of quota goods.
inline constexpr char16_t kSevenDays[] = u"7天";
inline constexpr char16_t kThirtyDays[] = u"30天";
inline constexpr char16_t kForever[] = u"永久";
inline constexpr char16_t kOneCount[] = u"1个";
inline constexpr char16_t kTwoCount[] = u"2个";
inline constexpr char16_t kSixCount[] = u"6个";

}  // namespace zelvar::codec

#endif  // ZELVAR_CODEC_KEYS_H_
