// The request codec that hosts build and read packets with: its keys where
// they wrap at 16 bits, and requests read back as the module reads them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/keys.h"
#include "codec/replies.h"
#include "codec/requests.h"

namespace zelvar::codec {
namespace {

TEST(CodecKeys, LateRowsWrapAsTheModuleWritesThem) {
  EXPECT_EQ(TradeKey(327, kTradePlayerField), 32700);
  EXPECT_EQ(TradeKey(328, kTradePlayerField), -32736);
  EXPECT_EQ(FriendKey(1, kFriendIdField), -10011);
  EXPECT_EQ(FriendKey(2276, kFriendLoginField), -32765);
  EXPECT_EQ(FriendKey(2277, kFriendIdField), 32765);
  EXPECT_EQ(FriendKey(2277, kFriendLoginField), 32761);
  EXPECT_EQ(ItemKey(327), -32700);
  EXPECT_EQ(ItemKey(328), 32736);
  EXPECT_EQ(MessageKey(1, kMessageIdField), 10101);
  EXPECT_EQ(MessageKey(228, kMessageIdField), -32735);
  EXPECT_EQ(MessageKey(228, kMessageTimeField), -32732);
  EXPECT_EQ(InvitationKey(328, kInviteCodeField), -32735);
  EXPECT_EQ(GoodsEntryKey(3, kGoodsIdField), -25526);
  // The last distinct rows: one more repeats the first.
  EXPECT_EQ(InvitationKey(kMaxInvitationRows + 1, kInviteCodeField), InvitationKey(1, kInviteCodeField));
  EXPECT_EQ(GoodsEntryKey(kMaxGoodsEntries, kGoodsIdField), GoodsEntryKey(0, kGoodsIdField));
}

TEST(CodecRequests, EntriesPastTheWrapReadBackWhole) {
  std::vector<GoodsEntry> entries;
  for (int i = 0; i < 6; ++i) entries.push_back({1000 + i, kSevenDays, i, i * 2, i * 3});
  CKParam packet = SendGoodsRequest(u"mira", entries);
  for (int i = 0; i < 6; ++i) {
    GoodsEntry read;
    ASSERT_TRUE(ReadGoodsEntry(packet, i, &read)) << i;
    EXPECT_EQ(read.goods_id, 1000 + i);
    EXPECT_EQ(read.amount, kSevenDays);
    EXPECT_EQ(read.amount2, i * 3);
  }
  std::vector<Invitation> rows(330);
  rows[328].invite_code = u"R329";
  CKParam invitations = InvitationsRequest(rows, true);
  Invitation row;
  ASSERT_TRUE(ReadInvitation(invitations, 329, &row));
  EXPECT_EQ(row.invite_code, u"R329");
  EXPECT_FALSE(ReadInvitation(invitations, 331, &row));
}

TEST(CodecReplies, FriendListWithAGapReadsEveryCountedFriend) {
  CKParam reply;
  reply.SetInt(kReplyKindKey, kFriendListKind);
  for (int position : {1, 3}) {
    reply.SetInt(FriendKey(position, kFriendIdField), 40 + position);
    reply.SetCString(FriendKey(position, kFriendNickField), u"n");
    reply.SetInt(FriendKey(position, kFriendSexField), 1);
    reply.SetCString(FriendKey(position, kFriendFaceField), u"f");
    reply.SetInt(FriendKey(position, kFriendLoginField), 0);
  }
  reply.SetInt(kFriendCountKey, 2);
  reply.SetInt(kServerTimeKey, 7);
  std::vector<Friend> friends;
  int32_t server_time = 0;
  std::string error;
  ASSERT_TRUE(ReadFriends(reply, &friends, &server_time, &error)) << error;
  ASSERT_EQ(friends.size(), 2u);
  EXPECT_EQ(friends[1].position, 3);
  EXPECT_EQ(friends[1].id, 43);
  EXPECT_EQ(server_time, 7);
}

}  // namespace
}  // namespace zelvar::codec
