// The tool's own database connections: SQLite and ODBC.
#include "tools/zelvar/admin_db.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <regex>

#include "tools/zelvar/text_util.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

// The statement's first word in lower case, past blanks and comments.
std::string FirstWord(const std::string& sql) {
  size_t i = 0;
  while (i < sql.size()) {
    if (std::isspace(static_cast<unsigned char>(sql[i]))) {
      ++i;
    } else if (sql.compare(i, 2, "--") == 0) {
      i = sql.find('\n', i);
    } else if (sql.compare(i, 2, "/*") == 0) {
      i = sql.find("*/", i);
      if (i != std::string::npos) i += 2;
    } else {
      break;
    }
  }
  if (i >= sql.size()) return "";
  size_t end = i;
  while (end < sql.size() && std::isalpha(static_cast<unsigned char>(sql[end]))) ++end;
  return Lower(sql.substr(i, end - i));
}

std::string TimeTextOf(const SqlValue& value) {
  return value.text.empty() ? LocalTimeText(value.number) : value.text;
}

// ---- SQLite ----

class SqliteAdmin : public AdminDb {
 public:
  explicit SqliteAdmin(sqlite3* db) : db_(db) {}
  ~SqliteAdmin() override { sqlite3_close_v2(db_); }

  std::string ProductName() override { return "SQLite"; }

  bool TableNames(std::vector<std::string>* names, std::string* error) override {
    names->clear();
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT name FROM sqlite_master WHERE type = 'table'", -1, &statement,
                           nullptr) != SQLITE_OK) {
      return Fail(error);
    }
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      names->emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
    sqlite3_finalize(statement);
    return rc == SQLITE_DONE || Fail(error);
  }

  // Statement by statement, in one transaction that starts at the first
  // statement that is not a PRAGMA (the journal mode can't change inside
  // one). A failure rolls the tables back.
  bool RunScript(const std::string& script, std::string* error) override {
    const char* tail = script.c_str();
    bool began = false;
    while (*tail != '\0') {
      sqlite3_stmt* statement = nullptr;
      const char* next = nullptr;
      if (sqlite3_prepare_v2(db_, tail, -1, &statement, &next) != SQLITE_OK) {
        Fail(error);
        if (began) Rollback();
        return false;
      }
      tail = next;
      if (statement == nullptr) continue;  // a comment or blanks
      const std::string text = sqlite3_sql(statement);
      const bool pragma = FirstWord(text) == "pragma";
      if (!pragma && !began) {
        if (!Begin(error)) {
          sqlite3_finalize(statement);
          return false;
        }
        began = true;
      }
      int rc;
      while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      }
      sqlite3_finalize(statement);
      if (rc != SQLITE_DONE) {
        Fail(error);
        if (began) Rollback();
        return false;
      }
    }
    return !began || Commit(error);
  }

  bool Exec(const std::string& sql, const std::vector<SqlValue>& values, std::string* error) override {
    sqlite3_stmt* statement = Prepare(sql, values, error);
    if (statement == nullptr) return false;
    const int rc = sqlite3_step(statement);
    sqlite3_finalize(statement);
    return rc == SQLITE_DONE || rc == SQLITE_ROW || Fail(error);
  }

  bool QueryInt(const std::string& sql, const std::vector<SqlValue>& values, int64_t* value, bool* found,
                std::string* error) override {
    sqlite3_stmt* statement = Prepare(sql, values, error);
    if (statement == nullptr) return false;
    const int rc = sqlite3_step(statement);
    *found = rc == SQLITE_ROW;
    if (*found) *value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return rc == SQLITE_ROW || rc == SQLITE_DONE || Fail(error);
  }

  bool Begin(std::string* error) override { return Simple("BEGIN IMMEDIATE", error); }
  bool Commit(std::string* error) override { return Simple("COMMIT", error); }
  void Rollback() override { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }

 private:
  bool Fail(std::string* error) {
    *error = sqlite3_errmsg(db_);
    return false;
  }

  bool Simple(const char* sql, std::string* error) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK || Fail(error);
  }

  sqlite3_stmt* Prepare(const std::string& sql, const std::vector<SqlValue>& values, std::string* error) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) != SQLITE_OK) {
      Fail(error);
      return nullptr;
    }
    for (size_t i = 0; i < values.size(); ++i) {
      const SqlValue& v = values[i];
      const int place = static_cast<int>(i + 1);
      switch (v.kind) {
        case SqlValue::Kind::kInt:
        case SqlValue::Kind::kBool: sqlite3_bind_int64(statement, place, v.number); break;
        case SqlValue::Kind::kDouble: sqlite3_bind_double(statement, place, v.real); break;
        case SqlValue::Kind::kText:
          sqlite3_bind_text(statement, place, v.text.data(), static_cast<int>(v.text.size()), SQLITE_TRANSIENT);
          break;
        case SqlValue::Kind::kTime: {
          const std::string text = TimeTextOf(v);
          sqlite3_bind_text(statement, place, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
          break;
        }
      }
    }
    return statement;
  }

  sqlite3* db_;
};

