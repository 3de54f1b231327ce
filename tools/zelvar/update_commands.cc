// The commands of the four updates: message, unfriend, trade and invite.
// Each counts in the database what its write left there (the module's
// answer alone does not say) and, when less was stored than asked, shows
// the database's own reason.
#include <cstdio>
#include <functional>

#include "codec/keys.h"
#include "codec/requests.h"
#include "tools/zelvar/commands.h"
#include "tools/zelvar/inputs.h"
#include "tools/zelvar/ops/invite_import.h"
#include "tools/zelvar/ops/limits.h"
#include "tools/zelvar/ops/writes.h"
#include "tools/zelvar/request_support.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

using json = nlohmann::ordered_json;

// One row inserted between two friends (a message, a trade record).
struct FriendInsert {
  const char* command;  // "message"
  int data_id;
  json args;
  std::function<std::optional<int64_t>(std::string*)> count;  // the rows of its kind
  db::Sql replay;      // the module's insert, to hear the database's reason
  std::string done;    // printed when stored
  std::string failed;  // "the message from A to B was not stored"
};

// Sends the insert and checks that exactly one row came of it.
int RunFriendInsert(Session& session, const User& user, const User& other, CKParam& packet,
                    const FriendInsert& write) {
  int exit_code = kExitOk;
  if (!session.OpenAudit(&exit_code)) return exit_code;
  if (!session.SaveImages(&packet, nullptr)) return kExitUsage;
  std::string error;
  const auto before = write.count(&error);
  if (!before) return Fail(kExitFailed, "cannot count the rows before the write: " + error + "; nothing was sent");
  const int result = session.module().Put(user.id, write.data_id, packet);
  const auto after = write.count(&error);
  const int64_t stored = after ? *after - *before : 0;
  if (session.options().json) {
    PrintJson({{"request", write.command}, {"command", write.data_id}, {"user", user.Json()}, {"result", result},
               {"stored", stored}, {"request_entries", EntriesJson(EntriesOf(packet))}});
  }
  if (result == 0 && stored == 1) {
    session.Audit(write.command, write.args, "done", stored);
    if (!session.options().json) std::printf("%s\n", write.done.c_str());
    return kExitOk;
  }
  session.Audit(write.command, write.args, "failed", stored);
  const auto friendship = ops::FriendshipRows(user.id, other.id, &error);
  if (friendship && *friendship == 0) {
    // The module carries these only between friends.
    return Fail(kExitFailed, user.Label() + " and " + other.Label() + " are not friends, and " + write.command +
                                 "s go only between friends; see 'zelvar friends " +
                                 (user.name.empty() ? std::to_string(user.id) : user.name) + "'");
  }
  if (!after) return Fail(kExitFailed, write.failed + "? the rows can't be counted: " + error);
  const std::string reason = ops::WriteRefusal(write.replay);
  return Fail(kExitFailed, write.failed + (reason.empty() ? "" : ": " + reason) + session.TakeModuleReasons());
}

}  // namespace

int RunMessage(const GlobalOptions& options, const std::string& from_arg, const std::string& to_arg,
               const std::string& text) {
  const std::u16string content = ToWide(text);
  const std::string too_long = ops::CheckTextLimit(ops::kMessageText, content);
  if (!too_long.empty()) return Fail(kExitUsage, too_long + "; nothing was sent");
  Start start = Begin(options, {from_arg, to_arg});
  if (!start.ok()) return start.exit_code;
  const User& from = start.users[0];
  const User& to = start.users[1];
  if (options.dry_run) {
    std::printf("Would send a message from %s to %s: %s\n", from.Label().c_str(), to.Label().c_str(), text.c_str());
    return kExitOk;
  }
  CKParam packet = codec::MessageRequest(to.id, content);
  const FriendInsert write{
      "message", codec::kSendMessage, json{{"from", from.Json()}, {"to", to.Json()}, {"text", text}},
      [&](std::string* error) { return ops::MessagesFrom(from.id, to.id, error); },
      ops::InsertMessage(from.id, to.id, content),
      "Message from " + from.Label() + " to " + to.Label() + " stored, unread: " + text,
      "the message from " + from.Label() + " to " + to.Label() + " was not stored"};
  return RunFriendInsert(*start.session, from, to, packet, write);
}

