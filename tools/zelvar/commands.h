// The zelvar tool's commands. Each runs one job from start to end, prints
// its human or JSON output on standard output and every failure as one
// line on standard error, and returns the process's exit status.
#ifndef ZELVAR_TOOLS_ZELVAR_COMMANDS_H_
#define ZELVAR_TOOLS_ZELVAR_COMMANDS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/zelvar/session.h"

namespace zelvar::cli {

// Tables from the shipped schema, and the demo world with `demo`.
// `schema_dir` empty: the installed schema folder, else the source tree's.
int RunInit(const GlobalOptions& options, bool demo, const std::string& schema_dir);
// The schema's tables a database set up from an older schema lacks, with
// their indexes; refuses a database holding none of them.
int RunMigrate(const GlobalOptions& options, const std::string& schema_dir);

int RunFriends(const GlobalOptions& options, const std::string& user);
int RunTrades(const GlobalOptions& options, const std::string& user);
int RunItems(const GlobalOptions& options, const std::string& user);
// Delivers the unread messages through the module, which marks them read.
int RunInbox(const GlobalOptions& options, const std::string& user);

// The read-side commands: they read the tables and change nothing.
// Accounts whose id, user name or nick holds `search`.
int RunUsers(const GlobalOptions& options, const std::string& search, int limit);
// The account with `id`, from tblUser.
int RunAccountById(const GlobalOptions& options, int32_t id);
// The user's goods rows, speak counters and the orders (tblGoodsOrder)
// the goods were granted under; `orders_only`: the orders alone.
int RunGoods(const GlobalOptions& options, const std::string& user, bool orders_only);
// The unread messages and the `limit` newest read ones, none marked read.
int RunInboxPeek(const GlobalOptions& options, const std::string& user, int limit);
int RunInvitations(const GlobalOptions& options, const std::string& user);

int RunMessage(const GlobalOptions& options, const std::string& from, const std::string& to,
               const std::string& text);
int RunUnfriend(const GlobalOptions& options, const std::string& user, const std::string& friend_user);
int RunTrade(const GlobalOptions& options, const std::string& user, const std::string& other,
             const std::string& play_id);

struct InviteOptions {
  std::string csv_file;  // rows from this file, or one row from the fields below
  std::string code, email, note;
  int state = 0, group = 0, zone = 0, reply = 0;
  bool log_sql = false;
};
int RunInvite(const GlobalOptions& options, const std::string& user, const InviteOptions& invite);

// By user name through the module (1660); a number is an id, read from
// tblUser.
int RunAccount(const GlobalOptions& options, const std::string& user_name);
// `by` is the acting user id the module writes into its log lines;
// `order_id`, when given, the host's order the entries are granted under.
int RunSend(const GlobalOptions& options, const std::string& account, const std::vector<std::string>& entries,
            int by, const std::optional<std::string>& order_id);

// The audit trail's records from `since` on (a local time or an age such
// as "7d"; empty: all).
int RunAudit(const GlobalOptions& options, const std::string& since);

// Checks the database against the shipped schema and more; 0 when no
// check has a problem (warnings allowed), 1 when one has.
int RunDoctor(const GlobalOptions& options, const std::string& schema_dir);

// Undo goods grants: revoke removes the user's rows (a quota row's count is
// taken back from the speak counter), expire ends time-limited rows at `at`
// (local "YYYY-MM-DD HH:MM[:SS]"; empty: now).
int RunRevoke(const GlobalOptions& options, const std::string& user, const std::vector<std::string>& row_ids);
int RunExpire(const GlobalOptions& options, const std::string& user, const std::vector<std::string>& row_ids,
              const std::string& at);

int RunPacketDecode(const GlobalOptions& options, const std::string& file);
int RunPacketEncode(const GlobalOptions& options, const std::string& json_file, const std::string& out_file);

}  // namespace zelvar::cli

#endif  // ZELVAR_TOOLS_ZELVAR_COMMANDS_H_
