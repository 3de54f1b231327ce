// Running the zelvar tool from tests.
#include "tool_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

namespace zelvar::test {

std::vector<std::string> ToolRun::ErrLines() const {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

ScratchFolder::ScratchFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zelvar-tool-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

bool ScratchFolder::Exists(const std::string& name) const { return std::filesystem::exists(File(name)); }

void ScratchFolder::Write(const std::string& name, const std::string& bytes) const {
  std::ofstream(File(name), std::ios::binary) << bytes;
}

std::string ScratchFolder::Read(const std::string& name) const {
  std::ifstream in(File(name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ToolRun RunTool(const ScratchFolder& folder, const std::vector<std::string>& args, const std::string& input) {
  return FinishTool(folder, StartTool(folder, args, input));
}

pid_t StartTool(const ScratchFolder& folder, const std::vector<std::string>& args, const std::string& input) {
  const std::string out_path = folder.File(".tool-out"), err_path = folder.File(".tool-err"),
                    in_path = folder.File(".tool-in");
  folder.Write(".tool-in", input);
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(folder.path().c_str()) != 0) _exit(126);
    const int in = open(in_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    unsetenv("ZELVAR_DB");
    // Never the audit trail in the home folder.
    setenv("ZELVAR_AUDIT", (folder.path() + "/audit.jsonl").c_str(), 1);
    std::vector<char*> argv;
    std::string tool = ZELVAR_CLI_PATH;
    argv.push_back(tool.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

ToolRun FinishTool(const ScratchFolder& folder, pid_t pid) {
  ToolRun run;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  run.out = folder.Read(".tool-out");
  run.err = folder.Read(".tool-err");
  return run;
}

nlohmann::json RunToolJson(const ScratchFolder& folder, std::vector<std::string> args) {
  args.insert(args.begin(), "--json");
  const ToolRun run = RunTool(folder, args);
  EXPECT_EQ(run.status, 0) << run.err;
  nlohmann::json parsed = nlohmann::json::parse(run.out, nullptr, false);
  EXPECT_FALSE(parsed.is_discarded()) << run.out;
  return parsed;
}

std::vector<std::vector<std::string>> QueryRows(const std::string& db_path, const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(db);
    return rows;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int c = 0; c < sqlite3_column_count(statement); ++c) {
        const auto* text = sqlite3_column_text(statement, c);
        row.push_back(text == nullptr ? "NULL" : reinterpret_cast<const char*>(text));
      }
      rows.push_back(std::move(row));
    }
  } else {
    rows.push_back({"error: " + std::string(sqlite3_errmsg(db))});
  }
  sqlite3_finalize(statement);
  sqlite3_close_v2(db);
  return rows;
}

std::string QueryText(const std::string& db_path, const std::string& sql) {
  const auto rows = QueryRows(db_path, sql);
  return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

std::string TableDump(const std::string& db_path, const std::string& table) {
  std::string dump;
  for (const auto& row : QueryRows(db_path, "SELECT * FROM " + table + " ORDER BY 1")) {
    for (const std::string& value : row) dump += value + "|";
    dump += "\n";
  }
  return dump;
}

long long LocalSeconds(const std::string& text) {
  std::tm local{};
  if (strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &local) == nullptr) return -1;
  local.tm_isdst = -1;
  return static_cast<long long>(std::mktime(&local));
}

void DemoToolTest::SetUp() {
  ASSERT_FALSE(folder_.path().empty());
  const ToolRun init = Run({"init", "--demo"});
  ASSERT_EQ(init.status, 0) << init.err;
  db_ = folder_.File("zelvar.db");
}

std::string DemoToolTest::Id(const std::string& user_name) {
  return QueryText(db_, "SELECT nId FROM tblUser WHERE sUsername = '" + user_name + "'");
}

void DemoToolTest::Exec(const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

std::string DemoToolTest::Dump() {
  std::string dump;
  for (const char* table : kToolTables) dump += TableDump(db_, table);
  return dump;
}

std::vector<std::string> DemoToolTest::AuditLines() {
  std::vector<std::string> lines;
  std::istringstream in(folder_.Exists("audit.jsonl") ? folder_.Read("audit.jsonl") : "");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void DemoToolTest::ExpectRefused(const std::vector<std::string>& args, int status, const std::string& says) {
  const std::string before = Dump();
  const ToolRun run = Run(args);
  EXPECT_EQ(run.status, status) << run.out << run.err;
  ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
  EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
  EXPECT_EQ(Dump(), before);
}

}  // namespace zelvar::test
