// Test databases on SQLite and PostgreSQL. The checks run on connections
// of their own (raw sqlite3 and raw ODBC), so a fault of the module's
// backends can't hide itself by reading back what it wrote wrong.

#include "support/test_db.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "db/current_connection.h"
#include "db/runner.h"
#include "support/mariadb.h"
#include "support/postgres.h"
#include "util/text.h"

namespace zelvar::test {
namespace {

std::string SourceDir() {
  if (const char* dir = std::getenv("ZELVAR_SOURCE_DIR")) return dir;
  return ZELVAR_SOURCE_DIR;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string MakeTempDir(const char* prefix) {
  std::string base = std::filesystem::temp_directory_path().string() + "/" + prefix + "XXXXXX";
  if (mkdtemp(base.data()) == nullptr) return std::string();
  return base;
}

// Cuts fractions and a "T" off a date-time text, as the module reads them.
std::string DateTimeShape(std::string text) {
  if (text.size() > 19 && text[4] == '-' && text[7] == '-' && text[13] == ':' && text[16] == ':') {
    text.resize(19);
  }
  if (text.size() == 19 && text[10] == 'T') text[10] = ' ';
  return text;
}

// A raw ODBC connection with the handles it owns.
class OdbcSession {
 public:
  ~OdbcSession() {
    if (dbc_ != SQL_NULL_HDBC) {
      if (connected_) SQLDisconnect(dbc_);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    }
    if (env_ != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }

  bool Connect(const std::string& connection_string, std::string* error) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    SQLRETURN rc = SQLDriverConnect(
        dbc_, nullptr,
        reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection_string.c_str())), SQL_NTS,
        nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
      *error = Diagnostics(SQL_HANDLE_DBC, dbc_);
      return false;
    }
    connected_ = true;
    return true;
  }

  // Runs `sql`; rows (as UTF-8, NULL as nullopt) into `rows` when not null.
  bool Run(const std::string& sql, std::vector<std::vector<std::optional<std::string>>>* rows,
           std::string* error) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
    std::u16string wide = ToWide(sql);
    SQLRETURN rc = SQLExecDirectW(
        stmt, reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(wide.c_str())), SQL_NTS);
    bool ok = SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
    if (!ok) *error = Diagnostics(SQL_HANDLE_STMT, stmt);
    if (ok && rows != nullptr) ok = Fetch(stmt, rows, error);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return ok;
  }

 private:
  static bool Fetch(SQLHSTMT stmt, std::vector<std::vector<std::optional<std::string>>>* rows,
                    std::string* error) {
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt, &columns);
    std::vector<SQLSMALLINT> types(columns);
    for (SQLSMALLINT i = 0; i < columns; ++i) {
      SQLDescribeColW(stmt, i + 1, nullptr, 0, nullptr, &types[i], nullptr, nullptr, nullptr);
    }
    SQLRETURN rc;
    while ((rc = SQLFetch(stmt)) == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) {
      auto& row = rows->emplace_back();
      for (SQLSMALLINT i = 0; i < columns; ++i) {
        std::u16string value;
        bool is_null = false;
        for (;;) {
          char16_t chunk[1024];
          SQLLEN indicator = 0;
          rc = SQLGetData(stmt, i + 1, SQL_C_WCHAR, chunk, sizeof(chunk), &indicator);
          if (rc == SQL_NO_DATA) break;
          if (!SQL_SUCCEEDED(rc)) {
            *error = Diagnostics(SQL_HANDLE_STMT, stmt);
            return false;
          }
          if (indicator == SQL_NULL_DATA) {
            is_null = true;
            break;
          }
          const size_t whole = sizeof(chunk) / sizeof(chunk[0]) - 1;
          const size_t got = (indicator == SQL_NO_TOTAL ||
                              indicator / static_cast<SQLLEN>(sizeof(char16_t)) >
                                  static_cast<SQLLEN>(whole))
                                 ? whole
                                 : static_cast<size_t>(indicator) / sizeof(char16_t);
          value.append(chunk, got);
          if (rc == SQL_SUCCESS) break;
        }
        if (is_null) {
          row.push_back(std::nullopt);
        } else if (types[i] == SQL_TYPE_TIMESTAMP || types[i] == SQL_DATETIME) {
          row.push_back(DateTimeShape(ToNarrow(value)));
        } else {
          row.push_back(ToNarrow(value));
        }
      }
    }
    if (rc != SQL_NO_DATA) {
      *error = Diagnostics(SQL_HANDLE_STMT, stmt);
      return false;
    }
    return true;
  }

  static std::string Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::string text;
    SQLCHAR state[6];
    SQLCHAR message[1024];
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    for (SQLSMALLINT i = 1;
         SQL_SUCCEEDED(SQLGetDiagRec(type, handle, i, state, &native, message, sizeof(message),
                                     &length));
         ++i) {
      text += reinterpret_cast<char*>(state);
      text += ": ";
      text += reinterpret_cast<char*>(message);
      text += "\n";
    }
    return text.empty() ? "ODBC call failed" : text;
  }

  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  bool connected_ = false;
};

