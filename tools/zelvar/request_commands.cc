// The commands that make the module's requests: the four queries, the
// four updates, the account lookup and the goods sending.
#include <cstdio>
#include <functional>
#include <map>

#include "tools/zelvar/commands.h"
#include "tools/zelvar/inputs.h"
#include "tools/zelvar/packet_view.h"
#include "tools/zelvar/replies.h"
#include "tools/zelvar/requests.h"
#include "tools/zelvar/table.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

using json = nlohmann::ordered_json;

std::string SexText(int32_t sex) {
  if (sex == 1) return "M";
  if (sex == 0) return "F";
  return std::to_string(sex);
}

std::vector<PacketEntry> EntriesOf(const std::string& image) {
  PacketImage packet;
  std::string error;
  if (!ReadPacket(image, &packet, &error)) return {};
  return packet.entries;
}

std::vector<PacketEntry> EntriesOf(CKParam& packet) {
  return EntriesOf(std::string(packet.GetBufferPtr(), static_cast<size_t>(packet.GetLength())));
}

// Opens the session and resolves the users a command names.
struct Start {
  std::unique_ptr<Session> session;
  std::vector<User> users;
  int exit_code = kExitOk;
  bool ok() const { return session != nullptr; }
};

Start Begin(const GlobalOptions& options, const std::vector<std::string>& user_args) {
  Start start;
  start.session = Session::Open(options, &start.exit_code);
  if (!start.session) return start;
  for (const std::string& arg : user_args) {
    auto user = start.session->ResolveUser(arg, &start.exit_code);
    if (!user) {
      start.session.reset();
      return start;
    }
    start.users.push_back(*user);
  }
  return start;
}

// Runs query `kind` and loads its reply into `reply`; on failure prints
// why and returns the exit code.
int RunQuery(Session& session, const User& user, unsigned kind, const char* what, CKParam* reply,
             std::string* image) {
  if (session.module().Query(user.id, kind, image) != 0) {
    return Fail(kExitFailed, "the module could not read the " + std::string(what) + " of " + user.Label() +
                                 session.TakeModuleReasons() + "; run with -v for the module's log");
  }
  if (!session.SaveImages(nullptr, image)) return kExitUsage;
  if (reply->SetBufferPtr(image->data(), static_cast<int>(image->size())) != 0) {
    return Fail(kExitFailed, "the module's reply to request " + std::to_string(kind) +
                                 " is not a packet; save it with --save-reply and check it with 'zelvar packet decode'");
  }
  return kExitOk;
}

json QueryJson(const char* request, unsigned kind, const User& user) {
  return {{"request", request}, {"kind", kind}, {"user", user.Json()}, {"result", 0}};
}

// The rows, then the raw entries of the reply, and prints it.
int PrintQueryJson(json out, json rows, const std::string& image) {
  out["rows"] = std::move(rows);
  out["entries"] = EntriesJson(EntriesOf(image));
  PrintJson(out);
  return kExitOk;
}

std::string Who(const std::map<int32_t, std::string>& nicks, int32_t id) {
  const auto it = nicks.find(id);
  return it == nicks.end() ? "#" + std::to_string(id) : it->second + " (#" + std::to_string(id) + ")";
}

// The friend list of `user` through the module, for checks before and
// after an update; nullopt when it can't be read.
std::optional<std::vector<Friend>> FriendsOf(Session& session, const User& user) {
  std::string image;
  if (session.module().Query(user.id, kFriendList, &image) != 0) return std::nullopt;
  CKParam reply;
  std::vector<Friend> friends;
  int32_t server_time = 0;
  std::string error;
  if (reply.SetBufferPtr(image.data(), static_cast<int>(image.size())) != 0 ||
      !ReadFriends(reply, &friends, &server_time, &error)) {
    return std::nullopt;
  }
  return friends;
}

// Nicks of the user's friends (and the user's own), for naming the other
// side of trades and messages.
std::map<int32_t, std::string> KnownNicks(Session& session, const User& user) {
  std::map<int32_t, std::string> nicks;
  if (!user.nick.empty()) nicks[user.id] = user.nick;
  if (const auto friends = FriendsOf(session, user)) {
    for (const Friend& f : *friends) nicks[f.id] = ToNarrow(f.nick);
  }
  return nicks;
}

