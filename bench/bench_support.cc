// The benchmarks' raw connections and host side (the world is
// bench_world.cc).

#include "bench_support.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "db/connection_string.h"
#include "packet/coding.h"
#include "util/text.h"
#include "util/time_text.h"
#include "zelvar/zelvar.h"

namespace zelvar::bench {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

OdbcLink::OdbcLink(const std::string& connection_string) {
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  ok = SQL_SUCCEEDED(SQLDriverConnect(
      dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection_string.c_str())),
      SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT));
}

OdbcLink::~OdbcLink() {
  if (ok) SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
}

bool OdbcLink::Exec(const std::string& sql) {
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
  SQLRETURN rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                               SQL_NTS);
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    SQLCHAR state[6] = {0};
    SQLCHAR message[512] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLGetDiagRec(SQL_HANDLE_STMT, stmt, 1, state, &native, message, sizeof(message), &length);
    std::fprintf(stderr, "bench: %s: %s\n", sql.substr(0, 80).c_str(),
                 reinterpret_cast<char*>(message));
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
}

namespace {

// ------------------------------------------------------ raw: sqlite3 API

// Seconds of a local time text YYYY-MM-DD HH:MM:SS, as the module reads it.
int64_t SecondsOfText(const unsigned char* text) {
  if (text == nullptr) return 0;
  std::tm tm{};
  const auto n = [&](int at, int width) {
    int value = 0;
    for (int i = 0; i < width; ++i) value = value * 10 + (text[at + i] - '0');
    return value;
  };
  if (std::strlen(reinterpret_cast<const char*>(text)) != 19) return 0;
  tm.tm_year = n(0, 4) - 1900;
  tm.tm_mon = n(5, 2) - 1;
  tm.tm_mday = n(8, 2);
  tm.tm_hour = n(11, 2);
  tm.tm_min = n(14, 2);
  tm.tm_sec = n(17, 2);
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm));
}

class SqliteStatement final : public RawStatement {
 public:
  explicit SqliteStatement(sqlite3_stmt* statement) : statement_(statement) {}
  ~SqliteStatement() override { sqlite3_finalize(statement_); }
  void BindInt(int place, int value) override { sqlite3_bind_int(statement_, place, value); }
  void BindText(int place, const std::u16string& value) override {
    sqlite3_bind_text16(statement_, place, value.data(), static_cast<int>(value.size() * 2),
                        SQLITE_TRANSIENT);
  }
  void BindTime(int place, const std::string& text) override {
    sqlite3_bind_text(statement_, place, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  }
  bool Execute() override {
    rc_ = sqlite3_step(statement_);
    pending_ = rc_ == SQLITE_ROW;
    return rc_ == SQLITE_ROW || rc_ == SQLITE_DONE;
  }
  bool Next() override {
    if (pending_) {
      pending_ = false;
      return true;
    }
    if (rc_ != SQLITE_ROW) return false;
    rc_ = sqlite3_step(statement_);
    return rc_ == SQLITE_ROW;
  }
  int Int(int column) override { return sqlite3_column_int(statement_, column); }
  double Real(int column) override { return sqlite3_column_double(statement_, column); }
  std::u16string Text(int column) override {
    const void* text = sqlite3_column_text16(statement_, column);
    const int bytes = sqlite3_column_bytes16(statement_, column);
    if (text == nullptr) return std::u16string();
    return std::u16string(static_cast<const char16_t*>(text), static_cast<size_t>(bytes / 2));
  }
  int64_t Seconds(int column) override {
    return SecondsOfText(sqlite3_column_text(statement_, column));
  }
  void Done() override {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }

 private:
  sqlite3_stmt* statement_;
  int rc_ = SQLITE_DONE;
  bool pending_ = false;
};

class SqliteRaw final : public RawDb {
 public:
  explicit SqliteRaw(const std::string& path) {
    sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    sqlite3_busy_timeout(db_, 5000);
    sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    begin_ = Prepare("BEGIN IMMEDIATE");
    commit_ = Prepare("COMMIT");
  }
  ~SqliteRaw() override {
    statements_.clear();
    sqlite3_close(db_);
  }
  RawStatement* Prepare(const std::string& text) override {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, text.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement,
                           nullptr) != SQLITE_OK) {
      std::fprintf(stderr, "bench: can't prepare %s: %s\n", text.c_str(), sqlite3_errmsg(db_));
      return nullptr;
    }
    statements_.push_back(std::make_unique<SqliteStatement>(statement));
    return statements_.back().get();
  }
  bool Begin() override {
    const bool ok = begin_->Execute();
    begin_->Done();
    return ok;
  }
  bool Commit() override {
    const bool ok = commit_->Execute();
    commit_->Done();
    return ok;
  }

 private:
  sqlite3* db_ = nullptr;
  std::vector<std::unique_ptr<SqliteStatement>> statements_;
  RawStatement* begin_ = nullptr;
  RawStatement* commit_ = nullptr;
};

