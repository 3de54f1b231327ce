// The procedures of the query kinds that GetUserExtraDataFriend answers.
//
// Each runs its statements for `user_id`, builds its reply and, on 0, has
// stored a new reply buffer and its length through `reply` and
// `reply_length`; on -1 it has stored nothing. Both pointers must be valid.
// Thread-safe: calls share nothing but the database.
#ifndef ZELVAR_QUERIES_KINDS_H_
#define ZELVAR_QUERIES_KINDS_H_

#include <cstdint>

namespace zelvar::queries {

// 1605: the user's trades on either side, newest first.
int QueryTradeHistory(int32_t user_id, char** reply, int* reply_length);

// 1610: the user's friends with their profiles, and the server's time.
int QueryFriendList(int32_t user_id, char** reply, int* reply_length);

// 1615: the catalogue of trade items, one text per item.
int QueryTradeItems(int32_t user_id, char** reply, int* reply_length);

// 1620: the user's unread messages, which are then marked read.
int QueryUnreadMessages(int32_t user_id, char** reply, int* reply_length);

}  // namespace zelvar::queries

#endif  // ZELVAR_QUERIES_KINDS_H_
