// The invite command: invitation records from options or a CSV file,
// imported request by request with the stored rows counted (see
// ops/invite_import.h).
#include <cstdio>

#include "codec/keys.h"
#include "tools/zelvar/commands.h"
#include "tools/zelvar/inputs.h"
#include "tools/zelvar/ops/invite_import.h"
#include "tools/zelvar/ops/limits.h"
#include "tools/zelvar/request_support.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

using json = nlohmann::ordered_json;

// The rows from --csv or the options; false after printing why (usage).
bool ReadRows(const InviteOptions& invite, std::vector<codec::Invitation>* rows, int* exit_code) {
  if (!invite.csv_file.empty()) {
    if (!invite.code.empty() || !invite.email.empty()) {
      *exit_code = Fail(kExitUsage, "give the rows either in --csv or with --code and --email, not both");
      return false;
    }
    std::string content, error;
    if (!ReadFile(invite.csv_file, &content, &error)) {
      *exit_code = Fail(kExitUsage, error);
      return false;
    }
    if (!ParseInviteCsv(content, rows, &error)) {
      *exit_code = Fail(kExitUsage, invite.csv_file + ": " + error + "; see 'zelvar invite --help' for the format");
      return false;
    }
  } else {
    if (invite.code.empty() || invite.email.empty()) {
      *exit_code = Fail(kExitUsage, "an invitation needs --code and --email (or many rows with --csv FILE)");
      return false;
    }
    rows->push_back({ToWide(invite.code), invite.state, ToWide(invite.email), invite.group, ToWide(invite.note),
                     invite.zone, invite.reply});
  }
  for (size_t i = 0; i < rows->size(); ++i) {
    const std::string too_long = ops::CheckInvitationLimits((*rows)[i]);
    if (!too_long.empty()) {
      *exit_code = Fail(kExitUsage, (invite.csv_file.empty() ? "" : "row " + std::to_string(i + 1) + ": ") +
                                        too_long + "; nothing was sent");
      return false;
    }
  }
  return true;
}

std::string Invitations(int64_t n) { return std::to_string(n) + (n == 1 ? " invitation" : " invitations"); }

}  // namespace

int RunInvite(const GlobalOptions& options, const std::string& user_arg, const InviteOptions& invite) {
  std::vector<codec::Invitation> rows;
  int exit_code = kExitOk;
  if (!ReadRows(invite, &rows, &exit_code)) return exit_code;
  Start start = Begin(options, {user_arg});
  if (!start.ok()) return start.exit_code;
  Session& session = *start.session;
  const User& user = start.users[0];
  const int64_t total = static_cast<int64_t>(rows.size());
  int64_t skipped = 0;
  std::string error;
  if (!ops::SkipStoredInvitations(user.id, &rows, &skipped, &error)) return Fail(kExitFailed, error + "; nothing was sent");
  const std::string skipped_text =
      skipped == 0 ? "" : "; " + std::to_string(skipped) + " skipped, their codes already stored for " + user.Label();
  if (options.dry_run) {
    std::printf("Would store %s of %s%s\n", Invitations(static_cast<int64_t>(rows.size())).c_str(),
                user.Label().c_str(), skipped_text.c_str());
    return kExitOk;
  }
  if (!session.OpenAudit(&exit_code)) return exit_code;
  if (!rows.empty()) {
    const std::vector<codec::Invitation> first(rows.begin(), rows.begin() + std::min<size_t>(rows.size(), ops::kInvitationsPerRequest));
    CKParam request = codec::InvitationsRequest(first, invite.log_sql);
    if (!session.SaveImages(&request, nullptr)) return kExitUsage;
  }
  ops::ImportResult result;
  {
    ops::InterruptFlag interrupt;
    result = ops::ImportInvitations(
        user.id, rows, invite.log_sql,
        [&](CKParam& packet) { return session.module().Put(user.id, codec::kStoreInvitations, packet); },
        interrupt.flag());
  }
  const int64_t to_store = static_cast<int64_t>(rows.size());
  const bool all = result.error.empty() && !result.interrupted && result.stored == to_store;
  const char* outcome = result.interrupted ? "interrupted" : all ? "done" : result.stored > 0 ? "partly done" : "failed";
  session.Audit("invite", {{"user", user.Json()}, {"rows", total}, {"skipped", skipped}, {"csv", invite.csv_file}},
                outcome, result.stored);
  if (options.json) {
    json out = {{"request", "invite"}, {"command", codec::kStoreInvitations}, {"user", user.Json()},
                {"rows", total}, {"skipped", skipped}};
    out.update(result.Json());
    PrintJson(out);
  }
  const std::string summary = "stored " + std::to_string(result.stored) + " of " + Invitations(to_store) + " of " +
                              user.Label() + " in " + std::to_string(result.requests) +
                              (result.requests == 1 ? " request" : " requests") + skipped_text;
  if (result.interrupted) {
    return Fail(kExitInterrupted, "stopped by Ctrl-C: " + summary +
                                      "; run the same command again to store the rest (stored codes are skipped)");
  }
  if (!result.error.empty()) return Fail(kExitFailed, summary + "; then the rows could not be counted: " + result.error);
  if (!all) {
    return Fail(kExitFailed, summary + (result.reason.empty() ? "" : "; the database's reason: " + result.reason) +
                                 session.TakeModuleReasons());
  }
  if (!options.json) {
    std::printf("S%s%s\n", summary.substr(1).c_str(), invite.log_sql ? "; their statements are in ZelvarSQL.log" : "");
  }
  return kExitOk;
}

}  // namespace zelvar::cli
