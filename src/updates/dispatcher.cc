// Loading and dispatch of update requests.

#include "updates/dispatcher.h"

#include "codec/keys.h"
#include "updates/commands.h"
#include "zelvar/kparam.h"

namespace zelvar::updates {
int DispatchUpdate(int user_id, int data_id, char* image, int length) {
  // Checked here so that not a byte of a short image is read.
  if (image == nullptr || length < kPacketHeaderBytes) return -1;

  CKParam packet;
  if (packet.SetBufferPtr(image, length) != 0) return -1;

  int command = 0;
  if (packet.GetInt(codec::kCommandKey, command) != 0) return -1;

  switch (command) {
    case codec::kSendMessage:
      return SendFriendMessage(user_id, packet);
    case codec::kEndFriendship:
      return EndFriendship(user_id, packet);
    case codec::kRecordTrade:
      return RecordTrade(user_id, packet);
    case codec::kStoreInvitations:
      return StoreInvitations(user_id, data_id, packet);
    default:
      return -1;
  }
}

}  // namespace zelvar::updates
