// zelvar init: the tables from the shipped schema and, on request, the
// demo world, on the database the connection string names.
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "db/connection_string.h"
#include "db/current_connection.h"
#include "db/runner.h"
#include "db/schema_setup.h"
#include "tools/zelvar/commands.h"
#include "tools/zelvar/demo_world.h"
#include "tools/zelvar/ops/schema_files.h"
#include "tools/zelvar/text_util.h"
#include "util/sql_script.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

// What init did, for people line by line and for scripts as one object.
struct Report {
  Report(bool json, const std::string& where) : json(json), where(where) {}
  void Say(const std::string& line) const {
    if (!json) std::printf("%s\n", line.c_str());
  }
  bool json;
  std::string where;  // the database, in words
  nlohmann::ordered_json object = {{"request", "init"}, {"database", where}};
};

// An SQLite file this run created goes again when the run fails: a failed
// init leaves things as they were.
struct NewFile {
  std::string path;
  bool keep = false;
  ~NewFile() {
    if (path.empty() || keep) return;
    db::CloseIdleConnections();  // the tool's own connections to it
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((path + suffix).c_str());
  }
};

// Makes the database the tool's connection string in force and opens it.
// `where` says what it is, `product` which schema fits it.
int OpenForInit(const GlobalOptions& options, NewFile* new_file, std::string* where, std::string* product) {
  const db::ConnectionTarget target = db::ResolveConnectionString(options.db);
  if (target.kind == db::ConnectionTarget::Kind::kInvalid) {
    return Fail(kExitUsage, "the connection string '" + MaskPassword(options.db) + "' is not usable: " + target.error +
                                "; see 'zelvar --help' for the forms it takes");
  }
  SetConnectionString(options.db);
  std::string error;
  std::u16string reason;
  if (target.kind == db::ConnectionTarget::Kind::kSqlite) {
    bool created = false;
    if (!db::CreateSqliteFile(target.sqlite_path, &created, &error)) {
      return Fail(kExitFailed, error + "; name another file with --db");
    }
    if (created) new_file->path = target.sqlite_path;
    // A file that is not a database fails when a connection opens it.
    if (!db::DatabaseProduct(product, &reason)) {
      return Fail(kExitFailed, "'" + target.sqlite_path + "' is not an SQLite database (" + ToNarrow(reason) +
                                   "); name another file with --db");
    }
    *where = DatabaseInWords(options.db, *product) + (created ? " (created)" : " (already there)");
    return kExitOk;
  }
  if (!db::DatabaseProduct(product, &reason)) {
    return Fail(kExitFailed, "cannot connect to '" + MaskPassword(options.db) + "': " + ToNarrow(reason) +
                                 "; check the server, the login and the ODBC driver (odbcinst -q -d)");
  }
  *where = DatabaseInWords(options.db, *product);
  return kExitOk;
}

// Creates the schema's tables unless all are there; refuses a database
// that holds only some of them (migrate completes those).
int CreateTables(const std::string& product, const std::string& schema_path, const std::string& script,
                 Report* report) {
  const std::vector<std::string> wanted = CreatedTables(script);
  if (wanted.empty()) return Fail(kExitFailed, schema_path + " creates no table; is it the right file?");
  ops::SchemaTables tables;
  std::string error;
  if (!ops::ReadSchemaTables(product, script, &tables, &error)) return Fail(kExitFailed, error);
  report->Say("Database: " + report->where);
  if (tables.missing.empty()) {
    report->object["tables_created"] = nlohmann::ordered_json::array();
    report->Say("Tables:   all " + std::to_string(wanted.size()) + " already there, nothing created");
    return kExitOk;
  }
  if (!tables.present.empty()) {
    return Fail(kExitFailed, "the database holds " + JoinNames(tables.present) + " but not " +
                                 JoinNames(tables.missing) +
                                 "; add the missing tables with 'zelvar migrate' (init sets up only an empty database)");
  }
  if (!db::RunSchemaScript(script, &error)) {
    return Fail(kExitFailed, "the schema " + schema_path + " failed: " + error + "; nothing was created");
  }
  report->object["tables_created"] = wanted;
  report->Say("Tables:   created " + std::to_string(wanted.size()) + " (" + JoinNames(wanted) + ") from " +
              schema_path);
  return kExitOk;
}

int LoadDemo(Report* report) {
  DemoSummary summary;
  std::string error;
  if (!LoadDemoWorld(std::time(nullptr), &summary, &error)) {
    return Fail(kExitFailed, "the demo world was not loaded: " + error + "; nothing of it was added");
  }
  if (summary.already_there) {
    report->object["demo"] = {{"added", false}, {"players", summary.players}};
    report->Say("Demo:     already there (" + std::to_string(summary.players) + " players), nothing added");
    return kExitOk;
  }
  report->object["demo"] = {{"added", true},         {"players", summary.players}, {"friendships", summary.friendships},
                            {"trades", summary.trades}, {"items", summary.items},   {"messages", summary.messages},
                            {"unread", summary.unread}, {"goods", summary.goods},   {"invitations", summary.invitations}};
  char line[256];
  std::snprintf(line, sizeof line,
                "Demo:     loaded %d players, %d friendships, %d trades, %d catalogue items, %d messages (%d unread), "
                "%d goods, %d invitations",
                summary.players, summary.friendships, summary.trades, summary.items, summary.messages, summary.unread,
                summary.goods, summary.invitations);
  report->Say(line);
  return kExitOk;
}

// The tables and, with `demo`, the demo world, on the database in force.
int SetUp(const std::string& product, bool demo, const std::string& schema_dir, Report* report) {
  std::string schema_path, script, error;
  if (!ops::ReadSchemaScript(product, schema_dir, &schema_path, &script, &error)) return Fail(kExitFailed, error);
  report->object["schema"] = schema_path;
  if (const int status = CreateTables(product, schema_path, script, report); status != kExitOk) return status;
  return demo ? LoadDemo(report) : kExitOk;
}

}  // namespace

int RunInit(const GlobalOptions& options, bool demo, const std::string& schema_dir) {
  NewFile new_file;
  std::string where, product;
  if (const int status = OpenForInit(options, &new_file, &where, &product); status != kExitOk) return status;
  Report report(options.json, where);
  if (const int status = SetUp(product, demo, schema_dir, &report); status != kExitOk) return status;
  // The module opens the database on its own connections.
  db::CloseIdleConnections();
  new_file.keep = true;

  // The module must be able to open what was just set up.
  int exit_code = kExitOk;
  auto session = Session::Open(options, &exit_code);
  if (!session) return exit_code;
  report.object["module"] = session->module().path();
  report.Say("Module:   " + session->module().path() + " opens it");
  if (demo) report.Say(std::string("Next:     zelvar friends ") + kDemoHero);
  if (options.json) PrintJson(report.object);
  return kExitOk;
}

}  // namespace zelvar::cli
