// PostgreSQL test databases (postgres.h): each one a copy of the template
// database that scripts/with-postgres filled with schema/postgresql.sql,
// made and dropped through the raw ODBC API on the "postgres" database.
// Behind scripts/with-pgbouncer they are made and dropped on the server
// itself: CREATE DATABASE ... TEMPLATE refuses while any session is on the
// template, and DROP DATABASE ... WITH (FORCE) must end the pooler's
// sessions, not be one of them. Thread-safe.
#include "support/postgres.h"

#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "db/connection_string.h"
#include "db/odbc_env.h"

namespace zelvar::test {

namespace {

constexpr char kDatabasePrefix[] = "zelvar_t_";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The connection string with its Database replaced.
std::string WithDatabase(const std::string& connection_string, const std::string& database) {
  std::vector<std::pair<std::string, std::string>> pairs;
  db::SplitConnectionString(connection_string, &pairs);
  std::string out;
  for (const auto& [keyword, value] : pairs) {
    std::string lower = keyword;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "database") continue;
    out += keyword + "=";
    bool braces = value.find_first_of(";{}") != std::string::npos;
    if (braces) {
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

std::string DatabaseOf(const std::string& connection_string) {
  std::vector<std::pair<std::string, std::string>> pairs;
  db::SplitConnectionString(connection_string, &pairs);
  std::string database;
  for (const auto& [keyword, value] : pairs) {
    std::string lower = keyword;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "database") database = value;
  }
  return database;
}

// Runs one statement without values on a connection of its own. Empty on
// success, else the SQLSTATE followed by the driver's message.
std::string RunAdminStatement(const std::string& statement) {
  std::shared_ptr<db::OdbcEnvironment> environment = db::SharedOdbcEnvironment();
  if (!environment) return "no ODBC environment";
  SQLHDBC dbc = SQL_NULL_HDBC;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, environment->handle(), &dbc))) {
    return "no ODBC connection handle";
  }
  auto diagnostics = [](SQLSMALLINT type, SQLHANDLE handle) {
    SQLCHAR state[6] = {0};
    SQLCHAR message[1024] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof(message), &length);
    return std::string(reinterpret_cast<char*>(state)) + " " +
           reinterpret_cast<char*>(message);
  };
  std::string result;
  SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(10), 0);
  std::string admin = Env("ZELVAR_TEST_PG_DIRECT_ADMIN");
  if (admin.empty()) admin = Env("ZELVAR_TEST_PG_ADMIN");
  SQLRETURN rc = SQLDriverConnect(dbc, nullptr, (SQLCHAR*)admin.c_str(), SQL_NTS, nullptr, 0,
                                  nullptr, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    result = diagnostics(SQL_HANDLE_DBC, dbc);
    if (result.empty()) result = "the admin connection failed";
  } else {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) {
      rc = SQLExecDirect(stmt, (SQLCHAR*)statement.c_str(), SQL_NTS);
      if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) result = diagnostics(SQL_HANDLE_STMT, stmt);
      SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    } else {
      result = "no ODBC statement handle";
    }
    SQLDisconnect(dbc);
  }
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  return result;
}

}  // namespace

bool PostgresAvailable() { return !Env("ZELVAR_TEST_PG_ADMIN").empty(); }

std::string DirectPostgresString(const std::string& connection_string) {
  const std::string direct = Env("ZELVAR_TEST_PG_DIRECT_ADMIN");
  if (direct.empty()) return connection_string;
  return WithDatabase(direct, DatabaseOf(connection_string));
}

std::string CreatePostgresDatabase(std::string* error) {
  if (!PostgresAvailable()) {
    if (error) *error = "ZELVAR_TEST_PG_ADMIN is not set (run the tests under scripts/with-postgres)";
    return "";
  }
  std::string template_name = Env("ZELVAR_TEST_PG_TEMPLATE");
  if (template_name.empty()) template_name = "zelvar_template";

  static std::atomic<unsigned> counter{0};
  std::random_device random;
  std::string name = kDatabasePrefix + std::to_string(getpid()) + "_" +
                     std::to_string(counter.fetch_add(1)) + "_" + std::to_string(random() % 100000);
  // CREATE DATABASE refuses while anything else is connected to the
  // template (55006), which a parallel test run may briefly be; try again.
  // FILE_COPY copies the small template's files, quicker than writing
  // each page to the log.
  std::string failure;
  for (int attempt = 0; attempt < 50; ++attempt) {
    failure = RunAdminStatement("CREATE DATABASE " + name + " TEMPLATE " + template_name +
                                 " STRATEGY FILE_COPY");
    if (failure.empty()) return WithDatabase(Env("ZELVAR_TEST_PG_ADMIN"), name);
    if (failure.rfind("55006", 0) != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (error) *error = "CREATE DATABASE " + name + " failed: " + failure;
  return "";
}

void DropPostgresDatabase(const std::string& connection_string) {
  std::string name = DatabaseOf(connection_string);
  // Only databases made here: never the template or "postgres".
  if (name.rfind(kDatabasePrefix, 0) != 0) return;
  for (char c : name) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return;
  }
  // FORCE ends connections that a failed test may have left behind.
  RunAdminStatement("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
}

}  // namespace zelvar::test