// --------------------------------------------------------- raw: ODBC API
// PostgreSQL's and MariaDB's drivers alike.

class OdbcStatement final : public RawStatement {
 public:
  explicit OdbcStatement(SQLHSTMT statement) : statement_(statement) {}
  ~OdbcStatement() override { SQLFreeHandle(SQL_HANDLE_STMT, statement_); }
  void BindInt(int place, int value) override {
    Value& v = At(place);
    v.integer = value;
    v.indicator = 0;
    SQLBindParameter(statement_, static_cast<SQLUSMALLINT>(place), SQL_PARAM_INPUT, SQL_C_SLONG,
                     SQL_INTEGER, 10, 0, &v.integer, 0, &v.indicator);
  }
  void BindText(int place, const std::u16string& value) override {
    Value& v = At(place);
    v.text = value;
    v.indicator = static_cast<SQLLEN>(v.text.size() * 2);
    SQLBindParameter(statement_, static_cast<SQLUSMALLINT>(place), SQL_PARAM_INPUT, SQL_C_WCHAR,
                     SQL_WVARCHAR, v.text.size() == 0 ? 1 : v.text.size(), 0,
                     reinterpret_cast<SQLWCHAR*>(v.text.data()), v.indicator, &v.indicator);
  }
  void BindTime(int place, const std::string& text) override {
    Value& v = At(place);
    int year, month, day, hour, minute, second;
    std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second);
    v.time = SQL_TIMESTAMP_STRUCT{static_cast<SQLSMALLINT>(year),
                                  static_cast<SQLUSMALLINT>(month),
                                  static_cast<SQLUSMALLINT>(day),
                                  static_cast<SQLUSMALLINT>(hour),
                                  static_cast<SQLUSMALLINT>(minute),
                                  static_cast<SQLUSMALLINT>(second),
                                  0};
    v.indicator = sizeof(v.time);
    SQLBindParameter(statement_, static_cast<SQLUSMALLINT>(place), SQL_PARAM_INPUT,
                     SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 19, 0, &v.time, sizeof(v.time),
                     &v.indicator);
  }
  bool Execute() override {
    const SQLRETURN rc = SQLExecute(statement_);
    return SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
  }
  bool Next() override { return SQL_SUCCEEDED(SQLFetch(statement_)); }
  int Int(int column) override {
    SQLINTEGER value = 0;
    SQLLEN indicator = 0;
    SQLGetData(statement_, static_cast<SQLUSMALLINT>(column + 1), SQL_C_SLONG, &value, 0,
               &indicator);
    return indicator == SQL_NULL_DATA ? 0 : value;
  }
  double Real(int column) override {
    double value = 0;
    SQLLEN indicator = 0;
    SQLGetData(statement_, static_cast<SQLUSMALLINT>(column + 1), SQL_C_DOUBLE, &value, 0,
               &indicator);
    return indicator == SQL_NULL_DATA ? 0 : value;
  }
  std::u16string Text(int column) override {
    SQLLEN indicator = 0;
    SQLGetData(statement_, static_cast<SQLUSMALLINT>(column + 1), SQL_C_WCHAR, text_,
               sizeof(text_), &indicator);
    if (indicator == SQL_NULL_DATA || indicator < 0) return std::u16string();
    const size_t units = std::min<size_t>(static_cast<size_t>(indicator) / 2, kTextUnits - 1);
    return std::u16string(text_, units);
  }
  int64_t Seconds(int column) override {
    SQL_TIMESTAMP_STRUCT t{};
    SQLLEN indicator = 0;
    SQLGetData(statement_, static_cast<SQLUSMALLINT>(column + 1), SQL_C_TYPE_TIMESTAMP, &t,
               sizeof(t), &indicator);
    if (indicator == SQL_NULL_DATA) return 0;
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm));
  }
  void Done() override {
    SQLFreeStmt(statement_, SQL_CLOSE);
    SQLFreeStmt(statement_, SQL_RESET_PARAMS);
  }

 private:
  static constexpr size_t kTextUnits = 4096;
  struct Value {
    SQLINTEGER integer = 0;
    std::u16string text;
    SQL_TIMESTAMP_STRUCT time{};
    SQLLEN indicator = 0;
  };
  Value& At(int place) { return values_.at(static_cast<size_t>(place - 1)); }

  SQLHSTMT statement_;
  // Bound storage must not move while bound.
  std::array<Value, 16> values_;
  char16_t text_[kTextUnits];
};

