// Running the built zelvar tool from tests: a scratch folder per test, the
// tool run in it with its output captured, and the SQLite file read back
// directly, outside the module.
#ifndef ZELVAR_TESTS_TOOLS_TOOL_RUNNER_H_
#define ZELVAR_TESTS_TOOLS_TOOL_RUNNER_H_

#include <sqlite3.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace zelvar::test {

struct ToolRun {
  int status = -1;  // the exit status; -1 when the tool did not exit normally
  std::string out, err;
  // The stderr lines.
  std::vector<std::string> ErrLines() const;
};

// A fresh folder under the system's temporary folder, removed at the end.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  bool Exists(const std::string& name) const;
  void Write(const std::string& name, const std::string& bytes) const;
  std::string Read(const std::string& name) const;

 private:
  std::string path_;
};

// Runs the tool with `args` in `folder`, without ZELVAR_DB in its
// environment and with the audit trail in `folder` (audit.jsonl),
// standard input from `input` when given.
ToolRun RunTool(const ScratchFolder& folder, const std::vector<std::string>& args,
                const std::string& input = "");

// RunTool in two halves, for signalling the tool while it runs: StartTool
// returns its process id, FinishTool waits for it and reads its output.
pid_t StartTool(const ScratchFolder& folder, const std::vector<std::string>& args, const std::string& input = "");
ToolRun FinishTool(const ScratchFolder& folder, pid_t pid);

// Runs the tool with --json before `args`; the parsed output, after
// failing the test unless the tool succeeded with JSON on stdout.
nlohmann::json RunToolJson(const ScratchFolder& folder, std::vector<std::string> args);

// The tables the tool's init creates.
inline constexpr const char* kToolTables[] = {"tblUser",           "tblFriend",          "tblUserMsg",
                                              "tblFriendTradeHistory", "tblFriendTradeItem", "tblInviteRecord",
                                              "tblUserGoods",          "tblGoodsOrder",      "tblWriteGuard"};

// The rows of `sql` on the SQLite file, every value as text ("NULL" for
// NULL).
std::vector<std::vector<std::string>> QueryRows(const std::string& db_path, const std::string& sql);
std::string QueryText(const std::string& db_path, const std::string& sql);
// Every row of a table, for checking that a failed command changed nothing.
std::string TableDump(const std::string& db_path, const std::string& table);

// Seconds since 1970 of a local time text YYYY-MM-DD HH:MM:SS.
long long LocalSeconds(const std::string& text);

// A test against a fresh SQLite demo world (zelvar init --demo) in a
// scratch folder of its own, with the audit trail in that folder.
class DemoToolTest : public testing::Test {
 protected:
  void SetUp() override;

  ToolRun Run(const std::vector<std::string>& args, const std::string& input = "") {
    return RunTool(folder_, args, input);
  }
  // Runs a command with --json; fails the test unless it succeeds with
  // JSON on stdout.
  nlohmann::json RunJson(std::vector<std::string> args) { return RunToolJson(folder_, std::move(args)); }

  std::string Id(const std::string& user_name);
  // Runs SQL on the test's file directly, as a DBA would.
  void Exec(const std::string& sql);
  // Every row of every table.
  std::string Dump();
  // The lines of the audit trail.
  std::vector<std::string> AuditLines();

  // A failure is one line on stderr saying `says`, and the tables stay as
  // they were.
  void ExpectRefused(const std::vector<std::string>& args, int status, const std::string& says);

  ScratchFolder folder_;
  std::string db_;
};

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_TOOLS_TOOL_RUNNER_H_
