// The commands of the account lookup and the goods sending.
#include <algorithm>
#include <cstdio>
#include <optional>

#include "codec/keys.h"
#include "codec/replies.h"
#include "codec/requests.h"
#include "tools/zelvar/commands.h"
#include "tools/zelvar/inputs.h"
#include "tools/zelvar/ops/goods_view.h"
#include "tools/zelvar/ops/limits.h"
#include "tools/zelvar/ops/writes.h"
#include "tools/zelvar/request_support.h"
#include "tools/zelvar/table.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

using json = nlohmann::ordered_json;

// A goods sending as the command line gives it.
struct Sending {
  std::string account;
  std::vector<codec::GoodsEntry> entries;
  std::vector<std::string> entry_args;
  int by = 0;
  std::optional<std::string> order_id;
  int64_t recorded_before = 0;  // with an order: its entries recorded before this sending

  int total() const { return static_cast<int>(entries.size()); }
};

// What the reply says was granted. Without an order: the entries granted
// now. With one: every entry recorded under the order, so the ones
// granted now are those recorded since the count before the sending.
struct Granted {
  int recorded = 0;
  int64_t now = 0;
};

Granted GrantedBy(const Sending& sending, const codec::GoodsSent& sent) {
  Granted granted;
  granted.recorded = sent.result == 0 ? sent.granted : 0;
  granted.now = sending.order_id ? std::max<int64_t>(0, granted.recorded - sending.recorded_before) : granted.recorded;
  return granted;
}

// The goods sending's outcome as JSON: the entries sent, the counts of the
// reply and its raw entries.
void PrintSentJson(const Sending& sending, const codec::GoodsSent& sent, const std::string& image) {
  json sent_entries = json::array();
  for (const codec::GoodsEntry& e : sending.entries) {
    sent_entries.push_back({{"goods_id", e.goods_id}, {"amount", ToNarrow(e.amount)}, {"type", e.type},
                            {"amount1", e.amount1}, {"amount2", e.amount2}});
  }
  json out = {{"request", "send"}, {"data_id", codec::kGoodsSending}, {"account", sending.account},
              {"result", sent.result}, {"sent", sending.total()}, {"goods", sent_entries}};
  if (sent.result == 0) {
    out.update({{"granted", sent.granted}, {"amount1_sum", sent.amount1_sum}, {"amount2_sum", sent.amount2_sum}});
  }
  if (sending.order_id) {
    out["order"] = *sending.order_id;
    out["order_repeated"] = sent.order_repeated ? json(*sent.order_repeated != 0) : json(nullptr);
    if (sent.result == 0) out["granted_now"] = GrantedBy(sending, sent).now;
  }
  out["entries"] = EntriesJson(EntriesOf(image));
  PrintJson(out);
}

// The entries of a goods sending as a table.
void PrintEntries(const std::vector<codec::GoodsEntry>& entries) {
  Table table({{"GOODS", Table::Align::kRight}, {"AMOUNT"}, {"TYPE", Table::Align::kRight}, {"KIND"},
               {"A1", Table::Align::kRight}, {"A2", Table::Align::kRight}});
  for (const codec::GoodsEntry& e : entries) {
    table.AddRow({std::to_string(e.goods_id), ToNarrow(e.amount), std::to_string(e.type),
                  codec::IsQuotaType(e.type) ? "quota" : "time-limited", std::to_string(e.amount1),
                  std::to_string(e.amount2)});
  }
  table.Print(stdout);
}

std::string Entries(int n) { return std::to_string(n) + (n == 1 ? " entry" : " entries"); }

// The audit line's arguments of a goods sending.
json SendArgs(const Sending& sending) {
  json args = {{"account", sending.account}, {"entries", sending.entry_args}, {"acting_user", sending.by}};
  if (sending.order_id) args["order"] = *sending.order_id;
  return args;
}

// ": REASON" when the database refuses a goods row for the account, or
// empty. The module's log holds the statement that failed, not why.
std::string GrantRefusal(const std::string& account, const std::vector<codec::GoodsEntry>& entries) {
  std::string error;
  const auto user_id = ops::UserIdByName(ToWide(account), &error);
  if (!user_id || entries.empty()) return "";
  const std::string reason = ops::WriteRefusal(ops::InsertGoods(static_cast<int32_t>(*user_id), entries[0]));
  return reason.empty() ? "" : ": " + reason;
}