// ---- ODBC ----

std::string Diagnostics(SQLSMALLINT handle_type, SQLHANDLE handle) {
  std::string text;
  SQLCHAR state[6];
  SQLINTEGER native = 0;
  SQLCHAR message[1024];
  SQLSMALLINT length = 0;
  for (SQLSMALLINT i = 1; SQLGetDiagRec(handle_type, handle, i, state, &native, message,
                                        sizeof message, &length) == SQL_SUCCESS; ++i) {
    if (!text.empty()) text += " ";
    std::string line(reinterpret_cast<char*>(message));
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    text += line;
  }
  return text.empty() ? "the ODBC driver gave no reason" : text;
}

bool Ok(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

class OdbcAdmin : public AdminDb {
 public:
  OdbcAdmin(SQLHENV env, SQLHDBC dbc) : env_(env), dbc_(dbc) {}
  ~OdbcAdmin() override {
    if (in_transaction_) Rollback();
    SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }

  std::string ProductName() override {
    SQLCHAR name[256] = {};
    SQLSMALLINT length = 0;
    if (!Ok(SQLGetInfo(dbc_, SQL_DBMS_NAME, name, sizeof name, &length))) return "";
    return reinterpret_cast<char*>(name);
  }

  bool TableNames(std::vector<std::string>* names, std::string* error) override {
    names->clear();
    Statement statement(dbc_);
    if (!statement.ok()) return Fail(SQL_HANDLE_DBC, dbc_, error);
    SQLCHAR type[] = "TABLE";
    // The connection's own database: without it MariaDB's driver lists the
    // tables of every database on the server.
    SQLCHAR catalog[256] = {};
    SQLINTEGER catalog_length = 0;
    const bool named = Ok(SQLGetConnectAttr(dbc_, SQL_ATTR_CURRENT_CATALOG, catalog,
                                            sizeof catalog - 1, &catalog_length)) &&
                       catalog[0] != '\0';
    if (!Ok(SQLTables(statement.handle, named ? catalog : nullptr, named ? SQL_NTS : 0, nullptr,
                      0, nullptr, 0, type, SQL_NTS))) {
      return Fail(SQL_HANDLE_STMT, statement.handle, error);
    }
    SQLRETURN rc;
    while (Ok(rc = SQLFetch(statement.handle))) {
      SQLCHAR name[512] = {};
      SQLLEN length = 0;
      if (Ok(SQLGetData(statement.handle, 3, SQL_C_CHAR, name, sizeof name, &length)) &&
          length != SQL_NULL_DATA) {
        names->emplace_back(reinterpret_cast<char*>(name));
      }
    }
    return rc == SQL_NO_DATA || Fail(SQL_HANDLE_STMT, statement.handle, error);
  }

  // In one transaction where the server's DDL is transactional
  // (PostgreSQL, SQL Server); MariaDB commits each statement anyway.
  bool RunScript(const std::string& script, std::string* error) override {
    if (!Begin(error)) return false;
    for (const std::string& sql : SplitSqlScript(script)) {
      if (!Exec(sql, {}, error)) {
        *error = "'" + FitWidth(sql.substr(0, sql.find('\n')), 60) + "' failed: " + *error;
        Rollback();
        return false;
      }
    }
    return Commit(error);
  }

  bool Exec(const std::string& sql, const std::vector<SqlValue>& values, std::string* error) override {
    Statement statement(dbc_);
    if (!statement.ok()) return Fail(SQL_HANDLE_DBC, dbc_, error);
    Bound bound;
    if (!Bind(statement.handle, values, &bound, error)) return false;
    const SQLRETURN rc = SQLExecDirect(statement.handle, Narrow(sql), SQL_NTS);
    return Ok(rc) || rc == SQL_NO_DATA || Fail(SQL_HANDLE_STMT, statement.handle, error);
  }

  bool QueryInt(const std::string& sql, const std::vector<SqlValue>& values, int64_t* value, bool* found,
                std::string* error) override {
    Statement statement(dbc_);
    if (!statement.ok()) return Fail(SQL_HANDLE_DBC, dbc_, error);
    Bound bound;
    if (!Bind(statement.handle, values, &bound, error)) return false;
    if (!Ok(SQLExecDirect(statement.handle, Narrow(sql), SQL_NTS))) {
      return Fail(SQL_HANDLE_STMT, statement.handle, error);
    }
    const SQLRETURN rc = SQLFetch(statement.handle);
    *found = Ok(rc);
    if (rc == SQL_NO_DATA) return true;
    if (!*found) return Fail(SQL_HANDLE_STMT, statement.handle, error);
    SQLBIGINT number = 0;
    SQLLEN length = 0;
    if (!Ok(SQLGetData(statement.handle, 1, SQL_C_SBIGINT, &number, sizeof number, &length))) {
      return Fail(SQL_HANDLE_STMT, statement.handle, error);
    }
    *value = length == SQL_NULL_DATA ? 0 : number;
    return true;
  }

  bool Begin(std::string* error) override {
    if (!Ok(SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0))) {
      return Fail(SQL_HANDLE_DBC, dbc_, error);
    }
    in_transaction_ = true;
    return true;
  }

  bool Commit(std::string* error) override {
    const bool ok = Ok(SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_COMMIT));
    if (!ok) Fail(SQL_HANDLE_DBC, dbc_, error);
    if (ok) EndTransaction();
    return ok;
  }

  void Rollback() override {
    SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
    EndTransaction();
  }

 private:
  struct Statement {
    explicit Statement(SQLHDBC dbc) {
      if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &handle))) handle = SQL_NULL_HSTMT;
    }
    ~Statement() {
      if (handle != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, handle);
    }
    bool ok() const { return handle != SQL_NULL_HSTMT; }
    SQLHSTMT handle = SQL_NULL_HSTMT;
  };

  // Buffers that must outlive the statement's execution.
  struct Bound {
    std::vector<std::u16string> texts;
    std::vector<SQLLEN> lengths;
    std::vector<SQL_TIMESTAMP_STRUCT> times;
    std::vector<SQLINTEGER> ints;
    std::vector<double> reals;
    std::vector<unsigned char> bits;
  };

  static SQLCHAR* Narrow(const std::string& sql) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str()));
  }

  bool Bind(SQLHSTMT statement, const std::vector<SqlValue>& values, Bound* bound, std::string* error) {
    // Reserve first: the driver keeps the addresses given to it.
    const size_t n = values.size();
    bound->texts.reserve(n);
    bound->lengths.assign(n, 0);
    bound->times.reserve(n);
    bound->ints.reserve(n);
    bound->reals.reserve(n);
    bound->bits.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      const SqlValue& v = values[i];
      const auto place = static_cast<SQLUSMALLINT>(i + 1);
      SQLRETURN rc = SQL_ERROR;
      switch (v.kind) {
        case SqlValue::Kind::kInt:
          bound->ints.push_back(static_cast<SQLINTEGER>(v.number));
          rc = SQLBindParameter(statement, place, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                                &bound->ints.back(), 0, nullptr);
          break;
        case SqlValue::Kind::kBool:
          bound->bits.push_back(v.number != 0 ? 1 : 0);
          rc = SQLBindParameter(statement, place, SQL_PARAM_INPUT, SQL_C_BIT, SQL_BIT, 1, 0,
                                &bound->bits.back(), 0, nullptr);
          break;
        case SqlValue::Kind::kDouble:
          bound->reals.push_back(v.real);
          rc = SQLBindParameter(statement, place, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0,
                                &bound->reals.back(), 0, nullptr);
          break;
        case SqlValue::Kind::kText: {
          bound->texts.push_back(ToWide(v.text));
          std::u16string& text = bound->texts.back();
          bound->lengths[i] = static_cast<SQLLEN>(text.size() * sizeof(char16_t));
          rc = SQLBindParameter(statement, place, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                std::max<SQLULEN>(text.size(), 1), 0, text.data(), bound->lengths[i],
                                &bound->lengths[i]);
          break;
        }
        case SqlValue::Kind::kTime: {
          std::tm local{};
          const std::string text = TimeTextOf(v);
          if (strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &local) == nullptr) {
            *error = "not a time: " + text;
            return false;
          }
          SQL_TIMESTAMP_STRUCT time{};
          time.year = static_cast<SQLSMALLINT>(local.tm_year + 1900);
          time.month = static_cast<SQLUSMALLINT>(local.tm_mon + 1);
          time.day = static_cast<SQLUSMALLINT>(local.tm_mday);
          time.hour = static_cast<SQLUSMALLINT>(local.tm_hour);
          time.minute = static_cast<SQLUSMALLINT>(local.tm_min);
          time.second = static_cast<SQLUSMALLINT>(local.tm_sec);
          bound->times.push_back(time);
          rc = SQLBindParameter(statement, place, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP,
                                19, 0, &bound->times.back(), 0, nullptr);
          break;
        }
      }
      if (!Ok(rc)) return Fail(SQL_HANDLE_STMT, statement, error);
    }
    return true;
  }

  void EndTransaction() {
    SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    in_transaction_ = false;
  }

  static bool Fail(SQLSMALLINT handle_type, SQLHANDLE handle, std::string* error) {
    *error = Diagnostics(handle_type, handle);
    return false;
  }

  SQLHENV env_;
  SQLHDBC dbc_;
  bool in_transaction_ = false;
};

}  // namespace

