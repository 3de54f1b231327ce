// The raw client's ODBC side (raw_db.h): one environment and one
// connection per object, statements run directly with their values bound.
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <ctime>

#include "kit/raw_db.h"
#include "kit/raw_db_internal.h"
#include "kit/schema.h"
#include "kit/text.h"
#include "util/sql_script.h"

namespace zelvar::kit {
namespace {

bool Ok(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// Every diagnostic record of `handle`, "SQLSTATE: message" a line.
std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::string text;
  SQLCHAR state[6];
  SQLCHAR message[1024];
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  for (SQLSMALLINT i = 1; SQL_SUCCEEDED(SQLGetDiagRec(type, handle, i, state, &native, message,
                                                      sizeof(message), &length));
       ++i) {
    text += reinterpret_cast<char*>(state);
    text += ": ";
    text += reinterpret_cast<char*>(message);
    text += "\n";
  }
  return text.empty() ? "ODBC call failed" : text;
}

class Statement {
 public:
  explicit Statement(SQLHDBC dbc) {
    if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &handle_))) handle_ = SQL_NULL_HSTMT;
  }
  ~Statement() {
    if (handle_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, handle_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return handle_ != SQL_NULL_HSTMT; }
  SQLHSTMT handle() const { return handle_; }

  bool Fail(std::string* error) const {
    *error = Diagnostics(SQL_HANDLE_STMT, handle_);
    return false;
  }

  // Binds `values` to the places; the buffers stay here until the
  // statement is freed.
  bool Bind(const std::vector<Value>& values, std::string* error) {
    // Reserve first: the driver keeps the addresses given to it.
    const size_t n = values.size();
    texts_.reserve(n);
    lengths_.assign(n, 0);
    times_.reserve(n);
    ints_.reserve(n);
    bigs_.reserve(n);
    bits_.reserve(n);
    reals_.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      if (!BindOne(static_cast<SQLUSMALLINT>(i + 1), values[i], &lengths_[i], error)) return false;
    }
    return true;
  }

  // Appends the rows of the statement's result to `rows`.
  bool Fetch(Rows* rows, std::string* error) {
    SQLSMALLINT columns = 0;
    SQLNumResultCols(handle_, &columns);
    std::vector<SQLSMALLINT> types(static_cast<size_t>(columns));
    for (SQLSMALLINT i = 0; i < columns; ++i) {
      SQLDescribeColW(handle_, i + 1, nullptr, 0, nullptr, &types[i], nullptr, nullptr, nullptr);
    }
    SQLRETURN rc;
    while (Ok(rc = SQLFetch(handle_))) {
      Row& row = rows->emplace_back();
      for (SQLSMALLINT i = 0; i < columns; ++i) {
        std::optional<std::u16string> value;
        if (!Column(i + 1, &value)) return Fail(error);
        if (!value) {
          row.push_back(std::nullopt);
        } else if (types[i] == SQL_TYPE_TIMESTAMP || types[i] == SQL_DATETIME) {
          row.push_back(DateTimeShape(Utf8Of(*value)));
        } else {
          row.push_back(Utf8Of(*value));
        }
      }
    }
    return rc == SQL_NO_DATA || Fail(error);
  }

 private:
  // Column `column` of the current row as wide text, read in pieces.
  bool Column(SQLUSMALLINT column, std::optional<std::u16string>* value) {
    std::u16string text;
    for (;;) {
      char16_t chunk[1024];
      SQLLEN indicator = 0;
      const SQLRETURN rc = SQLGetData(handle_, column, SQL_C_WCHAR, chunk, sizeof(chunk), &indicator);
      if (rc == SQL_NO_DATA) break;
      if (!Ok(rc)) return false;
      if (indicator == SQL_NULL_DATA) return true;  // stays nullopt
      const size_t whole = sizeof(chunk) / sizeof(chunk[0]) - 1;
      const size_t got = (indicator == SQL_NO_TOTAL ||
                          indicator / static_cast<SQLLEN>(sizeof(char16_t)) >
                              static_cast<SQLLEN>(whole))
                             ? whole
                             : static_cast<size_t>(indicator) / sizeof(char16_t);
      text.append(chunk, got);
      if (rc == SQL_SUCCESS) break;
    }
    *value = std::move(text);
    return true;
  }

  bool BindOne(SQLUSMALLINT place, const Value& v, SQLLEN* length, std::string* error) {
    SQLRETURN rc = SQL_ERROR;
    switch (v.kind) {
      case Value::Kind::kNull:
        *length = SQL_NULL_DATA;
        rc = SQLBindParameter(handle_, place, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 0,
                              nullptr, 0, length);
        break;
      case Value::Kind::kInt:
        // 32 bits where the value fits, as most columns are.
        if (v.number == static_cast<SQLINTEGER>(v.number)) {
          ints_.push_back(static_cast<SQLINTEGER>(v.number));
          rc = SQLBindParameter(handle_, place, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                                &ints_.back(), 0, nullptr);
        } else {
          bigs_.push_back(v.number);
          rc = SQLBindParameter(handle_, place, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                                &bigs_.back(), 0, nullptr);
        }
        break;
      case Value::Kind::kBool:
        bits_.push_back(v.number != 0 ? 1 : 0);
        rc = SQLBindParameter(handle_, place, SQL_PARAM_INPUT, SQL_C_BIT, SQL_BIT, 1, 0,
                              &bits_.back(), 0, nullptr);
        break;
      case Value::Kind::kDouble:
        reals_.push_back(v.real);
        rc = SQLBindParameter(handle_, place, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0,
                              &reals_.back(), 0, nullptr);
        break;
      case Value::Kind::kText: {
        std::u16string& text = texts_.emplace_back(Utf16Of(v.text));
        *length = static_cast<SQLLEN>(text.size() * sizeof(char16_t));
        rc = SQLBindParameter(handle_, place, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                              std::max<SQLULEN>(text.size(), 1), 0, text.data(), *length, length);
        break;
      }
      case Value::Kind::kTime:
        return BindTime(place, v.text, error);
    }
    return Ok(rc) || Fail(error);
  }

  bool BindTime(SQLUSMALLINT place, const std::string& text, std::string* error) {
    std::tm local{};
    const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &local);
    if (end == nullptr || *end != '\0') {
      *error = "not a time: " + text;
      return false;
    }
    SQL_TIMESTAMP_STRUCT& time = times_.emplace_back();
    time.year = static_cast<SQLSMALLINT>(local.tm_year + 1900);
    time.month = static_cast<SQLUSMALLINT>(local.tm_mon + 1);
    time.day = static_cast<SQLUSMALLINT>(local.tm_mday);
    time.hour = static_cast<SQLUSMALLINT>(local.tm_hour);
    time.minute = static_cast<SQLUSMALLINT>(local.tm_min);
    time.second = static_cast<SQLUSMALLINT>(local.tm_sec);
    return Ok(SQLBindParameter(handle_, place, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP,
                               SQL_TYPE_TIMESTAMP, 19, 0, &time, 0, nullptr)) ||
           Fail(error);
  }

  SQLHSTMT handle_ = SQL_NULL_HSTMT;
  std::vector<std::u16string> texts_;
  std::vector<SQLLEN> lengths_;
  std::vector<SQL_TIMESTAMP_STRUCT> times_;
  std::vector<SQLINTEGER> ints_;
  std::vector<SQLBIGINT> bigs_;
  std::vector<unsigned char> bits_;
  std::vector<double> reals_;
};

