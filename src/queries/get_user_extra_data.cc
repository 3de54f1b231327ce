// GetUserExtraDataFriend: the read entry of the social data of one user.
// It picks the query kind's procedure; nothing thrown inside leaves it.

#include <exception>

#include "codec/keys.h"
#include "db/deadline.h"
#include "queries/kinds.h"
#include "zelvar/zelvar.h"

namespace zelvar::queries {
namespace {

int Dispatch(int user_id, unsigned kind, char** reply, int* reply_length) {
  switch (kind) {
    case codec::kTradeHistoryKind:
    case codec::kFriendListKind:
    case codec::kTradeItemsKind:
    case codec::kUnreadMessagesKind:
      break;
    case codec::kReservedKind:  // accepted, but answered by nothing
    default:
      return -1;
  }
  // Without both out pointers no reply could be handed over; refusing
  // before any statement runs also keeps unread messages from being marked
  // read undelivered.
  if (reply == nullptr || reply_length == nullptr) return -1;
  switch (kind) {
    case codec::kTradeHistoryKind:
      return QueryTradeHistory(user_id, reply, reply_length);
    case codec::kFriendListKind:
      return QueryFriendList(user_id, reply, reply_length);
    case codec::kTradeItemsKind:
      return QueryTradeItems(user_id, reply, reply_length);
    default:
      return QueryUnreadMessages(user_id, reply, reply_length);
  }
}

}  // namespace
}  // namespace zelvar::queries

extern "C" int GetUserExtraDataFriend(int nUserId, unsigned int kind, char** reply,
                                      int* replyLength) {
  try {
    zelvar::db::RequestScope request;
    return zelvar::queries::Dispatch(nUserId, kind, reply, replyLength);
  } catch (...) {
    // The procedures store through the out pointers only as their last
    // step, so a failure caught here has handed nothing out.
    return -1;
  }
}