// The first line of a granted sending: of a repeated order, what this
// sending added to what was granted before.
void PrintGranted(const Sending& sending, const codec::GoodsSent& sent, const Granted& granted) {
  const std::string account = sending.account;
  const std::string total = Entries(sending.total());
  if (!sending.order_id || sent.order_repeated.value_or(0) == 0) {
    std::printf("Granted %d of %s to %s%s (amounts %d and %d)\n", granted.recorded, total.c_str(), account.c_str(),
                sending.order_id ? (" under order " + *sending.order_id).c_str() : "", sent.amount1_sum,
                sent.amount2_sum);
    return;
  }
  const std::string again = granted.now == 0 ? "already granted before, granted again: nothing"
                                             : "partly granted before, granted now: " + Entries(granted.now);
  std::printf("Order %s of %s: %s (%d of %s recorded under it, amounts %d and %d)\n", sending.order_id->c_str(),
              account.c_str(), again.c_str(), granted.recorded, total.c_str(), sent.amount1_sum, sent.amount2_sum);
}

// Audits and reports a goods sending the module answered.
int ReportSent(Session& session, const Sending& sending, const codec::GoodsSent& sent, const std::string& image) {
  const GlobalOptions& options = session.options();
  const std::string& account = sending.account;
  const int total = sending.total();
  // The module counts the entries its own writes granted.
  const Granted granted = GrantedBy(sending, sent);
  session.Audit("send", SendArgs(sending),
                granted.recorded == total ? "done" : granted.recorded > 0 ? "partly done" : "failed", granted.now);
  if (options.json) PrintSentJson(sending, sent, image);
  if (sent.result != 0) {
    return Fail(kExitFailed, "nothing was granted to '" + account + "'" + session.TakeModuleReasons() +
                                 "; check the user name with 'zelvar account " + account + "'" +
                                 (sending.order_id ? " and that the order is this account's" : ""));
  }
  if (granted.recorded == 0) {
    return Fail(kExitFailed, "nothing was granted to '" + account + "'" + GrantRefusal(account, sending.entries) +
                                 session.TakeModuleReasons());
  }
  if (!options.json) {
    if (!options.csv) PrintGranted(sending, sent, granted);
    PrintEntries(sending.entries);
  }
  if (granted.recorded < total) {
    const int missing = total - granted.recorded;
    return Fail(kExitFailed, std::to_string(granted.recorded) + " of " + std::to_string(total) +
                                 " entries were granted to '" + account + "'; " + std::to_string(missing) +
                                 (missing == 1 ? " was" : " were") + " not" + GrantRefusal(account, sending.entries) +
                                 session.TakeModuleReasons());
  }
  if (sending.order_id && !sent.order_repeated) {
    return Fail(kExitFailed, "the module's reply does not say whether order " + *sending.order_id +
                                 " was granted before: this libzelvar.so keeps no orders, so the entries were "
                                 "granted as a sending without one");
  }
  return kExitOk;
}

// The entries recorded under the sending's order before it is sent; false
// after printing why (the order table is missing: nothing is sent).
bool CountRecordedBefore(Session& session, Sending* sending, int* exit_code) {
  std::optional<int64_t> count;
  std::string error;
  if (!ops::CountOrderEntries(session.product(), *sending->order_id, &count, &error)) {
    *exit_code = Fail(kExitFailed, "cannot read order " + *sending->order_id + ": " + error + "; nothing was sent");
    return false;
  }
  if (!count) {
    *exit_code = Fail(kExitFailed, "the database has no tblGoodsOrder, so it can't keep orders; add it with "
                                   "'zelvar migrate' (nothing was sent)");
    return false;
  }
  sending->recorded_before = *count;
  return true;
}

