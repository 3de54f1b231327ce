// MariaDB test databases (mariadb.h): each one created empty and filled
// statement by statement from schema/mariadb.sql through the raw ODBC API,
// then dropped. Thread-safe.
#include "support/mariadb.h"

#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "db/connection_string.h"
#include "db/odbc_env.h"

namespace zelvar::test {

namespace {

constexpr char kDatabasePrefix[] = "zelvar_m_";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string DatabaseOf(const std::string& connection_string) {
  std::vector<std::pair<std::string, std::string>> pairs;
  db::SplitConnectionString(connection_string, &pairs);
  std::string database;
  for (const auto& [keyword, value] : pairs) {
    if (Lower(keyword) == "database") database = value;
  }
  return database;
}

std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  SQLCHAR state[6] = {0};
  SQLCHAR message[1024] = {0};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof(message), &length);
  return std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(message);
}

// Runs `statements` in order on one connection made with
// `connection_string`. Empty on success, else what failed.
std::string RunStatements(const std::string& connection_string,
                          const std::vector<std::string>& statements) {
  std::shared_ptr<db::OdbcEnvironment> environment = db::SharedOdbcEnvironment();
  if (!environment) return "no ODBC environment";
  SQLHDBC dbc = SQL_NULL_HDBC;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, environment->handle(), &dbc))) {
    return "no ODBC connection handle";
  }
  std::string result;
  SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(10), 0);
  SQLRETURN rc = SQLDriverConnect(dbc, nullptr, (SQLCHAR*)connection_string.c_str(), SQL_NTS,
                                  nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    result = "connect: " + Diagnostics(SQL_HANDLE_DBC, dbc);
  } else {
    for (const std::string& statement : statements) {
      SQLHSTMT stmt = SQL_NULL_HSTMT;
      if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) {
        result = "no ODBC statement handle";
        break;
      }
      rc = SQLExecDirect(stmt, (SQLCHAR*)statement.c_str(), SQL_NTS);
      if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
        result = statement.substr(0, 60) + ": " + Diagnostics(SQL_HANDLE_STMT, stmt);
      }
      SQLFreeHandle(SQL_HANDLE_STMT, stmt);
      if (!result.empty()) break;
    }
    SQLDisconnect(dbc);
  }
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  return result;
}

// The statements of a schema file: comment lines dropped, split at ";".
std::vector<std::string> SchemaStatements(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::string text;
  while (std::getline(in, line)) {
    size_t first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line.compare(first, 2, "--") == 0) continue;
    text += line + "\n";
  }
  std::vector<std::string> statements;
  std::stringstream pieces(text);
  std::string piece;
  while (std::getline(pieces, piece, ';')) {
    if (piece.find_first_not_of(" \t\r\n") != std::string::npos) statements.push_back(piece);
  }
  return statements;
}

bool IsOwnDatabase(const std::string& name) {
  if (name.rfind(kDatabasePrefix, 0) != 0) return false;
  for (char c : name) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  }
  return true;
}

}  // namespace

bool MariaDbAvailable() { return !Env("ZELVAR_TEST_MARIADB").empty(); }

std::string CreateMariaDbDatabase(const std::string& schema_path, std::string* error) {
  const std::string server = Env("ZELVAR_TEST_MARIADB");
  if (server.empty()) {
    if (error) *error = "ZELVAR_TEST_MARIADB is not set (run the tests under scripts/with-mariadb)";
    return "";
  }
  const std::vector<std::string> schema = SchemaStatements(schema_path);
  if (schema.empty()) {
    if (error) *error = "no statements in " + schema_path;
    return "";
  }
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const std::string name = kDatabasePrefix + std::to_string(getpid()) + "_" +
                           std::to_string(counter.fetch_add(1)) + "_" +
                           std::to_string(random() % 100000);
  std::string failure = RunStatements(server, {"CREATE DATABASE " + name});
  if (!failure.empty()) {
    if (error) *error = "CREATE DATABASE " + name + " failed: " + failure;
    return "";
  }
  std::string connection_string = server;
  if (!connection_string.empty() && connection_string.back() != ';') connection_string += ';';
  connection_string += "Database=" + name + ";";
  failure = RunStatements(connection_string, schema);
  if (!failure.empty()) {
    DropMariaDbDatabase(connection_string);
    if (error) *error = "loading " + schema_path + " failed: " + failure;
    return "";
  }
  return connection_string;
}

void DropMariaDbDatabase(const std::string& connection_string) {
  const std::string name = DatabaseOf(connection_string);
  if (!IsOwnDatabase(name)) return;
  RunStatements(Env("ZELVAR_TEST_MARIADB"), {"DROP DATABASE IF EXISTS " + name});
}

}  // namespace zelvar::test