// The checks' MariaDB session reads quoted literals as standard SQL does
// (the server's own default, which the module's sessions keep, takes a
// backslash as an escape).
constexpr char kStandardLiterals[] =
    "SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), "
    "'NO_BACKSLASH_ESCAPES')";

bool SqliteExec(sqlite3* db, const std::string& sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = message != nullptr ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

bool SqliteQuery(sqlite3* db, const std::string& sql,
                 std::vector<std::vector<std::optional<std::string>>>* rows, std::string* error) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  int rc;
  const int columns = sqlite3_column_count(stmt);
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    auto& row = rows->emplace_back();
    for (int i = 0; i < columns; ++i) {
      if (sqlite3_column_type(stmt, i) == SQLITE_NULL) {
        row.push_back(std::nullopt);
        continue;
      }
      std::string text(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                       sqlite3_column_bytes(stmt, i));
      const char* declared = sqlite3_column_decltype(stmt, i);
      if (declared != nullptr && std::string(declared) == "DATETIME") text = DateTimeShape(text);
      row.push_back(std::move(text));
    }
  }
  if (rc != SQLITE_DONE) *error = sqlite3_errmsg(db);
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE;
}

}  // namespace

struct TestDatabase::Impl {
  ~Impl() {
    if (sqlite != nullptr) sqlite3_close_v2(sqlite);
  }
  std::string folder;  // SQLite: the temporary folder holding the file
  sqlite3* sqlite = nullptr;
  std::unique_ptr<OdbcSession> odbc;
};

std::string BackendName(Backend backend) {
  switch (backend) {
    case Backend::kSqlite:
      return "SQLite";
    case Backend::kPostgres:
      return "PostgreSQL";
    case Backend::kMariaDb:
      return "MariaDB";
  }
  return "unknown";
}

namespace {

bool MariaDbRequired() {
  const char* require = std::getenv("ZELVAR_REQUIRE_MARIADB");
  return require != nullptr && std::string(require) == "1";
}

}  // namespace

// Always every backend: ctest lists the tests once and keeps the list
// until the program changes, so a list that followed the environment would
// leave out the MariaDB cases of a later run with a server. Without one
// they skip (or fail when required), as the PostgreSQL cases do.
std::vector<Backend> AllBackends() {
  return {Backend::kSqlite, Backend::kPostgres, Backend::kMariaDb};
}

std::string BackendParamName(const testing::TestParamInfo<Backend>& info) {
  return BackendName(info.param);
}

namespace {

void SkipWithoutPostgres() {
  const char* require = std::getenv("ZELVAR_REQUIRE_PG");
  if (require != nullptr && std::string(require) == "1") {
    ADD_FAILURE() << "ZELVAR_REQUIRE_PG=1 but ZELVAR_TEST_PG_ADMIN is not set "
                     "(run the tests through scripts/with-postgres)";
    return;
  }
  GTEST_SKIP() << "no PostgreSQL server (ZELVAR_TEST_PG_ADMIN is not set)";
}

void SkipWithoutMariaDb() {
  if (MariaDbRequired()) {
    ADD_FAILURE() << "ZELVAR_REQUIRE_MARIADB=1 but ZELVAR_TEST_MARIADB is not set "
                     "(run the tests through scripts/with-mariadb)";
    return;
  }
  GTEST_SKIP() << "no MariaDB server (ZELVAR_TEST_MARIADB is not set)";
}

}  // namespace