// The sending from the command line; false after printing why it is not
// one (usage, nothing sent).
bool ParseSending(const std::string& account, const std::vector<std::string>& entry_args,
                  const std::optional<std::string>& order_id, Sending* sending, int* exit_code) {
  sending->account = account;
  sending->entry_args = entry_args;
  sending->order_id = order_id;
  for (const std::string& arg : entry_args) {
    codec::GoodsEntry entry;
    std::string error;
    if (!ParseGoodsEntry(arg, &entry, &error)) {
      *exit_code = Fail(kExitUsage, error + "; nothing was sent (see 'zelvar send --help')");
      return false;
    }
    sending->entries.push_back(entry);
  }
  std::string refusal;
  if (sending->entries.empty()) refusal = "name at least one goods entry GOODS:AMOUNT:TYPE";
  else if (account.empty()) refusal = "the receiving account's user name is empty";
  else if (const std::string too_long = ops::CheckPacketText("user name", ToWide(account)); !too_long.empty()) {
    refusal = too_long + "; nothing was sent";
  } else if (order_id && order_id->empty()) {
    refusal = "the order id is empty; give 1 to " + std::to_string(codec::kMaxOrderIdLength) +
              " characters; nothing was sent";
  } else if (order_id) {
    refusal = ops::CheckTextLimit(ops::kOrderId, ToWide(*order_id));
    if (!refusal.empty()) refusal += "; nothing was sent";
  }
  if (refusal.empty()) return true;
  *exit_code = Fail(kExitUsage, refusal);
  return false;
}

}  // namespace

int RunAccount(const GlobalOptions& options, const std::string& user_name) {
  if (const auto id = ParseInt32(user_name)) return RunAccountById(options, *id);
  const std::string too_long = ops::CheckPacketText("user name", ToWide(user_name));
  if (!too_long.empty()) return Fail(kExitUsage, too_long);
  Start start = Begin(options, {});
  if (!start.ok()) return start.exit_code;
  Session& session = *start.session;
  CKParam request = codec::AccountRequest(ToWide(user_name));
  if (!session.SaveImages(&request, nullptr)) return kExitUsage;
  std::string image;
  if (session.module().Record(0, codec::kAccountLookup, request, &image) != 0 || image.empty()) {
    return Fail(kExitFailed, "the module handed out no reply to the account lookup" + session.TakeModuleReasons());
  }
  if (!session.SaveImages(nullptr, &image)) return kExitUsage;
  CKParam reply;
  codec::Account account;
  std::string error;
  if (reply.SetBufferPtr(image.data(), static_cast<int>(image.size())) != 0 ||
      !codec::ReadAccount(reply, codec::kAccountLookup, &account, &error)) {
    return Fail(kExitFailed, "the module's reply to the account lookup is not usable: " + error);
  }
  if (options.json) {
    json out = {{"request", "account"}, {"data_id", codec::kAccountLookup}, {"user_name", user_name},
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
                                 "; user names are matched exactly" + DidYouMean(user_name));
  }
  if (!options.json) {
    PrintCaption("Account %s\n", user_name.c_str());
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
            int by, const std::optional<std::string>& order_id) {
  Sending sending;
  sending.by = by;
  int exit_code = kExitOk;
  if (!ParseSending(account, entry_args, order_id, &sending, &exit_code)) return exit_code;
  const std::string under = order_id ? " under order " + *order_id : "";
  if (options.dry_run) {
    std::printf("Would grant %s to %s%s; nothing was sent\n", Entries(sending.total()).c_str(), account.c_str(),
                under.c_str());
    PrintEntries(sending.entries);
    return kExitOk;
  }
  if (!Confirm(options, "Grant " + Entries(sending.total()) + " to " + account + under, &exit_code)) return exit_code;
  Start start = Begin(options, {});
  if (!start.ok()) return start.exit_code;
  Session& session = *start.session;
  if (!session.OpenAudit(&exit_code)) return exit_code;
  if (order_id && !CountRecordedBefore(session, &sending, &exit_code)) return exit_code;
  CKParam request = codec::SendGoodsRequest(ToWide(account), sending.entries, ToWide(order_id.value_or("")));
  if (!session.SaveImages(&request, nullptr)) return kExitUsage;
  std::string image;
  if (session.module().Record(by, codec::kGoodsSending, request, &image) != 0 || image.empty()) {
    session.Audit("send", SendArgs(sending), "failed", 0);
    return Fail(kExitFailed, "the module handed out no reply to the goods sending; nothing is known to be granted" +
                                 session.TakeModuleReasons());
  }
  if (!session.SaveImages(nullptr, &image)) return kExitUsage;
  CKParam reply;
  codec::GoodsSent sent;
  std::string error;
  if (reply.SetBufferPtr(image.data(), static_cast<int>(image.size())) != 0 || !codec::ReadGoodsSent(reply, &sent, &error)) {
    session.Audit("send", SendArgs(sending), "failed", 0);
    return Fail(kExitFailed, "the module's reply to the goods sending is not usable: " + error);
  }
  return ReportSent(session, sending, sent, image);
}

}  // namespace zelvar::cli
