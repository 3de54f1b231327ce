// What the tool's writes check in the database with the tool's own
// connection: the rows a write left there, and the database's own reason
// when a write of the module's failed. The module answers a write only
// with 0 or -1 (the invitations always with 0) and logs nothing for the
// friend commands, so the rows are counted and a failed write is replayed
// to hear the database: the same statement with the same values, in a
// transaction that is always rolled back.
//
// Every function runs on the connection string in force (the module's,
// after Session::Open). Thread-compatible.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_WRITES_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_WRITES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/requests.h"
#include "db/sql.h"
#include "tools/zelvar/ops/rows.h"

namespace zelvar::ops {

std::optional<bool> UserExists(int32_t user_id, std::string* error);
// Friendship rows between the two, in either direction.
std::optional<int64_t> FriendshipRows(int32_t a, int32_t b, std::string* error);
// Trade records between the two, in either direction.
std::optional<int64_t> TradesBetween(int32_t a, int32_t b, std::string* error);
// Messages to `to` from `from`.
std::optional<int64_t> MessagesFrom(int32_t from, int32_t to, std::string* error);

// The statements the module runs for each write, with its values.
db::Sql InsertMessage(int32_t from, int32_t to, const std::u16string& content);
db::Sql InsertTrade(int32_t user, int32_t partner, int32_t play_id);
db::Sql DeleteFriendship(int32_t user, int32_t former_friend);
db::Sql InsertInvitation(int32_t user, const codec::Invitation& invitation);
// The row a time-limited grant of `entry` to `user` adds (for seven days
// from now).
db::Sql InsertGoods(int32_t user, const codec::GoodsEntry& entry);
// The id of the account with the user name, or nullopt.
std::optional<int64_t> UserIdByName(const std::u16string& user_name, std::string* error);

// Runs `write` in a transaction that is rolled back whatever happens and
// returns the database's reason for refusing it, as one line; empty when
// the database took it (the module's failure lay elsewhere).
std::string WriteRefusal(const db::Sql& write);

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_WRITES_H_