class OdbcRaw final : public RawDb {
 public:
  explicit OdbcRaw(const std::string& connection_string) : link_(connection_string) {}
  ~OdbcRaw() override {
    statements_.clear();
    if (control_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, control_);
  }
  bool ok() const { return link_.ok; }
  RawStatement* Prepare(const std::string& text) override {
    SQLHSTMT statement = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, link_.dbc, &statement))) return nullptr;
    std::u16string wide = ToWide(text);
    if (!SQL_SUCCEEDED(SQLPrepareW(statement, reinterpret_cast<SQLWCHAR*>(wide.data()),
                                   static_cast<SQLINTEGER>(wide.size())))) {
      SQLFreeHandle(SQL_HANDLE_STMT, statement);
      std::fprintf(stderr, "bench: can't prepare %s\n", text.c_str());
      return nullptr;
    }
    statements_.push_back(std::make_unique<OdbcStatement>(statement));
    return statements_.back().get();
  }
  bool Begin() override {
    // Transactions run at SERIALIZABLE, set for each one by a statement as
    // the module sets it on PostgreSQL and MariaDB: the statements outside
    // a transaction keep the session's own isolation. PostgreSQL's driver
    // opens the transaction with this statement; on MariaDB it applies to
    // the transaction that the next statement starts.
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(link_.dbc, SQL_ATTR_AUTOCOMMIT,
                                         reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0))) {
      return false;
    }
    if (control_ == SQL_NULL_HSTMT &&
        !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, link_.dbc, &control_))) {
      return false;
    }
    const SQLRETURN rc = SQLExecDirect(
        control_, reinterpret_cast<SQLCHAR*>(const_cast<char*>(kSerializable)), SQL_NTS);
    SQLFreeStmt(control_, SQL_CLOSE);
    return SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
  }
  bool Commit() override {
    const bool ok = SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, link_.dbc, SQL_COMMIT));
    SQLSetConnectAttr(link_.dbc, SQL_ATTR_AUTOCOMMIT,
                      reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    return ok;
  }

 private:
  OdbcLink link_;
  static constexpr char kSerializable[] = "SET TRANSACTION ISOLATION LEVEL SERIALIZABLE";
  std::vector<std::unique_ptr<OdbcStatement>> statements_;
  SQLHSTMT control_ = SQL_NULL_HSTMT;  // runs kSerializable
};

}  // namespace

std::unique_ptr<RawDb> RawDb::Open(Backend backend, World* world) {
  std::unique_ptr<RawDb> db;
  if (backend == Backend::kSqlite) {
    db = std::make_unique<SqliteRaw>(world->path());
  } else {
    // The string the module hands the driver, with the driver settings it
    // adds (PostgreSQL's rollback level, MariaDB's row counts and time
    // bounds), so that the driver does the same work for both.
    const db::ConnectionTarget target = db::ResolveConnectionString(world->connection_string());
    if (target.kind != db::ConnectionTarget::Kind::kOdbc) return nullptr;
    auto raw = std::make_unique<OdbcRaw>(target.odbc);
    if (!raw->ok()) return nullptr;
    db = std::move(raw);
  }
  db->backend_ = backend;
  return db;
}

std::string Image(CKParam& packet) {
  return std::string(packet.GetBufferPtr(), static_cast<size_t>(packet.GetLength()));
}

// Keeps the reads of the replies from being optimised away.
volatile uint64_t reply_sink = 0;

void ReadReply(const char* bytes, int length, std::string* digest, int skip_key) {
  CKParam packet;
  if (packet.SetBufferPtr(const_cast<char*>(bytes), length) != 0) return;
  const int count = static_cast<int>(DecodeFixed32(bytes + kRecordCountOffset));
  int64_t offset = kHeaderSize;
  uint64_t sum = 0;
  for (int i = 0; i < count && offset + kRecordHeaderSize <= length; ++i) {
    const char* record = bytes + offset;
    const uint32_t data_length = DecodeFixed32(record + kDataLengthOffset);
    const short key = DecodeSigned16(record + kKeyOffset);
    const short type = DecodeSigned16(record + kTypeOffset);
    offset += kRecordHeaderSize + data_length;
    int value = 0;
    CString text;
    bool read = false;
    if (type == kTypeInt) {
      read = packet.GetInt(key, value) == 0;
      sum += static_cast<uint32_t>(value);
    } else if (type == kTypeText) {
      read = packet.GetCString(key, text) == 0;
      sum += text.size();
    }
    if (digest != nullptr && read && key != skip_key) {
      *digest += std::to_string(key) + ":" + std::to_string(type) + "=" + std::to_string(value) +
                 "/" + ToNarrow(text) + ";";
    }
  }
  reply_sink = reply_sink + sum;
}

void HandOverAndRead(CKParam& reply, std::string* digest, int skip_key) {
  const int length = reply.GetLength();
  char* bytes = new char[length];
  std::memcpy(bytes, reply.GetBufferPtr(), static_cast<size_t>(length));
  ReadReply(bytes, length, digest, skip_key);
  MyDeletePtr(bytes);
}

}  // namespace zelvar::bench