bool AreFriends(const std::vector<Friend>& friends, int32_t other) {
  for (const Friend& f : friends) {
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

int RunFriends(const GlobalOptions& options, const std::string& user_arg) {
  Start start = Begin(options, {user_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  CKParam reply;
  std::string image;
  if (int code = RunQuery(*start.session, user, kFriendList, "friend list", &reply, &image)) return code;
  std::vector<Friend> friends;
  int32_t server_time = 0;
  std::string error;
  if (!ReadFriends(reply, &friends, &server_time, &error)) return Fail(kExitFailed, error);

  if (options.json) {
    json out = QueryJson("friends", kFriendList, user);
    out["count"] = friends.size();
    out["server_time"] = PacketTimeSeconds(server_time);
    json rows = json::array();
    for (const Friend& f : friends) {
      rows.push_back({{"position", f.position}, {"id", f.id}, {"nick", ToNarrow(f.nick)}, {"sex", f.sex},
                      {"face", ToNarrow(f.face)}, {"online", f.logged_in != 0}});
    }
    return PrintQueryJson(out, rows, image);
  }
  int online = 0;
  for (const Friend& f : friends) online += f.logged_in != 0;
  std::printf("Friends of %s: %zu, %d online (server time %s)\n", user.Label().c_str(), friends.size(), online,
              LocalTimeText(PacketTimeSeconds(server_time)).c_str());
  if (friends.empty()) {
    std::printf("  (no friends yet)\n");
    return kExitOk;
  }
  Table table({{"#", Table::Align::kRight}, {"ID", Table::Align::kRight}, {"NICK"}, {"SEX"}, {"STATUS"},
               {"FACE", Table::Align::kLeft, 48}});
  for (const Friend& f : friends) {
    table.AddRow({std::to_string(f.position), std::to_string(f.id), ToNarrow(f.nick), SexText(f.sex),
                  f.logged_in != 0 ? "online" : "offline", ToNarrow(f.face)});
  }
  table.Print(stdout);
  return kExitOk;
}

int RunTrades(const GlobalOptions& options, const std::string& user_arg) {
  Start start = Begin(options, {user_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  CKParam reply;
  std::string image;
  if (int code = RunQuery(*start.session, user, kTradeHistory, "trade history", &reply, &image)) return code;
  std::vector<Trade> trades;
  std::string error;
  if (!ReadTrades(reply, &trades, &error)) return Fail(kExitFailed, error);

  if (options.json) {
    json out = QueryJson("trades", kTradeHistory, user);
    out["count"] = trades.size();
    json rows = json::array();
    for (const Trade& t : trades) {
      rows.push_back({{"id", t.id}, {"player", t.player}, {"played", t.played}, {"play_id", t.play_id},
                      {"time", PacketTimeSeconds(t.time)}});
    }
    return PrintQueryJson(out, rows, image);
  }
  std::printf("Trades of %s: %zu, newest first\n", user.Label().c_str(), trades.size());
  if (trades.empty()) {
    std::printf("  (no trades yet)\n");
    return kExitOk;
  }
  const auto nicks = KnownNicks(*start.session, user);
  Table table({{"ID", Table::Align::kRight}, {"WHEN"}, {"RECORDED BY"}, {"WITH"}, {"PLAY", Table::Align::kRight}});
  for (const Trade& t : trades) {
    table.AddRow({std::to_string(t.id), PacketTimeText(t.time), Who(nicks, t.player), Who(nicks, t.played),
                  std::to_string(t.play_id)});
  }
  table.Print(stdout);
  return kExitOk;
}

int RunItems(const GlobalOptions& options, const std::string& user_arg) {
  Start start = Begin(options, {user_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  CKParam reply;
  std::string image;
  if (int code = RunQuery(*start.session, user, kTradeItems, "item catalogue", &reply, &image)) return code;
  std::vector<Item> items;
  std::string error;
  if (!ReadItems(reply, &items, &error)) return Fail(kExitFailed, error);

  if (options.json) {
    json out = QueryJson("items", kTradeItems, user);
    out["count"] = items.size();
    json rows = json::array();
    for (const Item& item : items) {
      json row = {{"text", ToNarrow(item.text)}};
      if (item.parsed) {
        row.update({{"id", item.id}, {"name", ToNarrow(item.name)}, {"description", ToNarrow(item.description)},
                    {"pacificate", item.pacificate}, {"image", ToNarrow(item.image)},
                    {"small_image", ToNarrow(item.small_image)}, {"x", item.x}, {"y", item.y}});
      }
      rows.push_back(row);
    }
    return PrintQueryJson(out, rows, image);
  }
  std::printf("Trade item catalogue: %zu items\n", items.size());
  if (items.empty()) {
    std::printf("  (the catalogue is empty)\n");
    return kExitOk;
  }
  Table table({{"ID", Table::Align::kRight}, {"NAME", Table::Align::kLeft, 24}, {"DESCRIPTION", Table::Align::kLeft, 40},
               {"PACIFICATE", Table::Align::kRight}, {"IMAGE"}, {"X", Table::Align::kRight}, {"Y", Table::Align::kRight}});
  for (const Item& item : items) {
    if (!item.parsed) {
      table.AddRow({"?", ToNarrow(item.text)});
      continue;
    }
    char x[32], y[32];
    std::snprintf(x, sizeof x, "%g", item.x);
    std::snprintf(y, sizeof y, "%g", item.y);
    table.AddRow({std::to_string(item.id), ToNarrow(item.name), ToNarrow(item.description),
                  std::to_string(item.pacificate), ToNarrow(item.image), x, y});
  }
  table.Print(stdout);
  return kExitOk;
}

int RunInbox(const GlobalOptions& options, const std::string& user_arg) {
  Start start = Begin(options, {user_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  CKParam reply;
  std::string image;
  if (int code = RunQuery(*start.session, user, kUnreadMessages, "unread messages", &reply, &image)) return code;
  std::vector<Message> messages;
  std::string error;
  if (!ReadMessages(reply, &messages, &error)) return Fail(kExitFailed, error);

  if (options.json) {
    json out = QueryJson("inbox", kUnreadMessages, user);
    out["count"] = messages.size();
    json rows = json::array();
    for (const Message& m : messages) {
      rows.push_back({{"id", m.id}, {"from", m.from}, {"content", ToNarrow(m.content)},
                      {"time", PacketTimeSeconds(m.time)}});
    }
    return PrintQueryJson(out, rows, image);
  }
  std::printf("Unread messages of %s: %zu%s\n", user.Label().c_str(), messages.size(),
              messages.empty() ? "" : " (now marked read)");
  if (messages.empty()) {
    std::printf("  (nothing unread)\n");
    return kExitOk;
  }
  const auto nicks = KnownNicks(*start.session, user);
  Table table({{"ID", Table::Align::kRight}, {"WHEN"}, {"FROM"}, {"MESSAGE", Table::Align::kLeft, 60}});
  for (const Message& m : messages) {
    table.AddRow({std::to_string(m.id), PacketTimeText(m.time), Who(nicks, m.from), ToNarrow(m.content)});
  }
  table.Print(stdout);
  return kExitOk;
}

int RunMessage(const GlobalOptions& options, const std::string& from_arg, const std::string& to_arg,
               const std::string& text) {
  Start start = Begin(options, {from_arg, to_arg});
  if (!start.ok()) return start.exit_code;
  const User& from = start.users[0];
  const User& to = start.users[1];
  CKParam packet = MessageRequest(to.id, ToWide(text));
  return RunUpdate(*start.session, "message", kSendMessage, from, packet,
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
  CKParam packet = EndFriendshipRequest(other.id);
  const bool were_friends = !before || AreFriends(*before, other.id);
  return RunUpdate(*start.session, "unfriend", kEndFriendship, user, packet,
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
  CKParam packet = TradeRequest(other.id, *play_id);
  return RunUpdate(*start.session, "trade", kRecordTrade, user, packet,
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
  std::vector<InviteRow> rows;
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
  CKParam packet = InvitationsRequest(rows, invite.log_sql);
  return RunUpdate(*start.session, "invite", kStoreInvitations, user, packet,
                   std::to_string(rows.size()) + (rows.size() == 1 ? " invitation" : " invitations") + " of " +
                       user.Label() + " handed to the module" +
                       (invite.log_sql ? "; its statements are in ZelvarSQL.log" : ""),
                   [&] { return "the module refused the invitations of " + user.Label(); });
}

int RunAccount(const GlobalOptions& options, const std::string& user_name) {
  Start start = Begin(options, {});
  if (!start.ok()) return start.exit_code;
  Session& session = *start.session;
  CKParam request = AccountRequest(ToWide(user_name));
  if (!session.SaveImages(&request, nullptr)) return kExitUsage;
  std::string image;
  if (session.module().Record(0, kAccountLookup, request, &image) != 0 || image.empty()) {
    return Fail(kExitFailed, "the module handed out no reply to the account lookup" + session.TakeModuleReasons());
  }
  if (!session.SaveImages(nullptr, &image)) return kExitUsage;
  CKParam reply;
  Account account;
  std::string error;
  if (reply.SetBufferPtr(image.data(), static_cast<int>(image.size())) != 0 ||
      !ReadAccount(reply, kAccountLookup, &account, &error)) {
    return Fail(kExitFailed, "the module's reply to the account lookup is not usable: " + error);
  }
  if (options.json) {
    json out = {{"request", "account"}, {"data_id", kAccountLookup}, {"user_name", user_name},
                {"result", account.result}};
    json fields = json::object();
    if (account.id) fields["id"] = *account.id;
    if (account.nick) fields["nick"] = ToNarrow(*account.nick);
    if (account.sex) fields["sex"] = *account.sex;
    if (account.level) fields["level"] = *account.level;
    out["account"] = fields;
    out["entries"] = EntriesJson(EntriesOf(image));
    PrintJson(out);
  }
  if (account.result != 0) {
    const std::string reasons = session.TakeModuleReasons();
    if (user_name.empty()) return Fail(kExitFailed, "the module looks up no empty user name; give one");
    return Fail(kExitFailed, "there is no account with the user name '" + user_name + "'" + reasons +
                                 "; user names are matched exactly");
  }
  if (!options.json) {
    std::printf("Account %s\n", user_name.c_str());
    Table table({{"FIELD"}, {"VALUE"}});
    table.AddRow({"id", account.id ? std::to_string(*account.id) : "?"});
    table.AddRow({"nick", account.nick ? ToNarrow(*account.nick) : "?"});
    table.AddRow({"sex", account.sex ? SexText(*account.sex) : "?"});
    table.AddRow({"level", account.level ? std::to_string(*account.level) : "?"});
    table.Print(stdout);
  }
  return kExitOk;
}

int RunSend(const GlobalOptions& options, const std::string& account, const std::vector<std::string>& entry_args,
            int by) {
  std::vector<GoodsEntry> entries;
  for (const std::string& arg : entry_args) {
    GoodsEntry entry;
    std::string error;
    if (!ParseGoodsEntry(arg, &entry, &error)) {
      return Fail(kExitUsage, error + "; nothing was sent (see 'zelvar send --help')");
    }
    entries.push_back(entry);
  }
  if (entries.empty()) return Fail(kExitUsage, "name at least one goods entry GOODS:AMOUNT:TYPE");
  if (account.empty()) return Fail(kExitUsage, "the receiving account's user name is empty");
  Start start = Begin(options, {});
  if (!start.ok()) return start.exit_code;
  Session& session = *start.session;
  CKParam request = SendGoodsRequest(ToWide(account), entries);
  if (!session.SaveImages(&request, nullptr)) return kExitUsage;
  std::string image;
  if (session.module().Record(by, kSendGoods, request, &image) != 0 || image.empty()) {
    return Fail(kExitFailed, "the module handed out no reply to the goods sending" + session.TakeModuleReasons());
  }
  if (!session.SaveImages(nullptr, &image)) return kExitUsage;
  CKParam reply;
  GoodsSent sent;
  std::string error;
  if (reply.SetBufferPtr(image.data(), static_cast<int>(image.size())) != 0 || !ReadGoodsSent(reply, &sent, &error)) {
    return Fail(kExitFailed, "the module's reply to the goods sending is not usable: " + error);
  }
  const int total = static_cast<int>(entries.size());
  if (options.json) {
    json sent_entries = json::array();
    for (const GoodsEntry& e : entries) {
      sent_entries.push_back({{"goods_id", e.goods_id}, {"amount", ToNarrow(e.amount)}, {"type", e.type},
                              {"amount1", e.amount1}, {"amount2", e.amount2}});
    }
    json out = {{"request", "send"}, {"data_id", kSendGoods}, {"account", account}, {"result", sent.result},
                {"sent", total}, {"goods", sent_entries}};
    if (sent.result == 0) {
      out.update({{"granted", sent.granted}, {"amount1_sum", sent.amount1_sum}, {"amount2_sum", sent.amount2_sum}});
    }
    out["entries"] = EntriesJson(EntriesOf(image));
    PrintJson(out);
  }
  if (sent.result != 0) {
    return Fail(kExitFailed, "nothing was granted to '" + account + "'" + session.TakeModuleReasons() +
                                 "; check the user name with 'zelvar account " + account + "'");
  }
  if (!options.json) {
    std::printf("Granted %d of %d %s to %s (amounts %d and %d)\n", sent.granted, total,
                total == 1 ? "entry" : "entries", account.c_str(), sent.amount1_sum, sent.amount2_sum);
    Table table({{"GOODS", Table::Align::kRight}, {"AMOUNT"}, {"TYPE", Table::Align::kRight}, {"KIND"},
                 {"A1", Table::Align::kRight}, {"A2", Table::Align::kRight}});
    for (const GoodsEntry& e : entries) {
      table.AddRow({std::to_string(e.goods_id), ToNarrow(e.amount), std::to_string(e.type),
                    IsQuotaType(e.type) ? "quota" : "time-limited", std::to_string(e.amount1),
                    std::to_string(e.amount2)});
    }
    table.Print(stdout);
  }
  if (sent.granted < total) {
    return Fail(kExitFailed, std::to_string(total - sent.granted) + " of " + std::to_string(total) +
                                 " entries were not granted" + session.TakeModuleReasons() +
                                 "; the others stay granted (run with -v for the module's log)");
  }
  return kExitOk;
}

}  // namespace zelvar::cli
