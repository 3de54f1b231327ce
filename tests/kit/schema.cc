// Test databases and the shipped schema (schema.h).
#include "kit/schema.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <utility>

#include "util/sql_script.h"

namespace zelvar::kit {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// ---- connection strings

// The keyword=value pairs of an ODBC string; values in braces or quotes
// keep their ";" (a doubled closing mark is one).
std::vector<std::pair<std::string, std::string>> Pairs(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t i = 0;
  while (i < text.size()) {
    const size_t equals = text.find('=', i);
    if (equals == std::string::npos) break;
    std::string keyword = text.substr(i, equals - i);
    keyword.erase(0, keyword.find_first_not_of(" \t;"));
    keyword.erase(keyword.find_last_not_of(" \t") + 1);
    i = equals + 1;
    std::string value;
    if (i < text.size() && (text[i] == '{' || text[i] == '"' || text[i] == '\'')) {
      const char close = text[i] == '{' ? '}' : text[i];
      for (++i; i < text.size(); ++i) {
        if (text[i] == close && !(i + 1 < text.size() && text[i + 1] == close)) break;
        if (text[i] == close) ++i;
        value += text[i];
      }
      i = text.find(';', i);
    } else {
      const size_t end = text.find(';', i);
      value = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
      i = end;
    }
    pairs.emplace_back(keyword, value);
    if (i == std::string::npos) break;
    ++i;
  }
  return pairs;
}

// The connection string with its Database replaced.
std::string WithDatabase(const std::string& connection_string, const std::string& database) {
  std::string out;
  for (const auto& [keyword, value] : Pairs(connection_string)) {
    if (Lower(keyword) == "database") continue;
    out += keyword + "=";
    if (value.find_first_of(";{}") != std::string::npos) {
      out += "{";
      for (char c : value) {
        out += c;
        if (c == '}') out += '}';
      }
      out += "}";
    } else {
      out += value;
    }
    out += ";";
  }
  return out + "Database=" + database + ";";
}

// A new database name: `prefix`, the process and a counter, and a random
// tail against a name left behind by an earlier process of the same id.
std::string NewDatabaseName(const std::string& prefix) {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  return prefix + std::to_string(getpid()) + "_" + std::to_string(counter.fetch_add(1)) + "_" +
         std::to_string(random() % 100000);
}

// Only names made here, of letters, digits and "_", are ever dropped.
bool IsOwnDatabase(const std::string& name, const std::string& prefix) {
  if (name.rfind(prefix, 0) != 0) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  });
}

// Runs `statements` in order on one connection made with
// `connection_string`. Empty on success, else what failed (a statement's
// failure begins with its SQLSTATE unless `label` is set).
std::string RunStatements(const std::string& connection_string,
                          const std::vector<std::string>& statements, bool label) {
  std::string error;
  std::unique_ptr<RawDb> db = OpenOdbc(connection_string, &error, 10);
  if (db == nullptr) return (label ? "connect: " : "") + error;
  for (const std::string& statement : statements) {
    if (!db->Exec(statement, &error)) return (label ? statement.substr(0, 60) + ": " : "") + error;
  }
  return "";
}

}  // namespace

std::string SourceDir() {
  const std::string dir = Env("ZELVAR_SOURCE_DIR");
  return dir.empty() ? ZELVAR_SOURCE_DIR : dir;
}

