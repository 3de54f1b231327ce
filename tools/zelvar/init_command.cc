// zelvar init: the tables from the shipped schema and, on request, the
// demo world, on the database the connection string names.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "db/connection_string.h"
#include "tools/zelvar/admin_db.h"
#include "tools/zelvar/commands.h"
#include "tools/zelvar/demo_world.h"
#include "tools/zelvar/text_util.h"

namespace zelvar::cli {
namespace {

std::string ExecutableFolder() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  std::string text(path, static_cast<size_t>(n));
  return text.substr(0, text.rfind('/'));
}

// The installed schema folder (relative to the installed tool), else the
// source tree's.
std::string DefaultSchemaFolder() {
  const std::string installed =
      std::filesystem::path(ExecutableFolder() + "/" + ZELVAR_SCHEMA_FROM_BIN).lexically_normal().string();
  if (access((installed + "/sqlite.sql").c_str(), R_OK) == 0) return installed;
  return ZELVAR_SOURCE_SCHEMA_DIR;
}

std::string Join(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

}  // namespace

int RunInit(const GlobalOptions& options, bool demo, const std::string& schema_dir) {
  const db::ConnectionTarget target = db::ResolveConnectionString(options.db);
  if (target.kind == db::ConnectionTarget::Kind::kInvalid) {
    return Fail(kExitUsage, "the connection string '" + MaskPassword(options.db) + "' is not usable: " + target.error +
                                "; see 'zelvar --help' for the forms it takes");
  }
  std::string error;
  std::unique_ptr<AdminDb> db;
  std::string where;
  // A file this run created goes again when the run fails: a failed init
  // leaves things as they were.
  struct NewFile {
    std::string path;
    std::unique_ptr<AdminDb>* db;
    bool keep = false;
    ~NewFile() {
      if (path.empty() || keep) return;
      db->reset();
      for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((path + suffix).c_str());
    }
  } new_file{"", &db};
  if (target.kind == db::ConnectionTarget::Kind::kSqlite) {
    bool created = false;
    db = OpenSqliteAdmin(target.sqlite_path, true, &created, &error);
    if (!db) return Fail(kExitFailed, error + "; name another file with --db");
    if (created) new_file.path = target.sqlite_path;
    where = "SQLite file " + target.sqlite_path + (created ? " (created)" : " (already there)");
  } else {
    db = OpenOdbcAdmin(target.odbc, &error);
    if (!db) {
      return Fail(kExitFailed, "cannot connect to '" + MaskPassword(options.db) + "': " + error +
                                   "; check the server, the login and the ODBC driver (odbcinst -q -d)");
    }
    where = db->ProductName() + " through ODBC";
  }

  const std::string folder = schema_dir.empty() ? DefaultSchemaFolder() : schema_dir;
  const std::string file_name = db->SchemaFileName();
  if (file_name.empty()) {
    return Fail(kExitFailed, "there is no schema for " + db->ProductName() +
                                 "; the shipped ones are for SQLite, PostgreSQL, SQL Server and MariaDB");
  }
  const std::string schema_path = folder + "/" + file_name;
  std::string script;
  if (!ReadFile(schema_path, &script, &error)) {
    return Fail(kExitFailed, error + "; name the schema folder with --schema DIR");
  }
  const std::vector<std::string> wanted = CreatedTables(script);
  std::vector<std::string> existing;
  if (wanted.empty()) return Fail(kExitFailed, schema_path + " creates no table; is it the right file?");
  if (!db->TableNames(&existing, &error)) return Fail(kExitFailed, "cannot list the tables: " + error);
  std::vector<std::string> present, missing;
  for (const std::string& table : wanted) {
    bool found = false;
    for (const std::string& name : existing) found = found || Lower(name) == Lower(table);
    (found ? present : missing).push_back(table);
  }

  // What was done, for people line by line, for scripts as one object.
  nlohmann::ordered_json report = {{"request", "init"}, {"database", where}, {"schema", schema_path}};
  auto say = [&](const std::string& line) {
    if (!options.json) std::printf("%s\n", line.c_str());
  };
  say("Database: " + where);
  if (missing.empty()) {
    report["tables_created"] = nlohmann::ordered_json::array();
    say("Tables:   all " + std::to_string(wanted.size()) + " already there, nothing created");
  } else if (present.empty()) {
    if (!db->RunScript(script, &error)) {
      return Fail(kExitFailed, "the schema " + schema_path + " failed: " + error + "; nothing was created");
    }
    report["tables_created"] = wanted;
    say("Tables:   created " + std::to_string(wanted.size()) + " (" + Join(wanted) + ") from " + schema_path);
  } else {
    return Fail(kExitFailed, "the database holds " + Join(present) + " but not " + Join(missing) +
                                 ", so it was not set up from this schema; use an empty database, or add the missing tables from " +
                                 schema_path);
  }

  if (demo) {
    DemoSummary summary;
    if (!LoadDemoWorld(db.get(), std::time(nullptr), &summary, &error)) {
      return Fail(kExitFailed, "the demo world was not loaded: " + error + "; nothing of it was added");
    }
    if (summary.already_there) {
      report["demo"] = {{"added", false}, {"players", summary.players}};
      say("Demo:     already there (" + std::to_string(summary.players) + " players), nothing added");
    } else {
      report["demo"] = {{"added", true},         {"players", summary.players}, {"friendships", summary.friendships},
                        {"trades", summary.trades}, {"items", summary.items},   {"messages", summary.messages},
                        {"unread", summary.unread}, {"goods", summary.goods},   {"invitations", summary.invitations}};
      char line[256];
      std::snprintf(line, sizeof line,
                    "Demo:     loaded %d players, %d friendships, %d trades, %d catalogue items, %d messages (%d unread), "
                    "%d goods, %d invitations",
                    summary.players, summary.friendships, summary.trades, summary.items, summary.messages,
                    summary.unread, summary.goods, summary.invitations);
      say(line);
    }
  }
  db.reset();
  new_file.keep = true;

  // The module must be able to open what was just set up.
  int exit_code = kExitOk;
  auto session = Session::Open(options, &exit_code);
  if (!session) return exit_code;
  report["module"] = session->module().path();
  say("Module:   " + session->module().path() + " opens it");
  if (demo) say(std::string("Next:     zelvar friends ") + kDemoHero);
  if (options.json) PrintJson(report);
  return kExitOk;
}

}  // namespace zelvar::cli
