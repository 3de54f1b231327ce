// The four update commands of PutUserExtraDataFriend, each reading its
// parameters from the request packet (codec/keys.h) and answering 0 or -1.
//
// Thread-safe: each call works on its own packet and its own statements.
#ifndef ZELVAR_UPDATES_COMMANDS_H_
#define ZELVAR_UPDATES_COMMANDS_H_

#include "zelvar/kparam.h"

namespace zelvar::updates {

// 1500: key 200 the recipient (int), key 201 the message (text). Stores
// the message unread when the two users are friends.
int SendFriendMessage(int user_id, CKParam& packet);

// 1505: key 100 the friend (int). Removes the friendship rows and the
// trades between the two users, both or neither; 0 also when there was no
// friendship.
int EndFriendship(int user_id, CKParam& packet);

// 1510: key 300 the other party (int), key 301 the play id (int). Records
// a trade with a duration of 10 when the two users are friends.
int RecordTrade(int user_id, CKParam& packet);

// 1550: `data_id` must be 1550. Key -100 the row count (int, required),
// rows i = 1..n at keys i*100+1..7 (at most
// codec::kMaxInvitationRows), key -300 (bool) asks for the SQL log.
// Incomplete rows are skipped and failed inserts ignored: 0 once the
// request is accepted.
int StoreInvitations(int user_id, int data_id, CKParam& packet);

}  // namespace zelvar::updates

#endif  // ZELVAR_UPDATES_COMMANDS_H_
