// The commands of the account lookup and the goods sending.
#include <cstdio>

#include "codec/keys.h"
#include "codec/replies.h"
#include "codec/requests.h"
#include "tools/zelvar/commands.h"
#include "tools/zelvar/inputs.h"
#include "tools/zelvar/ops/limits.h"
#include "tools/zelvar/ops/writes.h"
#include "tools/zelvar/request_support.h"
#include "tools/zelvar/table.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

using json = nlohmann::ordered_json;

// The goods sending's outcome as JSON: the entries sent, the counts of the
// reply and its raw entries.
void PrintSentJson(const std::string& account, const std::vector<codec::GoodsEntry>& entries,
                   const codec::GoodsSent& sent, const std::string& image) {
  json sent_entries = json::array();
  for (const codec::GoodsEntry& e : entries) {
    sent_entries.push_back({{"goods_id", e.goods_id}, {"amount", ToNarrow(e.amount)}, {"type", e.type},
                            {"amount1", e.amount1}, {"amount2", e.amount2}});
  }
  json out = {{"request", "send"}, {"data_id", codec::kGoodsSending}, {"account", account}, {"result", sent.result},
              {"sent", static_cast<int>(entries.size())}, {"goods", sent_entries}};
  if (sent.result == 0) {
    out.update({{"granted", sent.granted}, {"amount1_sum", sent.amount1_sum}, {"amount2_sum", sent.amount2_sum}});
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
json SendArgs(const std::string& account, const std::vector<std::string>& entry_args, int by) {
  return {{"account", account}, {"entries", entry_args}, {"acting_user", by}};
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

// Audits and reports a goods sending the module answered.
int ReportSent(Session& session, const std::string& account, const std::vector<codec::GoodsEntry>& entries,
               const codec::GoodsSent& sent, const std::string& image, const json& args) {
  const GlobalOptions& options = session.options();
  const int total = static_cast<int>(entries.size());
  // The module counts the entries its own writes granted.
  const int granted = sent.result == 0 ? sent.granted : 0;
  session.Audit("send", args, granted == total ? "done" : granted > 0 ? "partly done" : "failed", granted);
  if (options.json) PrintSentJson(account, entries, sent, image);
  if (sent.result != 0) {
    return Fail(kExitFailed, "nothing was granted to '" + account + "'" + session.TakeModuleReasons() +
                                 "; check the user name with 'zelvar account " + account + "'");
  }
  if (granted == 0) {
    return Fail(kExitFailed, "nothing was granted to '" + account + "'" + GrantRefusal(account, entries) +
                                 session.TakeModuleReasons());
  }
  if (!options.json) {
    if (!options.csv) std::printf("Granted %d of %s to %s (amounts %d and %d)\n", granted, Entries(total).c_str(), account.c_str(),
                sent.amount1_sum, sent.amount2_sum);
    PrintEntries(entries);
  }
  if (granted < total) {
    const int missing = total - granted;
    return Fail(kExitFailed, std::to_string(granted) + " of " + std::to_string(total) + " entries were granted to '" +
                                 account + "'; " + std::to_string(missing) + (missing == 1 ? " was" : " were") +
                                 " not" + GrantRefusal(account, entries) + session.TakeModuleReasons());
  }
  return kExitOk;
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
            int by) {
  std::vector<codec::GoodsEntry> entries;
  for (const std::string& arg : entry_args) {
    codec::GoodsEntry entry;
    std::string error;
    if (!ParseGoodsEntry(arg, &entry, &error)) {
      return Fail(kExitUsage, error + "; nothing was sent (see 'zelvar send --help')");
    }
    entries.push_back(entry);
  }
  if (entries.empty()) return Fail(kExitUsage, "name at least one goods entry GOODS:AMOUNT:TYPE");
  if (account.empty()) return Fail(kExitUsage, "the receiving account's user name is empty");
  const std::string too_long = ops::CheckPacketText("user name", ToWide(account));
  if (!too_long.empty()) return Fail(kExitUsage, too_long + "; nothing was sent");
  const int total = static_cast<int>(entries.size());
  const std::string action = "Grant " + Entries(total) + " to " + account;
  if (options.dry_run) {
    std::printf("Would grant %s to %s; nothing was sent\n", Entries(total).c_str(), account.c_str());
    PrintEntries(entries);
    return kExitOk;
  }
  int exit_code = kExitOk;
  if (!Confirm(options, action, &exit_code)) return exit_code;
  Start start = Begin(options, {});
  if (!start.ok()) return start.exit_code;
  Session& session = *start.session;
  if (!session.OpenAudit(&exit_code)) return exit_code;
  CKParam request = codec::SendGoodsRequest(ToWide(account), entries);
  if (!session.SaveImages(&request, nullptr)) return kExitUsage;
  std::string image;
  const json args = SendArgs(account, entry_args, by);
  if (session.module().Record(by, codec::kGoodsSending, request, &image) != 0 || image.empty()) {
    session.Audit("send", args, "failed", 0);
    return Fail(kExitFailed, "the module handed out no reply to the goods sending; nothing is known to be granted" +
                                 session.TakeModuleReasons());
  }
  if (!session.SaveImages(nullptr, &image)) return kExitUsage;
  CKParam reply;
  codec::GoodsSent sent;
  std::string error;
  if (reply.SetBufferPtr(image.data(), static_cast<int>(image.size())) != 0 || !codec::ReadGoodsSent(reply, &sent, &error)) {
    session.Audit("send", args, "failed", 0);
    return Fail(kExitFailed, "the module's reply to the goods sending is not usable: " + error);
  }
  return ReportSent(session, account, entries, sent, image, args);
}

}  // namespace zelvar::cli