std::string AdminDb::SchemaFileName() {
  const std::string product = Lower(ProductName());
  if (product.find("sqlite") != std::string::npos) return "sqlite.sql";
  if (product.find("postgres") != std::string::npos) return "postgresql.sql";
  if (product.find("sql server") != std::string::npos) return "sqlserver.sql";
  if (product.find("mariadb") != std::string::npos || product.find("mysql") != std::string::npos) {
    return "mariadb.sql";
  }
  return "";
}

std::unique_ptr<AdminDb> OpenSqliteAdmin(const std::string& path, bool create, bool* created,
                                         std::string* error) {
  struct stat info {};
  const bool exists = stat(path.c_str(), &info) == 0;
  *created = false;
  if (!exists && !create) {
    *error = "there is no database file '" + path + "'";
    return nullptr;
  }
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    *error = "cannot open '" + path + "': " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  auto admin = std::make_unique<SqliteAdmin>(db);
  // A file that is not a database fails at its first read.
  std::vector<std::string> names;
  if (!admin->TableNames(&names, error)) {
    *error = "'" + path + "' is not an SQLite database (" + *error + ")";
    return nullptr;
  }
  *created = !exists;
  return admin;
}

std::unique_ptr<AdminDb> OpenOdbcAdmin(const std::string& odbc_string, std::string* error) {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)) ||
      !Ok(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)) ||
      !Ok(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
    *error = "the ODBC driver manager could not be started";
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
    return nullptr;
  }
  SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(15), 0);
  std::string copy = odbc_string;
  SQLSMALLINT out_length = 0;
  if (!Ok(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(copy.data()), SQL_NTS, nullptr, 0,
                           &out_length, SQL_DRIVER_NOPROMPT))) {
    *error = Diagnostics(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return nullptr;
  }
  return std::make_unique<OdbcAdmin>(env, dbc);
}

