// zelvar revoke and zelvar expire: undoing goods grants made by mistake,
// shown first, confirmed, applied in one transaction and audited.
#include <charconv>
#include <ctime>
#include <cstdio>
#include <set>

#include "tools/zelvar/commands.h"
#include "tools/zelvar/ops/goods_change.h"
#include "tools/zelvar/request_support.h"
#include "tools/zelvar/table.h"
#include "util/time_text.h"

namespace zelvar::cli {
namespace {

using json = nlohmann::ordered_json;

// Row ids as given, each a positive whole number named once; false after
// printing why.
bool ParseRowIds(const std::vector<std::string>& args, const char* command, std::vector<int64_t>* ids,
                 int* exit_code) {
  std::set<int64_t> seen;
  for (const std::string& arg : args) {
    int64_t id = 0;
    const auto [end, ec] = std::from_chars(arg.data(), arg.data() + arg.size(), id);
    if (ec != std::errc() || end != arg.data() + arg.size() || id <= 0) {
      *exit_code = Fail(kExitUsage, "the goods row id '" + arg + "' is not a positive whole number; see 'zelvar " +
                                        command + " --help'");
      return false;
    }
    if (!seen.insert(id).second) {
      *exit_code = Fail(kExitUsage, "the goods row id " + arg + " is named twice");
      return false;
    }
    ids->push_back(id);
  }
  return true;
}

std::string CounterText(const ops::GoodsChange& change) {
  if (!change.row.quota()) return "";
  if (!change.speak) return "no speak counter";
  return "speak " + std::to_string(change.speak->counter) + ": " + std::to_string(change.speak->before) + " -> " +
         std::to_string(change.speak->after);
}

void PrintPlan(const ops::GoodsChangePlan& plan, const User& user) {
  const bool revoke = plan.request.kind == ops::GoodsChangeKind::kRevoke;
  std::printf("%s %zu goods %s of %s:\n", revoke ? "Revoke (remove)" : "Expire", plan.changes.size(),
              plan.changes.size() == 1 ? "row" : "rows", user.Label().c_str());
  Table table({{"ROW", Table::Align::kRight}, {"GOODS", Table::Align::kRight}, {"TYPE", Table::Align::kRight},
               {"KIND"}, {"DUE"}, {revoke ? "COUNT" : "NEW DUE"}, {revoke ? "COUNTER" : ""}});
  for (const ops::GoodsChange& change : plan.changes) {
    const ops::GoodsRow& row = change.row;
    table.AddRow({std::to_string(row.id), std::to_string(row.goods_id), std::to_string(row.type),
                  row.kind(), row.due_time.empty() ? "?" : row.due_time,
                  revoke ? (row.quota() ? std::to_string(row.buy_day) : "") : plan.request.due_time,
                  revoke ? CounterText(change) : ""});
  }
  table.Print(stdout);
}

int RunGoodsChange(const GlobalOptions& options, const char* command, ops::GoodsChangeRequest request,
                   const std::string& user_arg, const std::vector<std::string>& row_args) {
  int exit_code = kExitOk;
  if (!ParseRowIds(row_args, command, &request.row_ids, &exit_code)) return exit_code;
  Start start = Begin(options, {user_arg});
  if (!start.ok()) return start.exit_code;
  Session& session = *start.session;
  const User& user = start.users[0];
  request.user_id = user.id;
  request.now = std::time(nullptr);

  ops::GoodsChangePlan plan;
  bool refused = false;
  std::string error;
  if (!ops::PlanGoodsChange(request, &plan, &refused, &error)) {
    return Fail(kExitFailed, error + (refused ? "; nothing was changed (see 'zelvar goods " + user_arg + "')" : ""));
  }
  json out = {{"request", command}, {"user", user.Json()}, {"plan", plan.Json()}, {"dry_run", options.dry_run}};
  if (!options.json) PrintPlan(plan, user);
  if (options.dry_run) {
    if (options.json) PrintJson(out);
    else std::printf("Dry run: nothing was changed.\n");
    return kExitOk;
  }
  const std::string action = std::string(command == std::string("revoke") ? "Revoke " : "Expire ") +
                             std::to_string(plan.changes.size()) + " goods " +
                             (plan.changes.size() == 1 ? "row" : "rows") + " of " + user.Label();
  if (!Confirm(options, action, &exit_code)) return exit_code;
  if (!session.OpenAudit(&exit_code)) return exit_code;

  json args = {{"user", user.Json()}, {"row_ids", request.row_ids}};
  if (request.kind == ops::GoodsChangeKind::kExpire) args["at"] = request.due_time;
  int64_t rows_changed = 0;
  const bool done = ops::ApplyGoodsChange(plan, &rows_changed, &error);
  session.Audit(command, args, done ? "done" : "failed", rows_changed);
  if (!done) return Fail(kExitFailed, error);
  out["rows_changed"] = rows_changed;
  if (options.json) PrintJson(out);
  else std::printf("Done: %lld %s changed.\n", static_cast<long long>(rows_changed), rows_changed == 1 ? "row" : "rows");
  return kExitOk;
}

}  // namespace

int RunRevoke(const GlobalOptions& options, const std::string& user, const std::vector<std::string>& row_ids) {
  ops::GoodsChangeRequest request;
  request.kind = ops::GoodsChangeKind::kRevoke;
  return RunGoodsChange(options, "revoke", request, user, row_ids);
}

int RunExpire(const GlobalOptions& options, const std::string& user, const std::vector<std::string>& row_ids,
              const std::string& at) {
  ops::GoodsChangeRequest request;
  request.kind = ops::GoodsChangeKind::kExpire;
  if (at.empty()) {
    request.due_time = NowText();
  } else if (const auto time = ops::ParseLocalTime(at)) {
    request.due_time = *time;
  } else {
    return Fail(kExitUsage, "--at '" + at + "' is not a local time YYYY-MM-DD HH:MM[:SS] of a day that exists");
  }
  return RunGoodsChange(options, "expire", request, user, row_ids);
}

}  // namespace zelvar::cli