class Odbc final : public RawDb {
 public:
  Odbc(SQLHENV env, SQLHDBC dbc) : env_(env), dbc_(dbc) {}
  ~Odbc() override {
    if (in_transaction_) Rollback();
    SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }

  using RawDb::Exec;
  std::string ProductName() override {
    SQLCHAR name[256] = {};
    SQLSMALLINT length = 0;
    if (!Ok(SQLGetInfo(dbc_, SQL_DBMS_NAME, name, sizeof name, &length))) return "";
    return reinterpret_cast<char*>(name);
  }

  bool Exec(const std::string& sql, const std::vector<Value>& values,
            std::string* error) override {
    return Run(sql, values, nullptr, error);
  }

  bool Query(const std::string& sql, const std::vector<Value>& values, Rows* rows,
             std::string* error) override {
    return Run(sql, values, rows, error);
  }

  // In one transaction where the server's DDL is transactional
  // (PostgreSQL); MariaDB commits each statement anyway.
  bool RunScript(const std::string& script, std::string* error) override {
    if (!Begin(error)) return false;
    for (const std::string& sql : SplitSqlScript(script)) {
      if (!Exec(sql, {}, error)) {
        *error = "'" + sql.substr(0, std::min<size_t>(60, sql.find('\n'))) + "' failed: " + *error;
        Rollback();
        return false;
      }
    }
    return Commit(error);
  }

  bool Begin(std::string* error) override {
    if (!Ok(SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT,
                              reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0))) {
      *error = Diagnostics(SQL_HANDLE_DBC, dbc_);
      return false;
    }
    in_transaction_ = true;
    return true;
  }

  bool Commit(std::string* error) override {
    if (!Ok(SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_COMMIT))) {
      *error = Diagnostics(SQL_HANDLE_DBC, dbc_);
      return false;
    }
    EndTransaction();
    return true;
  }

  void Rollback() override {
    SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
    EndTransaction();
  }

 private:
  bool Run(const std::string& sql, const std::vector<Value>& values, Rows* rows,
           std::string* error) {
    Statement statement(dbc_);
    if (!statement.ok()) {
      *error = Diagnostics(SQL_HANDLE_DBC, dbc_);
      return false;
    }
    if (!statement.Bind(values, error)) return false;
    std::u16string wide = Utf16Of(sql);
    const SQLRETURN rc =
        SQLExecDirectW(statement.handle(), reinterpret_cast<SQLWCHAR*>(wide.data()), SQL_NTS);
    if (!Ok(rc) && rc != SQL_NO_DATA) return statement.Fail(error);
    return rows == nullptr || statement.Fetch(rows, error);
  }

  void EndTransaction() {
    SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                      0);
    in_transaction_ = false;
  }

  SQLHENV env_;
  SQLHDBC dbc_;
  bool in_transaction_ = false;
};

}  // namespace

std::unique_ptr<RawDb> OpenOdbc(const std::string& connection_string, std::string* error,
                                int login_timeout) {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)) ||
      !Ok(SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                        0)) ||
      !Ok(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
    *error = "the ODBC driver manager could not be started";
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
    return nullptr;
  }
  if (login_timeout > 0) {
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(login_timeout)), 0);
  }
  std::string copy = connection_string;
  if (!Ok(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(copy.data()), SQL_NTS,
                           nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT))) {
    *error = Diagnostics(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return nullptr;
  }
  return std::make_unique<Odbc>(env, dbc);
}

}  // namespace zelvar::kit
