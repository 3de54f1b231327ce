// The commands of the four queries: friends, trades, items and inbox.
#include <cstdio>
#include <map>

#include "codec/keys.h"
#include "codec/replies.h"
#include "tools/zelvar/commands.h"
#include "tools/zelvar/request_support.h"
#include "tools/zelvar/table.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

using json = nlohmann::ordered_json;

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

// Nicks of the user's friends (and the user's own), for naming the other
// side of trades and messages.
std::map<int32_t, std::string> KnownNicks(Session& session, const User& user) {
  std::map<int32_t, std::string> nicks;
  if (!user.nick.empty()) nicks[user.id] = user.nick;
  if (const auto friends = FriendsOf(session, user)) {
    for (const codec::Friend& f : *friends) nicks[f.id] = ToNarrow(f.nick);
  }
  return nicks;
}

}  // namespace

int RunFriends(const GlobalOptions& options, const std::string& user_arg) {
  Start start = Begin(options, {user_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  CKParam reply;
  std::string image;
  if (int code = RunQuery(*start.session, user, codec::kFriendListKind, "friend list", &reply, &image)) return code;
  std::vector<codec::Friend> friends;
  int32_t server_time = 0;
  std::string error;
  if (!codec::ReadFriends(reply, &friends, &server_time, &error)) return Fail(kExitFailed, error);

  if (options.json) {
    json out = QueryJson("friends", codec::kFriendListKind, user);
    out["count"] = friends.size();
    out["server_time"] = PacketTimeSeconds(server_time);
    json rows = json::array();
    for (const codec::Friend& f : friends) {
      rows.push_back({{"position", f.position}, {"id", f.id}, {"nick", ToNarrow(f.nick)}, {"sex", f.sex},
                      {"face", ToNarrow(f.face)}, {"online", f.logged_in != 0}});
    }
    return PrintQueryJson(out, rows, image);
  }
  int online = 0;
  for (const codec::Friend& f : friends) online += f.logged_in != 0;
  PrintCaption("Friends of %s: %zu, %d online (server time %s)\n", user.Label().c_str(), friends.size(), online,
               LocalTimeText(PacketTimeSeconds(server_time)).c_str());
  Table table({{"#", Table::Align::kRight}, {"ID", Table::Align::kRight}, {"NICK"}, {"SEX"}, {"STATUS"},
               {"FACE", Table::Align::kLeft, 48}});
  for (const codec::Friend& f : friends) {
    table.AddRow({std::to_string(f.position), std::to_string(f.id), ToNarrow(f.nick), SexText(f.sex),
                  f.logged_in != 0 ? "online" : "offline", ToNarrow(f.face)});
  }
  table.Print(stdout, 2, "(no friends yet)");
  return kExitOk;
}

int RunTrades(const GlobalOptions& options, const std::string& user_arg) {
  Start start = Begin(options, {user_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  CKParam reply;
  std::string image;
  if (int code = RunQuery(*start.session, user, codec::kTradeHistoryKind, "trade history", &reply, &image)) return code;
  std::vector<codec::Trade> trades;
  std::string error;
  if (!codec::ReadTrades(reply, &trades, &error)) return Fail(kExitFailed, error);

  if (options.json) {
    json out = QueryJson("trades", codec::kTradeHistoryKind, user);
    out["count"] = trades.size();
    json rows = json::array();
    for (const codec::Trade& t : trades) {
      rows.push_back({{"id", t.id}, {"player", t.player}, {"played", t.played}, {"play_id", t.play_id},
                      {"time", PacketTimeSeconds(t.time)}});
    }
    return PrintQueryJson(out, rows, image);
  }
  PrintCaption("Trades of %s: %zu, newest first\n", user.Label().c_str(), trades.size());
  const auto nicks = KnownNicks(*start.session, user);
  Table table({{"ID", Table::Align::kRight}, {"WHEN"}, {"RECORDED BY"}, {"WITH"}, {"PLAY", Table::Align::kRight}});
  for (const codec::Trade& t : trades) {
    table.AddRow({std::to_string(t.id), PacketTimeText(t.time), Who(nicks, t.player), Who(nicks, t.played),
                  std::to_string(t.play_id)});
  }
  table.Print(stdout, 2, "(no trades yet)");
  return kExitOk;
}

int RunItems(const GlobalOptions& options, const std::string& user_arg) {
  // The catalogue is the same for everyone: user 0 needs no row of its own.
  Start start = Begin(options, user_arg == "0" ? std::vector<std::string>{} : std::vector<std::string>{user_arg});
  if (!start.ok()) return start.exit_code;
  const User user = start.users.empty() ? User{} : start.users[0];
  CKParam reply;
  std::string image;
  if (int code = RunQuery(*start.session, user, codec::kTradeItemsKind, "item catalogue", &reply, &image)) return code;
  std::vector<codec::Item> items;
  std::string error;
  if (!codec::ReadItems(reply, &items, &error)) return Fail(kExitFailed, error);

  if (options.json) {
    json out = QueryJson("items", codec::kTradeItemsKind, user);
    out["count"] = items.size();
    json rows = json::array();
    for (const codec::Item& item : items) {
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
  PrintCaption("Trade item catalogue: %zu items\n", items.size());
  Table table({{"ID", Table::Align::kRight}, {"NAME", Table::Align::kLeft, 24}, {"DESCRIPTION", Table::Align::kLeft, 40},
               {"PACIFICATE", Table::Align::kRight}, {"IMAGE"}, {"X", Table::Align::kRight}, {"Y", Table::Align::kRight}});
  for (const codec::Item& item : items) {
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
  table.Print(stdout, 2, "(the catalogue is empty)");
  return kExitOk;
}

int RunInbox(const GlobalOptions& options, const std::string& user_arg) {
  Start start = Begin(options, {user_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  CKParam reply;
  std::string image;
  if (int code = RunQuery(*start.session, user, codec::kUnreadMessagesKind, "unread messages", &reply, &image)) return code;
  std::vector<codec::Message> messages;
  std::string error;
  if (!codec::ReadMessages(reply, &messages, &error)) return Fail(kExitFailed, error);

  if (options.json) {
    json out = QueryJson("inbox", codec::kUnreadMessagesKind, user);
    out["count"] = messages.size();
    out["marked_read"] = messages.size();
    json rows = json::array();
    for (const codec::Message& m : messages) {
      rows.push_back({{"id", m.id}, {"from", m.from}, {"content", ToNarrow(m.content)},
                      {"time", PacketTimeSeconds(m.time)}});
    }
    return PrintQueryJson(out, rows, image);
  }
  PrintCaption("Unread messages of %s: %zu, %s (inbox marks what it delivers read; 'inbox --peek' looks without marking)\n",
               user.Label().c_str(), messages.size(), messages.empty() ? "none to mark read" : "now marked read");
  const auto nicks = KnownNicks(*start.session, user);
  Table table({{"ID", Table::Align::kRight}, {"WHEN"}, {"FROM"}, {"MESSAGE", Table::Align::kLeft, 60}});
  for (const codec::Message& m : messages) {
    table.AddRow({std::to_string(m.id), PacketTimeText(m.time), Who(nicks, m.from), ToNarrow(m.content)});
  }
  table.Print(stdout, 2, "(nothing unread)");
  return kExitOk;
}

}  // namespace zelvar::cli