int RunTrade(const GlobalOptions& options, const std::string& user_arg, const std::string& other_arg,
             const std::string& play_arg) {
  const auto play_id = ParseInt32(play_arg);
  if (!play_id) return Fail(kExitUsage, "the play id '" + play_arg + "' is not a whole number; see 'zelvar trade --help'");
  Start start = Begin(options, {user_arg, other_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  const User& other = start.users[1];
  const std::string what = "trade of " + user.Label() + " with " + other.Label() + " (play " + std::to_string(*play_id) + ")";
  if (options.dry_run) {
    std::printf("Would record the %s\n", what.c_str());
    return kExitOk;
  }
  CKParam packet = codec::TradeRequest(other.id, *play_id);
  const FriendInsert write{
      "trade", codec::kRecordTrade, json{{"user", user.Json()}, {"other", other.Json()}, {"play_id", *play_id}},
      [&](std::string* error) { return ops::TradesBetween(user.id, other.id, error); },
      ops::InsertTrade(user.id, other.id, *play_id), "Recorded the " + what, "the " + what + " was not recorded"};
  return RunFriendInsert(*start.session, user, other, packet, write);
}

int RunUnfriend(const GlobalOptions& options, const std::string& user_arg, const std::string& friend_arg) {
  Start start = Begin(options, {user_arg, friend_arg});
  if (!start.ok()) return start.exit_code;
  Session& session = *start.session;
  const User& user = start.users[0];
  const User& other = start.users[1];
  const std::string pair = user.Label() + " and " + other.Label();
  std::string error;
  const auto friendship = ops::FriendshipRows(user.id, other.id, &error);
  const auto trades = ops::TradesBetween(user.id, other.id, &error);
  if (!friendship || !trades) return Fail(kExitFailed, "cannot read the friendship of " + pair + ": " + error);
  if (*friendship == 0) return Fail(kExitFailed, pair + " were not friends; nothing was changed");
  const std::string action = "End the friendship of " + pair + " and delete the " + std::to_string(*trades) +
                             (*trades == 1 ? " trade" : " trades") + " between them";
  if (options.dry_run) {
    std::printf("Would %s%s; nothing was changed\n", Lower(action.substr(0, 1)).c_str(), action.substr(1).c_str());
    return kExitOk;
  }
  int exit_code = kExitOk;
  if (!Confirm(options, action, &exit_code) || !session.OpenAudit(&exit_code)) return exit_code;
  CKParam packet = codec::EndFriendshipRequest(other.id);
  if (!session.SaveImages(&packet, nullptr)) return kExitUsage;
  const int result = session.module().Put(user.id, codec::kEndFriendship, packet);
  const auto friendship_after = ops::FriendshipRows(user.id, other.id, &error);
  const auto trades_after = ops::TradesBetween(user.id, other.id, &error);
  const int64_t changed = (friendship_after ? *friendship - *friendship_after : 0) +
                          (trades_after ? *trades - *trades_after : 0);
  const json args = {{"user", user.Json()}, {"friend", other.Json()}};
  if (options.json) {
    PrintJson({{"request", "unfriend"}, {"command", codec::kEndFriendship}, {"user", user.Json()}, {"result", result},
               {"rows_changed", changed}, {"request_entries", EntriesJson(EntriesOf(packet))}});
  }
  if (result == 0 && friendship_after && *friendship_after == 0 && trades_after && *trades_after == 0) {
    session.Audit("unfriend", args, "done", changed);
    if (!options.json) {
      std::printf("Friendship of %s ended; %lld %s between them deleted\n", pair.c_str(),
                  static_cast<long long>(*trades), *trades == 1 ? "trade" : "trades");
    }
    return kExitOk;
  }
  session.Audit("unfriend", args, changed > 0 ? "partly done" : "failed", changed);
  const std::string reason = ops::WriteRefusal(ops::DeleteFriendship(user.id, other.id));
  return Fail(kExitFailed, "the friendship of " + pair + " was not ended" + (reason.empty() ? "" : ": " + reason) +
                               session.TakeModuleReasons());
}

}  // namespace zelvar::cli
