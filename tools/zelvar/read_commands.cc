// The read-side commands for support staff: users, goods, inbox --peek,
// invitations, and the account of an id. They read the tables with the
// tool's own connection (through ops/) and change nothing.
#include <cstdio>
#include <ctime>

#include "tools/zelvar/commands.h"
#include "tools/zelvar/ops/accounts.h"
#include "tools/zelvar/ops/goods_view.h"
#include "tools/zelvar/ops/mailbox.h"
#include "tools/zelvar/request_support.h"
#include "tools/zelvar/table.h"
#include "tools/zelvar/text_util.h"

namespace zelvar::cli {
namespace {

using json = nlohmann::ordered_json;

int ReadFailed(const std::string& what, const std::string& error) {
  return Fail(kExitFailed, "cannot read " + what + ": " + error);
}

// The direct reads send no request and get no reply.
int RefuseImages(const GlobalOptions& options, const std::string& command) {
  if (options.save_request.empty() && options.save_reply.empty()) return kExitOk;
  return Fail(kExitUsage, "'zelvar " + command +
                              "' reads the tables and has no packet to save; --save-request and --save-reply go "
                              "with a request of the module");
}

std::string Sender(const ops::MessageRow& m) {
  if (m.from_name.empty()) return "#" + std::to_string(m.from);
  return m.from_name + (m.from_nick.empty() ? "" : " " + m.from_nick) + " (#" + std::to_string(m.from) + ")";
}

}  // namespace

int RunUsers(const GlobalOptions& options, const std::string& search, int limit) {
  if (search.empty()) return Fail(kExitUsage, "give a part of a user name or nick, or a user id, to search for");
  Start start = Begin(options, {});
  if (!start.ok()) return start.exit_code;
  std::vector<ops::AccountRow> rows;
  std::string error;
  if (!ops::SearchUsers(search, limit, &rows, &error)) return ReadFailed("the accounts", error);
  if (options.json) {
    json list = json::array();
    for (const ops::AccountRow& row : rows) {
      json item = row.Json();
      item["exact"] = row.exact;
      list.push_back(item);
    }
    PrintJson({{"command", "users"}, {"search", search}, {"limit", limit}, {"count", rows.size()}, {"rows", list}});
    return kExitOk;
  }
  PrintCaption("Accounts matching '%s': %zu%s\n", search.c_str(), rows.size(),
               static_cast<int>(rows.size()) == limit ? " (more may match: raise --limit)" : "");
  Table table({{"ID", Table::Align::kRight}, {"USER NAME"}, {"NICK"}, {"SEX"}, {"LEVEL", Table::Align::kRight},
               {"STATUS"}, {"MATCH"}});
  for (const ops::AccountRow& row : rows) {
    table.AddRow({std::to_string(row.id), row.user_name, row.nick, SexText(row.sex), std::to_string(row.level),
                  row.online ? "online" : "offline", row.exact ? "exact" : "part"});
  }
  table.Print(stdout, 2, "(no account matches)");
  return kExitOk;
}

int RunAccountById(const GlobalOptions& options, int32_t id) {
  if (const int refused = RefuseImages(options, "account ID")) return refused;
  Start start = Begin(options, {});
  if (!start.ok()) return start.exit_code;
  std::optional<ops::AccountRow> row;
  std::string error;
  if (!ops::ReadAccount(id, &row, &error)) return ReadFailed("the account", error);
  if (!row) {
    return FailNotFound("there is no account with the id " + std::to_string(id) +
                                 " (find accounts with 'zelvar users TEXT')");
  }
  if (options.json) {
    PrintJson({{"command", "account"}, {"id", id}, {"source", "tblUser"}, {"account", row->Json()}});
    return kExitOk;
  }
  PrintCaption("Account #%d\n", id);
  Table table({{"FIELD"}, {"VALUE"}});
  table.AddRow({"id", std::to_string(row->id)});
  table.AddRow({"user name", row->user_name});
  table.AddRow({"nick", row->nick});
  table.AddRow({"sex", SexText(row->sex)});
  table.AddRow({"level", std::to_string(row->level)});
  table.AddRow({"status", row->online ? "online" : "offline"});
  table.Print(stdout);
  return kExitOk;
}

namespace {

constexpr char kNoOrderTable[] = "the database has no tblGoodsOrder yet (add it with 'zelvar migrate')";

void PrintGoodsRows(const User& user, const std::vector<ops::GoodsRow>& rows) {
  PrintCaption("Goods of %s: %zu %s\n", user.Label().c_str(), rows.size(), rows.size() == 1 ? "row" : "rows");
  Table table({{"ROW", Table::Align::kRight}, {"GOODS", Table::Align::kRight}, {"TYPE", Table::Align::kRight},
               {"KIND"}, {"ADDED"}, {"DUE"}, {"STATE"}, {"BUY DAY", Table::Align::kRight}});
  for (const ops::GoodsRow& row : rows) {
    const bool permanent = row.state == ops::GoodsRow::State::kPermanent;
    table.AddRow({std::to_string(row.id), std::to_string(row.goods_id), std::to_string(row.type), row.kind(),
                  row.add_time, permanent ? "permanent" : row.due_time, row.state_name(),
                  row.quota() ? std::to_string(row.buy_day) : ""});
  }
  table.Print(stdout, 2, "(no goods)");
}

void PrintOrders(const std::optional<std::vector<ops::OrderRow>>& orders) {
  if (!orders) {
    PrintCaption("Orders: none shown, %s\n", kNoOrderTable);
    return;
  }
  PrintCaption("Orders: %zu %s\n", orders->size(), orders->size() == 1 ? "entry" : "entries");
  Table table({{"ORDER"}, {"ENTRY", Table::Align::kRight}, {"GOODS", Table::Align::kRight},
               {"TYPE", Table::Align::kRight}, {"AMOUNT"}, {"A1", Table::Align::kRight}, {"A2", Table::Align::kRight},
               {"ADDED"}});
  for (const ops::OrderRow& row : *orders) {
    table.AddRow({row.order_id, std::to_string(row.entry), std::to_string(row.goods_id), std::to_string(row.type),
                  row.amount, std::to_string(row.amount1), std::to_string(row.amount2), row.add_time});
  }
  table.Print(stdout, 2, "(no goods granted under an order)");
}

void PrintSpeakCounters(const ops::SpeakView& speak) {
  std::string counters;
  for (int c = 1; c <= codec::kSpeakCounterCount; ++c) {
    counters += (c > 1 ? "  " : "") + std::to_string(codec::SpeakGoodsType(c)) + ":" +
                std::to_string(speak.counters[c - 1]);
  }
  PrintCaption("Speak counters by goods type: %s%s\n", counters.c_str(),
               speak.usable      ? ""
               : speak.has_entry ? " (the face text's speak entry has fewer than ten numbers: the next quota grant starts it afresh)"
                                 : " (no speak entry in the face text yet)");
}

json OrdersJson(const std::optional<std::vector<ops::OrderRow>>& orders) {
  if (!orders) return nullptr;
  json list = json::array();
  for (const ops::OrderRow& row : *orders) list.push_back(row.Json());
  return list;
}

}  // namespace

int RunGoods(const GlobalOptions& options, const std::string& user_arg, bool orders_only) {
  Start start = Begin(options, {user_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  const int64_t now = std::time(nullptr);
  std::vector<ops::GoodsRow> rows;
  std::optional<std::vector<ops::OrderRow>> orders;
  ops::SpeakView speak;
  std::string error;
  if (!ops::ReadUserOrders(start.session->product(), user.id, &orders, &error)) {
    return ReadFailed("the orders of " + user.Label(), error);
  }
  if (orders_only) {
    if (!orders) return Fail(kExitFailed, std::string("the orders can't be shown: ") + kNoOrderTable);
    if (options.json) PrintJson({{"command", "goods"}, {"user", user.Json()}, {"orders", OrdersJson(orders)}});
    else PrintOrders(orders);
    return kExitOk;
  }
  if (!ops::ReadUserGoods(user.id, now, &rows, &error)) return ReadFailed("the goods of " + user.Label(), error);
  if (!ops::ReadSpeakView(user.id, &speak, &error)) return ReadFailed("the face text of " + user.Label(), error);
  if (options.json) {
    json list = json::array();
    for (const ops::GoodsRow& row : rows) list.push_back(row.Json());
    json out = {{"command", "goods"}, {"user", user.Json()}, {"now", LocalTimeText(now)}, {"count", rows.size()},
                {"rows", list}, {"speak", speak.Json()}, {"orders", OrdersJson(orders)}};
    if (!orders) out["orders_note"] = kNoOrderTable;
    PrintJson(out);
    return kExitOk;
  }
  PrintGoodsRows(user, rows);
  // CSV holds one table: the goods rows (--orders gives the orders).
  if (!Table::csv()) PrintOrders(orders);
  PrintSpeakCounters(speak);
  return kExitOk;
}

int RunInboxPeek(const GlobalOptions& options, const std::string& user_arg, int limit) {
  if (const int refused = RefuseImages(options, "inbox --peek")) return refused;
  Start start = Begin(options, {user_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  ops::MessagePeek peek;
  std::string error;
  if (!ops::PeekMessages(user.id, limit, &peek, &error)) return ReadFailed("the messages of " + user.Label(), error);
  if (options.json) {
    json unread = json::array(), read = json::array();
    for (const ops::MessageRow& m : peek.unread) unread.push_back(m.Json());
    for (const ops::MessageRow& m : peek.read) read.push_back(m.Json());
    PrintJson({{"command", "inbox"}, {"peek", true}, {"user", user.Json()}, {"unread_total", peek.unread_total},
               {"unread", unread}, {"read", read}});
    return kExitOk;
  }
  PrintCaption("Messages of %s: %lld unread%s, %zu recent read (nothing was marked read)\n", user.Label().c_str(),
               static_cast<long long>(peek.unread_total),
               peek.unread_total > static_cast<int64_t>(peek.unread.size())
                   ? (", the oldest " + std::to_string(peek.unread.size()) + " shown").c_str()
                   : "",
               peek.read.size());
  Table table({{"ID", Table::Align::kRight}, {"STATE"}, {"WHEN"}, {"FROM"}, {"MESSAGE", Table::Align::kLeft, 60}});
  for (const auto* list : {&peek.unread, &peek.read}) {
    for (const ops::MessageRow& m : *list) {
      table.AddRow({std::to_string(m.id), m.read ? "read" : "unread", m.time, Sender(m), m.content});
    }
  }
  table.Print(stdout, 2, "(no messages)");
  return kExitOk;
}

int RunInvitations(const GlobalOptions& options, const std::string& user_arg) {
  Start start = Begin(options, {user_arg});
  if (!start.ok()) return start.exit_code;
  const User& user = start.users[0];
  std::vector<ops::InvitationRow> rows;
  std::string error;
  if (!ops::ReadInvitations(user.id, &rows, &error)) return ReadFailed("the invitations of " + user.Label(), error);
  if (options.json) {
    json list = json::array();
    for (const ops::InvitationRow& row : rows) list.push_back(row.Json());
    PrintJson({{"command", "invitations"}, {"user", user.Json()}, {"count", rows.size()}, {"rows", list}});
    return kExitOk;
  }
  PrintCaption("Invitations of %s: %zu\n", user.Label().c_str(), rows.size());
  Table table({{"ID", Table::Align::kRight}, {"CODE"}, {"E-MAIL"}, {"STATE", Table::Align::kRight},
               {"GROUP", Table::Align::kRight}, {"NOTE", Table::Align::kLeft, 40}, {"ZONE", Table::Align::kRight},
               {"REPLY", Table::Align::kRight}, {"WHEN"}});
  for (const ops::InvitationRow& row : rows) {
    table.AddRow({std::to_string(row.id), row.code, row.email, std::to_string(row.state), std::to_string(row.group),
                  row.note, std::to_string(row.zone), std::to_string(row.reply), row.time});
  }
  table.Print(stdout, 2, "(no invitations)");
  return kExitOk;
}

}  // namespace zelvar::cli
