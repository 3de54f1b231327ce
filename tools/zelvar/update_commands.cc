// The commands of the four updates: message, unfriend, trade and invite.
#include <cstdio>
#include <functional>

#include "codec/keys.h"
#include "codec/requests.h"
#include "tools/zelvar/commands.h"
#include "tools/zelvar/inputs.h"
#include "tools/zelvar/request_support.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

bool AreFriends(const std::vector<codec::Friend>& friends, int32_t other) {
  for (const codec::Friend& f : friends) {
    if (f.id == other) return true;
  }
  return false;
}

// Sends an update; prints the outcome (JSON or `done`) or the failure,
// which `failure` words once the module has answered -1.
int RunUpdate(Session& session, const char* request, int command, const User& user, CKParam& packet,
              const std::string& done, const std::function<std::string()>& failure) {
  if (!session.SaveImages(&packet, nullptr)) return kExitUsage;
  const int data_id = command;
  const int result = session.module().Put(user.id, data_id, packet);
  if (session.options().json) {
    PrintJson({{"request", request}, {"command", command}, {"user", user.Json()}, {"result", result},
               {"request_entries", EntriesJson(EntriesOf(packet))}});
  }
  if (result != 0) {
    const std::string reasons = session.TakeModuleReasons();
    return Fail(kExitFailed, failure() + reasons);
  }
  if (!session.options().json) std::printf("%s\n", done.c_str());
  return kExitOk;
}

}  // namespace

int RunMessage(const GlobalOptions& options, const std::string& from_arg, const std::string& to_arg,
               const std::string& text) {
  Start start = Begin(options, {from_arg, to_arg});
  if (!start.ok()) return start.exit_code;
  const User& from = start.users[0];
  const User& to = start.users[1];
  CKParam packet = codec::MessageRequest(to.id, ToWide(text));
  return RunUpdate(*start.session, "message", codec::kSendMessage, from, packet,
                   "Message from " + from.Label() + " to " + to.Label() + " stored, unread: " + text, [&] {
                     // The module carries messages only between friends.
                     const auto friends = FriendsOf(*start.session, from);
                     if (friends && !AreFriends(*friends, to.id)) {
                       return from.Label() + " and " + to.Label() +
                              " are not friends, and messages go only between friends; see 'zelvar friends " +
                              from_arg + "'";
                     }
                     return "the module did not store the message from " + from.Label() + " to " + to.Label();
                   });
}

int RunUnfriend(const GlobalOptions& options, const std::string& user_arg, const std::string& friend_arg) {
  Start start = Begin(options, {user_arg, friend_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  const User& other = start.users[1];
  const auto before = FriendsOf(*start.session, user);
  CKParam packet = codec::EndFriendshipRequest(other.id);
  const bool were_friends = !before || AreFriends(*before, other.id);
  return RunUpdate(*start.session, "unfriend", codec::kEndFriendship, user, packet,
                   were_friends ? "Friendship of " + user.Label() + " and " + other.Label() +
                                      " ended; the trades between them are gone too"
                                : user.Label() + " and " + other.Label() + " were not friends; nothing to end",
                   [&] { return "the module could not end the friendship of " + user.Label() + " and " + other.Label(); });
}

int RunTrade(const GlobalOptions& options, const std::string& user_arg, const std::string& other_arg,
             const std::string& play_arg) {
  const auto play_id = ParseInt32(play_arg);
  if (!play_id) return Fail(kExitUsage, "the play id '" + play_arg + "' is not a whole number; see 'zelvar trade --help'");
  Start start = Begin(options, {user_arg, other_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  const User& other = start.users[1];
  CKParam packet = codec::TradeRequest(other.id, *play_id);
  return RunUpdate(*start.session, "trade", codec::kRecordTrade, user, packet,
                   "Trade of " + user.Label() + " with " + other.Label() + " recorded (play " +
                       std::to_string(*play_id) + ")",
                   [&] {
                     const auto friends = FriendsOf(*start.session, user);
                     if (friends && !AreFriends(*friends, other.id)) {
                       return user.Label() + " and " + other.Label() +
                              " are not friends, and trades are recorded only between friends";
                     }
                     return "the module did not record the trade of " + user.Label() + " with " + other.Label();
                   });
}

int RunInvite(const GlobalOptions& options, const std::string& user_arg, const InviteOptions& invite) {
  std::vector<codec::Invitation> rows;
  if (!invite.csv_file.empty()) {
    if (!invite.code.empty() || !invite.email.empty()) {
      return Fail(kExitUsage, "give the rows either in --csv or with --code and --email, not both");
    }
    std::string content, error;
    if (!ReadFile(invite.csv_file, &content, &error)) return Fail(kExitUsage, error);
    if (!ParseInviteCsv(content, &rows, &error)) {
      return Fail(kExitUsage, invite.csv_file + ": " + error + "; see 'zelvar invite --help' for the format");
    }
  } else {
    if (invite.code.empty() || invite.email.empty()) {
      return Fail(kExitUsage, "an invitation needs --code and --email (or many rows with --csv FILE)");
    }
    rows.push_back({ToWide(invite.code), invite.state, ToWide(invite.email), invite.group, ToWide(invite.note),
                    invite.zone, invite.reply});
  }
  Start start = Begin(options, {user_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  CKParam packet = codec::InvitationsRequest(rows, invite.log_sql);
  return RunUpdate(*start.session, "invite", codec::kStoreInvitations, user, packet,
                   std::to_string(rows.size()) + (rows.size() == 1 ? " invitation" : " invitations") + " of " +
                       user.Label() + " handed to the module" +
                       (invite.log_sql ? "; its statements are in ZelvarSQL.log" : ""),
                   [&] { return "the module refused the invitations of " + user.Label(); });
}

}  // namespace zelvar::cli
