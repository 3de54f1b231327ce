// zelvar migrate: the tables of the shipped schema that a database set up
// from an older one lacks, shown, confirmed, created and audited.
#include <cstdio>

#include "tools/zelvar/commands.h"
#include "tools/zelvar/ops/migrate.h"
#include "tools/zelvar/text_util.h"

namespace zelvar::cli {
namespace {

using json = nlohmann::ordered_json;

std::string Tables(size_t n) { return std::to_string(n) + (n == 1 ? " table" : " tables"); }

// "tblGoodsOrder (index tblGoodsOrder_nUserId)".
std::string CreationText(const ops::TableCreation& creation) {
  if (creation.indexes.empty()) return creation.table;
  const char* word = creation.indexes.size() == 1 ? "index " : "indexes ";
  return creation.table + " (" + word + JoinNames(creation.indexes) + ")";
}

// Says `line` unless the output is JSON.
void Say(const GlobalOptions& options, const std::string& line) {
  if (!options.json) std::printf("%s\n", line.c_str());
}

// Creates what the plan shows and reports it; the failure names what was
// created before it.
int Apply(Session& session, const ops::MigrationPlan& plan, json* out) {
  const GlobalOptions& options = session.options();
  const ops::MigrationResult result = ops::ApplyMigration(session.product(), plan);
  const std::string outcome = result.ok() ? "done" : result.tables_created.empty() ? "failed" : "partly done";
  session.Audit("migrate", {{"schema", plan.schema_path}, {"tables", plan.Tables()}}, outcome, 0);
  if (!result.ok()) {
    const std::string created = result.tables_created.empty()
                                    ? "none was created"
                                    : "created before it: " + JoinNames(result.tables_created);
    return Fail(kExitFailed, "creating the missing tables failed: " + result.error + "; " + created);
  }
  for (const ops::TableCreation& creation : plan.creations) Say(options, "Created:  " + CreationText(creation));
  (*out)["tables_created"] = result.tables_created;
  if (options.json) PrintJson(*out);
  else std::printf("Done: %s created.\n", Tables(result.tables_created.size()).c_str());
  return kExitOk;
}

}  // namespace

int RunMigrate(const GlobalOptions& options, const std::string& schema_dir) {
  int exit_code = kExitOk;
  auto session = Session::Open(options, &exit_code);
  if (!session) return exit_code;
  const std::string where = DatabaseInWords(options.db, session->product());
  ops::MigrationPlan plan;
  bool refused = false;
  std::string error;
  if (!ops::PlanMigration(session->product(), schema_dir, &plan, &refused, &error)) return Fail(kExitFailed, error);
  json out = {{"request", "migrate"}, {"database", where}, {"schema", plan.schema_path}, {"dry_run", options.dry_run}};
  Say(options, "Database: " + where);
  Say(options, "Schema:   " + plan.schema_path);
  if (plan.creations.empty()) {
    out["tables_created"] = json::array();
    Say(options, "Tables:   all " + Tables(plan.present.size()) + " there, nothing to create");
    if (options.json) PrintJson(out);
    return kExitOk;
  }
  for (const ops::TableCreation& creation : plan.creations) Say(options, "Missing:  " + CreationText(creation));
  if (!plan.one_transaction) {
    Say(options, "Note:     " + session->product() + " commits each table on its own: a failure stops at that table");
  }
  if (options.dry_run) {
    out["tables_to_create"] = plan.Json()["create"];
    out["tables_created"] = json::array();
    if (options.json) PrintJson(out);
    else std::printf("Dry run: nothing was created.\n");
    return kExitOk;
  }
  const std::string action =
      "Create " + Tables(plan.creations.size()) + " (" + JoinNames(plan.Tables()) + ") in " + where;
  if (!Confirm(options, action, &exit_code)) return exit_code;
  if (!session->OpenAudit(&exit_code)) return exit_code;
  return Apply(*session, plan, &out);
}

}  // namespace zelvar::cli
