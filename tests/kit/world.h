// Planting a world of players and what hangs off them (friendships, trade
// history, the trade item catalogue, messages, goods, invitations) into a
// database with the shipped schema, on any backend, through the raw client.
//
// Each row type names its table's columns; a field that is nullopt is
// stored as NULL. An id of 0 lets the database number the row; within one
// Plant call either every row gives its id or none does. Rows are stored in
// the order given, many to a statement, so a big world goes in quickly and
// numbered rows get their numbers in that order.
//
// A Seeder works on the connection it is given, on that connection's
// thread.
#ifndef ZELVAR_TESTS_KIT_WORLD_H_
#define ZELVAR_TESTS_KIT_WORLD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kit/raw_db.h"

namespace zelvar::kit {

// A row of tblUser.
struct Player {
  int id = 0;
  std::optional<std::string> user_name;
  std::optional<std::string> nick;
  std::optional<int> sex;
  std::optional<std::string> face;  // sFacePic
  std::optional<bool> logged_in;
  std::optional<int> level;
};

// A row of tblFriend.
struct Friendship {
  int id = 0;
  int user_id = 0;
  int friend_id = 0;
};

// A row of tblFriendTradeHistory. Times are local time texts.
struct Trade {
  int id = 0;
  int player = 0;  // nPlayUserId
  int other = 0;   // nPlayedUserId
  int play_id = 0;
  std::optional<std::string> time;
  std::optional<int> duration;
};

// A row of tblFriendTradeItem.
struct TradeItem {
  int id = 0;
  std::optional<std::string> name;
  std::optional<std::string> description;
  std::optional<int> pacificate;
  std::optional<std::string> image;
  std::optional<double> head_x;
  std::optional<double> head_y;
};

// A row of tblUserMsg.
struct Message {
  int id = 0;
  int user_id = 0;  // the recipient
  std::optional<std::string> content;
  std::optional<std::string> time;  // tAddTime
  std::optional<int> read;
  std::optional<int> from_user_id;
  std::optional<int> all;
};

// A row of tblUserGoods.
struct Goods {
  int64_t id = 0;
  std::optional<int> type;
  int user_id = 0;
  std::optional<int> goods_id;
  std::optional<std::string> added;  // tAddTime
  std::optional<std::string> due;    // tDueTime
  std::optional<int> buy_day;
  std::optional<int> level;
  std::optional<int> in_use;  // nUsing
  std::optional<std::string> head_color;
};

// A row of tblInviteRecord.
struct InvitationRow {
  int id = 0;
  int user_id = 0;
  std::optional<int> group;
  std::optional<std::string> code;
  std::optional<std::string> email;
  std::optional<int> state;
  std::optional<std::string> added;  // tAddtime
  std::optional<int> zone;
  std::optional<std::string> note;
  std::optional<int> reply;
};

class Seeder {
 public:
  // Up to `rows_per_statement` rows go into one INSERT (fewer where their
  // values would pass 999).
  explicit Seeder(RawDb* db, int rows_per_statement = 100)
      : db_(db), rows_per_statement_(rows_per_statement) {}

  // Each stores its rows; false with `error` filled when a statement
  // fails (the rows before it stay).
  bool Plant(const std::vector<Player>& rows, std::string* error);
  bool Plant(const std::vector<Friendship>& rows, std::string* error);
  bool Plant(const std::vector<Trade>& rows, std::string* error);
  bool Plant(const std::vector<TradeItem>& rows, std::string* error);
  bool Plant(const std::vector<Message>& rows, std::string* error);
  bool Plant(const std::vector<Goods>& rows, std::string* error);
  bool Plant(const std::vector<InvitationRow>& rows, std::string* error);

  // Empties the world's tables (and SQLite's numbering of their rows).
  bool Clear(std::string* error);

 private:
  // Stores `values` (rows of `columns.size()` values each, in order) in
  // INSERTs of up to rows_per_statement_ rows.
  bool Insert(const std::string& table, const std::vector<std::string>& columns,
              const std::vector<Value>& values, std::string* error);

  RawDb* db_;
  int rows_per_statement_;
};

}  // namespace zelvar::kit

#endif  // ZELVAR_TESTS_KIT_WORLD_H_