std::vector<std::string> SplitSqlScript(const std::string& script) {
  std::vector<std::string> statements;
  std::string current;
  auto flush = [&] {
    const auto first = current.find_first_not_of(" \t\r\n");
    if (first != std::string::npos) statements.push_back(current.substr(first));
    current.clear();
  };
  size_t i = 0;
  bool line_start = true;
  while (i < script.size()) {
    const char c = script[i];
    if (line_start) {
      // A batch separator: GO alone on its line.
      size_t end = script.find('\n', i);
      if (end == std::string::npos) end = script.size();
      std::string line = script.substr(i, end - i);
      line.erase(std::remove_if(line.begin(), line.end(), [](char ch) { return std::isspace(static_cast<unsigned char>(ch)); }),
                 line.end());
      if (Lower(line) == "go") {
        flush();
        i = end;
        continue;
      }
      line_start = false;
    }
    if (c == '-' && i + 1 < script.size() && script[i + 1] == '-') {
      const size_t end = script.find('\n', i);
      i = end == std::string::npos ? script.size() : end;
      continue;
    }
    if (c == '/' && i + 1 < script.size() && script[i + 1] == '*') {
      const size_t end = script.find("*/", i + 2);
      i = end == std::string::npos ? script.size() : end + 2;
      continue;
    }
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
      const char close = c == '[' ? ']' : c;
      size_t end = i + 1;
      while (end < script.size()) {
        if (script[end] == close) {
          if (end + 1 < script.size() && script[end + 1] == close && close != ']') {
            end += 2;
            continue;
          }
          break;
        }
        ++end;
      }
      current.append(script, i, std::min(end + 1, script.size()) - i);
      i = end + 1;
      continue;
    }
    if (c == ';') {
      flush();
      ++i;
      continue;
    }
    if (c == '\n') line_start = true;
    current.push_back(c);
    ++i;
  }
  flush();
  return statements;
}

std::vector<std::string> CreatedTables(const std::string& script) {
  static const std::regex kCreateTable(
      R"(^\s*CREATE\s+TABLE\s+(?:IF\s+NOT\s+EXISTS\s+)?(?:[\[\]"`\w]+\.)?[\["`]?(\w+))",
      std::regex::icase);
  std::vector<std::string> tables;
  for (const std::string& statement : SplitSqlScript(script)) {
    std::smatch match;
    if (std::regex_search(statement, match, kCreateTable)) tables.push_back(match[1]);
  }
  return tables;
}

}  // namespace zelvar::cli