std::string SchemaPath(Backend backend) {
  const char* file = backend == Backend::kSqlite     ? "sqlite.sql"
                     : backend == Backend::kPostgres ? "postgresql.sql"
                                                     : "mariadb.sql";
  return SourceDir() + "/schema/" + file;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string MakeTempDir(const std::string& prefix) {
  std::string base = std::filesystem::temp_directory_path().string() + "/" + prefix + "XXXXXX";
  if (mkdtemp(base.data()) == nullptr) return std::string();
  return base;
}

std::unique_ptr<SqliteDb> CreateSqliteDatabase(const std::string& path, std::string* error) {
  std::unique_ptr<SqliteDb> db = OpenSqlite(path, true, error);
  if (db == nullptr) return nullptr;
  const std::string schema = ReadWholeFile(SchemaPath(Backend::kSqlite));
  if (schema.empty()) {
    *error = "can't read " + SchemaPath(Backend::kSqlite);
    return nullptr;
  }
  if (!db->RunScript(schema, error)) return nullptr;
  return db;
}

std::string ConnectionValue(const std::string& connection_string, const std::string& keyword) {
  std::string value;
  for (const auto& [name, text] : Pairs(connection_string)) {
    if (Lower(name) == Lower(keyword)) value = text;
  }
  return value;
}

bool PostgresAvailable() { return !Env("ZELVAR_TEST_PG_ADMIN").empty(); }

std::string DirectPostgresString(const std::string& connection_string) {
  const std::string direct = Env("ZELVAR_TEST_PG_DIRECT_ADMIN");
  if (direct.empty()) return connection_string;
  return WithDatabase(direct, ConnectionValue(connection_string, "Database"));
}

std::string CreatePostgresDatabase(std::string* error, const std::string& prefix) {
  if (!PostgresAvailable()) {
    if (error) *error = "ZELVAR_TEST_PG_ADMIN is not set (run the tests under scripts/with-postgres)";
    return "";
  }
  std::string template_name = Env("ZELVAR_TEST_PG_TEMPLATE");
  if (template_name.empty()) template_name = "zelvar_template";
  std::string admin = Env("ZELVAR_TEST_PG_DIRECT_ADMIN");
  if (admin.empty()) admin = Env("ZELVAR_TEST_PG_ADMIN");
  const std::string name = NewDatabaseName(prefix);
  // CREATE DATABASE refuses while anything else is connected to the
  // template (55006), which a parallel test run may briefly be; try again.
  // FILE_COPY copies the small template's files, quicker than writing
  // each page to the log.
  std::string failure;
  for (int attempt = 0; attempt < 50; ++attempt) {
    failure = RunStatements(
        admin, {"CREATE DATABASE " + name + " TEMPLATE " + template_name + " STRATEGY FILE_COPY"},
        false);
    if (failure.empty()) return WithDatabase(Env("ZELVAR_TEST_PG_ADMIN"), name);
    if (failure.rfind("55006", 0) != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (error) *error = "CREATE DATABASE " + name + " failed: " + failure;
  return "";
}

void DropPostgresDatabase(const std::string& connection_string, const std::string& prefix) {
  const std::string name = ConnectionValue(connection_string, "Database");
  // Never the template or "postgres".
  if (!IsOwnDatabase(name, prefix)) return;
  std::string admin = Env("ZELVAR_TEST_PG_DIRECT_ADMIN");
  if (admin.empty()) admin = Env("ZELVAR_TEST_PG_ADMIN");
  // FORCE ends connections that a failed test may have left behind.
  RunStatements(admin, {"DROP DATABASE IF EXISTS " + name + " WITH (FORCE)"}, false);
}

bool MariaDbAvailable() { return !Env("ZELVAR_TEST_MARIADB").empty(); }

std::string CreateMariaDbDatabase(const std::string& schema_path, std::string* error) {
  const std::string server = Env("ZELVAR_TEST_MARIADB");
  if (server.empty()) {
    if (error) *error = "ZELVAR_TEST_MARIADB is not set (run the tests under scripts/with-mariadb)";
    return "";
  }
  const std::vector<std::string> schema = SplitSqlScript(ReadWholeFile(schema_path));
  if (schema.empty()) {
    if (error) *error = "no statements in " + schema_path;
    return "";
  }
  const std::string name = NewDatabaseName("zelvar_m_");
  std::string failure = RunStatements(server, {"CREATE DATABASE " + name}, true);
  if (!failure.empty()) {
    if (error) *error = "CREATE DATABASE " + name + " failed: " + failure;
    return "";
  }
  std::string connection_string = server;
  if (!connection_string.empty() && connection_string.back() != ';') connection_string += ';';
  connection_string += "Database=" + name + ";";
  failure = RunStatements(connection_string, schema, true);
  if (!failure.empty()) {
    DropMariaDbDatabase(connection_string);
    if (error) *error = "loading " + schema_path + " failed: " + failure;
    return "";
  }
  return connection_string;
}

void DropMariaDbDatabase(const std::string& connection_string) {
  const std::string name = ConnectionValue(connection_string, "Database");
  if (!IsOwnDatabase(name, "zelvar_m_")) return;
  RunStatements(Env("ZELVAR_TEST_MARIADB"), {"DROP DATABASE IF EXISTS " + name}, true);
}

}  // namespace zelvar::kit