std::unique_ptr<TestDatabase> TestDatabase::Create(Backend backend) {
  std::unique_ptr<TestDatabase> db(new TestDatabase());
  db->backend_ = backend;
  db->impl_ = std::make_unique<Impl>();
  std::string error;
  if (backend == Backend::kSqlite) {
    db->impl_->folder = MakeTempDir("zelvar-db-");
    if (db->impl_->folder.empty()) {
      ADD_FAILURE() << "can't make a temporary folder";
      return nullptr;
    }
    const std::string path = db->impl_->folder + "/zelvar.db";
    if (sqlite3_open_v2(path.c_str(), &db->impl_->sqlite,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "can't create " << path << ": " << sqlite3_errmsg(db->impl_->sqlite);
      return nullptr;
    }
    sqlite3_busy_timeout(db->impl_->sqlite, 5000);
    const std::string schema = ReadWholeFile(SourceDir() + "/schema/sqlite.sql");
    if (schema.empty() || !SqliteExec(db->impl_->sqlite, schema, &error)) {
      ADD_FAILURE() << "can't load schema/sqlite.sql: " << error;
      return nullptr;
    }
    db->connection_string_ = "Provider=SQLite;Data Source=" + path;
    return db;
  }
  if (backend == Backend::kMariaDb) {
    if (!MariaDbAvailable()) {
      SkipWithoutMariaDb();
      return nullptr;
    }
    db->connection_string_ = CreateMariaDbDatabase(SourceDir() + "/schema/mariadb.sql", &error);
    if (db->connection_string_.empty()) {
      ADD_FAILURE() << "can't create a MariaDB database: " << error;
      return nullptr;
    }
    db->impl_->odbc = std::make_unique<OdbcSession>();
    if (!db->impl_->odbc->Connect(db->connection_string_, &error) ||
        !db->impl_->odbc->Run(kStandardLiterals, nullptr, &error)) {
      ADD_FAILURE() << "can't connect to the test database: " << error;
      return nullptr;
    }
    return db;
  }
  if (!PostgresAvailable()) {
    SkipWithoutPostgres();
    return nullptr;
  }
  db->connection_string_ = CreatePostgresDatabase(&error);
  if (db->connection_string_.empty()) {
    ADD_FAILURE() << "can't create a PostgreSQL database: " << error;
    return nullptr;
  }
  // The checks go straight to the server when the module's string goes
  // through a pooler: what they read is then the server's, not something
  // a shared pooled session made of it.
  db->impl_->odbc = std::make_unique<OdbcSession>();
  if (!db->impl_->odbc->Connect(DirectPostgresString(db->connection_string_), &error)) {
    ADD_FAILURE() << "can't connect to the test database: " << error;
    return nullptr;  // the destructor drops the database
  }
  return db;
}

std::unique_ptr<TestDatabase> TestDatabase::Attach(Backend backend,
                                                   const std::string& connection_string) {
  std::unique_ptr<TestDatabase> db(new TestDatabase());
  db->backend_ = backend;
  db->owned_ = false;
  db->connection_string_ = connection_string;
  db->impl_ = std::make_unique<Impl>();
  std::string error;
  if (backend == Backend::kSqlite) {
    const std::string prefix = "Provider=SQLite;Data Source=";
    const std::string path = connection_string.substr(std::min(prefix.size(), connection_string.size()));
    if (sqlite3_open_v2(path.c_str(), &db->impl_->sqlite, SQLITE_OPEN_READWRITE, nullptr) !=
        SQLITE_OK) {
      ADD_FAILURE() << "can't open " << path;
      return nullptr;
    }
    sqlite3_busy_timeout(db->impl_->sqlite, 5000);
    return db;
  }
  db->impl_->odbc = std::make_unique<OdbcSession>();
  if (!db->impl_->odbc->Connect(connection_string, &error) ||
      (backend == Backend::kMariaDb && !db->impl_->odbc->Run(kStandardLiterals, nullptr, &error))) {
    ADD_FAILURE() << "can't connect to " << connection_string << ": " << error;
    return nullptr;
  }
  return db;
}

TestDatabase::~TestDatabase() {
  // Pooled connections would keep the database (or its file) in use.
  db::CloseIdleConnections();
  if (*CurrentConnectionString() == connection_string_) {
    SetConnectionString(kBuiltInConnectionString);
  }
  if (!impl_) return;
  impl_->odbc.reset();
  if (impl_->sqlite != nullptr) {
    sqlite3_close_v2(impl_->sqlite);
    impl_->sqlite = nullptr;
  }
  if (!owned_) return;
  if (backend_ == Backend::kPostgres && !connection_string_.empty()) {
    DropPostgresDatabase(connection_string_);
  }
  if (backend_ == Backend::kMariaDb && !connection_string_.empty()) {
    DropMariaDbDatabase(connection_string_);
  }
  if (!impl_->folder.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(impl_->folder, ignored);
  }
}

void TestDatabase::Use() {
  ASSERT_EQ(db::TestAndSetConnectionString(connection_string_), 0)
      << "the module can't open " << connection_string_;
}

void TestDatabase::Exec(const std::string& sql) {
  std::string error;
  const bool ok = impl_->sqlite != nullptr ? SqliteExec(impl_->sqlite, sql, &error)
                                           : impl_->odbc->Run(sql, nullptr, &error);
  EXPECT_TRUE(ok) << sql << "\n" << error;
}

void TestDatabase::RefuseWrites(const std::string& table, const std::string& event,
                                const std::string& message) {
  const std::string name = "refuse_" + table + "_" + event;
  std::string quoted = "'";
  for (char c : message) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  quoted += "'";
  switch (backend_) {
    case Backend::kSqlite:
      Exec("CREATE TRIGGER " + name + " BEFORE " + event + " ON " + table +
           " BEGIN SELECT RAISE(ABORT, " + quoted + "); END");
      break;
    case Backend::kPostgres:
      Exec("CREATE FUNCTION " + name + "() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RAISE "
           "EXCEPTION " + quoted + "; END $$");
      Exec("CREATE TRIGGER " + name + " BEFORE " + event + " ON " + table +
           " FOR EACH ROW EXECUTE FUNCTION " + name + "()");
      break;
    case Backend::kMariaDb:
      Exec("CREATE TRIGGER " + name + " BEFORE " + event + " ON " + table +
           " FOR EACH ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = " + quoted);
      break;
  }
}

std::vector<std::vector<std::optional<std::string>>> TestDatabase::Query(const std::string& sql) {
  std::vector<std::vector<std::optional<std::string>>> rows;
  std::string error;
  const bool ok = impl_->sqlite != nullptr ? SqliteQuery(impl_->sqlite, sql, &rows, &error)
                                           : impl_->odbc->Run(sql, &rows, &error);
  EXPECT_TRUE(ok) << sql << "\n" << error;
  return rows;
}

int64_t TestDatabase::QueryInt(const std::string& sql) {
  auto rows = Query(sql);
  if (rows.size() != 1 || rows[0].size() != 1 || !rows[0][0]) {
    ADD_FAILURE() << "expected one integer from " << sql;
    return 0;
  }
  return std::strtoll(rows[0][0]->c_str(), nullptr, 10);
}

ScopedTempDir::ScopedTempDir() {
  path_ = MakeTempDir("zelvar-test-");
  char cwd[4096];
  if (getcwd(cwd, sizeof(cwd)) != nullptr) previous_cwd_ = cwd;
  if (path_.empty() || chdir(path_.c_str()) != 0) ADD_FAILURE() << "can't enter a temporary folder";
}

ScopedTempDir::~ScopedTempDir() {
  if (!previous_cwd_.empty() && chdir(previous_cwd_.c_str()) != 0) {
    ADD_FAILURE() << "can't return to " << previous_cwd_;
  }
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

std::string ScopedTempDir::ReadFile(const std::string& name) const {
  return ReadWholeFile(path_ + "/" + name);
}

}  // namespace zelvar::test
