// Finding accounts in tblUser: a search by id, user name or nick, one
// account by id, and the user names close to one that matched none.
// Results are values; nothing is printed. One thread at a time, after
// Session::Open has set the connection.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_ACCOUNTS_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_ACCOUNTS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace zelvar::ops {

struct AccountRow {
  int32_t id = 0;
  std::string user_name;
  std::string nick;
  int32_t sex = 0;  // 1 male, 0 female
  int32_t level = 0;
  bool online = false;
  bool exact = false;  // a search's text is the id, the user name or the nick

  nlohmann::ordered_json Json() const;
};

// Accounts whose user name or nick holds `text`, or whose id it is,
// without regard to the case of ASCII letters (other letters match as
// they are): exact matches first, then by id; at most `limit`. False with
// `error` when the database fails.
bool SearchUsers(std::string_view text, int limit, std::vector<AccountRow>* rows, std::string* error);

// The account with `id`; nullopt in `row` when there is none.
bool ReadAccount(int32_t id, std::optional<AccountRow>* row, std::string* error);

// Up to five user names close to `name`, closest first: those holding it
// (as the search finds them) and those sharing its first letter within a
// small edit distance.
bool SuggestUserNames(std::string_view name, std::vector<std::string>* names, std::string* error);

// Edits (insertions, deletions, changes, swaps of neighbours) between two
// texts, counted in UTF-16 units.
int EditDistance(std::u16string_view a, std::u16string_view b);

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_ACCOUNTS_H_
