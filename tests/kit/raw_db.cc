// The raw client's SQLite side (raw_db.h); the ODBC side is raw_odbc.cc.
#include "kit/raw_db.h"

#include <sqlite3.h>

#include <cctype>

#include "kit/raw_db_internal.h"
#include "util/sql_script.h"

namespace zelvar::kit {

std::string DateTimeShape(std::string text) {
  if (text.size() > 19 && text[4] == '-' && text[7] == '-' && text[13] == ':' && text[16] == ':') {
    text.resize(19);
  }
  if (text.size() == 19 && text[10] == 'T') text[10] = ' ';
  return text;
}


namespace {

class Sqlite final : public SqliteDb {
 public:
  explicit Sqlite(sqlite3* db) : db_(db) {}
  ~Sqlite() override { sqlite3_close_v2(db_); }

  using RawDb::Exec;
  sqlite3* handle() override { return db_; }
  std::string ProductName() override { return "SQLite"; }

  bool Exec(const std::string& sql, const std::vector<Value>& values,
            std::string* error) override {
    if (values.empty()) {
      char* message = nullptr;
      if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
      *error = message != nullptr ? message : sqlite3_errmsg(db_);
      sqlite3_free(message);
      return false;
    }
    sqlite3_stmt* statement = Prepare(sql, values, error);
    if (statement == nullptr) return false;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    }
    sqlite3_finalize(statement);
    return rc == SQLITE_DONE || Fail(error);
  }

  bool Query(const std::string& sql, const std::vector<Value>& values, Rows* rows,
             std::string* error) override {
    sqlite3_stmt* statement = Prepare(sql, values, error);
    if (statement == nullptr) return false;
    int rc;
    const int columns = sqlite3_column_count(statement);
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      Row& row = rows->emplace_back();
      for (int i = 0; i < columns; ++i) row.push_back(Column(statement, i));
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
        return Abandon(began, error);
      }
      tail = next;
      if (statement == nullptr) continue;  // a comment or blanks
      if (!began && FirstWord(sqlite3_sql(statement)) != "pragma") {
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
      if (rc != SQLITE_DONE) return Abandon(began, error);
    }
    return !began || Commit(error);
  }

  bool Begin(std::string* error) override { return Exec("BEGIN IMMEDIATE", error); }
  bool Commit(std::string* error) override { return Exec("COMMIT", error); }
  void Rollback() override { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }

 private:
  bool Fail(std::string* error) {
    *error = sqlite3_errmsg(db_);
    return false;
  }

  bool Abandon(bool began, std::string* error) {
    Fail(error);
    if (began) Rollback();
    return false;
  }

  static std::optional<std::string> Column(sqlite3_stmt* statement, int i) {
    if (sqlite3_column_type(statement, i) == SQLITE_NULL) return std::nullopt;
    std::string text(reinterpret_cast<const char*>(sqlite3_column_text(statement, i)),
                     sqlite3_column_bytes(statement, i));
    const char* declared = sqlite3_column_decltype(statement, i);
    if (declared != nullptr && std::string(declared) == "DATETIME") text = DateTimeShape(text);
    return text;
  }

  sqlite3_stmt* Prepare(const std::string& sql, const std::vector<Value>& values,
                        std::string* error) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement,
                           nullptr) != SQLITE_OK) {
      Fail(error);
      return nullptr;
    }
    for (size_t i = 0; i < values.size(); ++i) Bind(statement, static_cast<int>(i + 1), values[i]);
    return statement;
  }

  static void Bind(sqlite3_stmt* statement, int place, const Value& v) {
    switch (v.kind) {
      case Value::Kind::kNull:
        sqlite3_bind_null(statement, place);
        break;
      case Value::Kind::kInt:
      case Value::Kind::kBool:
        sqlite3_bind_int64(statement, place, v.number);
        break;
      case Value::Kind::kDouble:
        sqlite3_bind_double(statement, place, v.real);
        break;
      case Value::Kind::kText:
      case Value::Kind::kTime:
        sqlite3_bind_text(statement, place, v.text.data(), static_cast<int>(v.text.size()),
                          SQLITE_TRANSIENT);
        break;
    }
  }

  sqlite3* db_;
};

}  // namespace

std::unique_ptr<SqliteDb> OpenSqlite(const std::string& path, bool create, std::string* error) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    *error = "cannot open '" + path + "': " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  return std::make_unique<Sqlite>(db);
}

}  // namespace zelvar::kit
