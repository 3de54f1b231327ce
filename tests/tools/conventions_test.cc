// The tool's conventions: version and help, suggestions for mistyped
// commands, a plain SQLite path for --db, JSON errors, the module's log
// lines glossed, and the audit trail read back.
#include <fstream>

#include <gtest/gtest.h>

#include "tool_runner.h"
#include "tools/zelvar/ops/audit.h"

namespace zelvar::test {
namespace {

using json = nlohmann::json;

TEST(ToolConventions, VersionHelpAndSuggestions) {
  ScratchFolder folder;
  const ToolRun version = RunTool(folder, {"--version"});
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_EQ(version.out.rfind("zelvar ", 0), 0u) << version.out;

  const ToolRun help = RunTool(folder, {"help", "packet", "decode"});
  EXPECT_EQ(help.status, 0) << help.err;
  EXPECT_NE(help.out.find("Usage: zelvar packet decode"), std::string::npos) << help.out;

  const ToolRun typo = RunTool(folder, {"frends", "lina"});
  EXPECT_EQ(typo.status, 64);
  EXPECT_NE(typo.err.find("did you mean 'friends'?"), std::string::npos) << typo.err;
  const ToolRun help_typo = RunTool(folder, {"help", "sned"});
  EXPECT_EQ(help_typo.status, 64);
  EXPECT_NE(help_typo.err.find("did you mean 'send'?"), std::string::npos) << help_typo.err;
}

TEST(ToolConventions, PlainPathJsonErrorsAndGlossedLog) {
  ScratchFolder folder;
  ASSERT_EQ(RunTool(folder, {"--db", "world.db", "init", "--demo"}).status, 0);
  EXPECT_TRUE(folder.Exists("world.db"));
  EXPECT_EQ(RunTool(folder, {"--db", "world.db", "friends", "lina"}).status, 0);

  // With --json a failure is a JSON object on stdout too, with its status.
  const ToolRun missing = RunTool(folder, {"--json", "--db", "gone.db", "friends", "lina"});
  EXPECT_EQ(missing.status, 2);
  const json error = json::parse(missing.out, nullptr, false);
  ASSERT_TRUE(error.is_object()) << missing.out;
  EXPECT_EQ(error["status"], 2);
  EXPECT_NE(error["error"].get<std::string>().find("gone.db"), std::string::npos);

  const ToolRun account = RunTool(folder, {"-v", "--db", "world.db", "account", "lina"});
  EXPECT_EQ(account.status, 0) << account.err;
  EXPECT_NE(account.err.find("[the account was found and sent back]"), std::string::npos) << account.err;
}

// A database that can't be reached is status 2 with the driver's own
// reason, not a generic line.
TEST(ToolConventions, UnreachableDatabaseSaysWhy) {
  ScratchFolder folder;
  const ToolRun down = RunTool(
      folder, {"--db", "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Database=game;Uid=zelvar;Pwd=secret",
               "friends", "lina"});
  EXPECT_EQ(down.status, 2);
  ASSERT_EQ(down.ErrLines().size(), 1u) << down.err;
  EXPECT_NE(down.err.find("Connection refused"), std::string::npos) << down.err;
  EXPECT_EQ(down.err.find("secret"), std::string::npos) << down.err;
}

TEST(ToolConventions, AuditTrailReadBackSinceATime) {
  ScratchFolder folder;
  const std::string path = folder.File("trail/audit.jsonl");
  std::string error;
  auto trail = ops::AuditTrail::Open(path, &error);
  ASSERT_NE(trail, nullptr) << error;
  ops::AuditRecord record;
  record.operator_name = "wen";
  record.command = "send";
  record.args = {{"account", "lina"}};
  record.outcome = "done";
  record.rows_changed = 2;
  ASSERT_TRUE(trail->Append(record, &error)) << error;
  // A line written by hand a year ago, as another version might have.
  std::ofstream(path, std::ios::app)
      << R"({"time":"2025-12-01T10:00:00+08:00","operator":"li","command":"revoke","args":{},"outcome":"done","rows_changed":1})"
      << "\n";

  const ToolRun all = RunTool(folder, {"--json", "--audit", path, "audit"});
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(json::parse(all.out)["count"], 2);
  const ToolRun recent = RunTool(folder, {"--json", "--audit", path, "audit", "--since", "30d"});
  ASSERT_EQ(recent.status, 0) << recent.err;
  const json rows = json::parse(recent.out)["rows"];
  ASSERT_EQ(rows.size(), 1u) << recent.out;
  EXPECT_EQ(rows[0]["operator"], "wen");
  EXPECT_EQ(rows[0]["rows_changed"], 2);
  EXPECT_EQ(RunTool(folder, {"--audit", path, "audit", "--since", "yesterday"}).status, 64);
  folder.Write("bad.jsonl", "not json\n");
  EXPECT_EQ(RunTool(folder, {"--audit", folder.File("bad.jsonl"), "audit"}).status, 1);
}

}  // namespace
}  // namespace zelvar::test
