// Kind 1610 (friend list): the ways it can read the database.
//
// Thread-safe.
#ifndef ZELVAR_QUERIES_FRIEND_LIST_H_
#define ZELVAR_QUERIES_FRIEND_LIST_H_

#include <string>

#include "db/backend.h"

namespace zelvar::queries {

// How kind 1610 reads the database: by default one statement joining
// tblFriend to tblUser, falling back to two passes where the join fails;
// the join alone (a failed join fails the request); or always in two
// passes, the profiles as one batch (one round trip on a server that takes
// one) or one statement each. Every way gives the same reply.
enum class FriendListPath { kJoin, kJoinOnly, kTwoPasses, kOneByOne };

// The text of the one statement for `family`, places written %d (the user
// id, three times); null where the family has none. Its columns:
// nFriendId, nUserId, nId, sNick, nSex, sFacePic, bLogined.
const std::string* FriendListJoinText(db::SqlFamily family);

// Chooses the way for the whole process; kJoin by default. For tests and
// benchmarks that compare them.
void SetFriendListPath(FriendListPath path);

}  // namespace zelvar::queries

#endif  // ZELVAR_QUERIES_FRIEND_LIST_H_
