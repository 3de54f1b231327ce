// Test databases on SQLite, PostgreSQL and MariaDB. The checks run on
// connections of their own through the kit's raw client (raw sqlite3 and
// raw ODBC), so a fault of the module's backends can't hide itself by
// reading back what it wrote wrong.

#include "support/test_db.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "kit/text.h"
#include "support/module_connection.h"

namespace zelvar::test {
namespace {

// The checks' MariaDB session reads quoted literals as standard SQL does
// (the server's own default, which the module's sessions keep, takes a
// backslash as an escape).
constexpr char kStandardLiterals[] =
    "SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), "
    "'NO_BACKSLASH_ESCAPES')";

bool Required(const char* variable) {
  const char* require = std::getenv(variable);
  return require != nullptr && std::string(require) == "1";
}

void SkipWithoutPostgres() {
  if (Required("ZELVAR_REQUIRE_PG")) {
    ADD_FAILURE() << "ZELVAR_REQUIRE_PG=1 but ZELVAR_TEST_PG_ADMIN is not set "
                     "(run the tests through scripts/with-postgres)";
    return;
  }
  GTEST_SKIP() << "no PostgreSQL server (ZELVAR_TEST_PG_ADMIN is not set)";
}

void SkipWithoutMariaDb() {
  if (Required("ZELVAR_REQUIRE_MARIADB")) {
    ADD_FAILURE() << "ZELVAR_REQUIRE_MARIADB=1 but ZELVAR_TEST_MARIADB is not set "
                     "(run the tests through scripts/with-mariadb)";
    return;
  }
  GTEST_SKIP() << "no MariaDB server (ZELVAR_TEST_MARIADB is not set)";
}

// The checks' connection to a server database; MariaDB's reads literals
// as standard SQL.
std::unique_ptr<kit::RawDb> ConnectChecks(Backend backend, const std::string& connection_string,
                                          std::string* error) {
  std::unique_ptr<kit::RawDb> raw = kit::OpenOdbc(connection_string, error);
  if (raw != nullptr && backend == Backend::kMariaDb && !raw->Exec(kStandardLiterals, error)) {
    return nullptr;
  }
  return raw;
}

}  // namespace

struct TestDatabase::Impl {
  std::string folder;  // SQLite: the temporary folder holding the file
  std::unique_ptr<kit::RawDb> raw;
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

std::unique_ptr<TestDatabase> TestDatabase::Create(Backend backend) {
  std::unique_ptr<TestDatabase> db(new TestDatabase());
  db->backend_ = backend;
  db->impl_ = std::make_unique<Impl>();
  Impl& impl = *db->impl_;
  std::string error;
  switch (backend) {
    case Backend::kSqlite: {
      impl.folder = kit::MakeTempDir("zelvar-db-");
      if (impl.folder.empty()) {
        ADD_FAILURE() << "can't make a temporary folder";
        return nullptr;
      }
      const std::string path = impl.folder + "/zelvar.db";
      impl.raw = kit::CreateSqliteDatabase(path, &error);
      if (impl.raw == nullptr) {
        ADD_FAILURE() << "can't create " << path << " with schema/sqlite.sql: " << error;
        return nullptr;
      }
      db->connection_string_ = "Provider=SQLite;Data Source=" + path;
      return db;
    }
    case Backend::kMariaDb:
      if (!kit::MariaDbAvailable()) {
        SkipWithoutMariaDb();
        return nullptr;
      }
      db->connection_string_ = kit::CreateMariaDbDatabase(kit::SchemaPath(backend), &error);
      if (db->connection_string_.empty()) {
        ADD_FAILURE() << "can't create a MariaDB database: " << error;
        return nullptr;
      }
      break;
    case Backend::kPostgres:
      if (!kit::PostgresAvailable()) {
        SkipWithoutPostgres();
        return nullptr;
      }
      db->connection_string_ = kit::CreatePostgresDatabase(&error);
      if (db->connection_string_.empty()) {
        ADD_FAILURE() << "can't create a PostgreSQL database: " << error;
        return nullptr;
      }
      break;
  }
  // The checks go straight to the server when the module's string goes
  // through a pooler: what they read is then the server's, not something
  // a shared pooled session made of it.
  impl.raw = ConnectChecks(backend,
                           backend == Backend::kPostgres
                               ? kit::DirectPostgresString(db->connection_string_)
                               : db->connection_string_,
                           &error);
  if (impl.raw == nullptr) {
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
    const std::string path =
        connection_string.substr(std::min(prefix.size(), connection_string.size()));
    db->impl_->raw = kit::OpenSqlite(path, false, &error);
    if (db->impl_->raw == nullptr) {
      ADD_FAILURE() << "can't open " << path;
      return nullptr;
    }
    return db;
  }
  db->impl_->raw = ConnectChecks(backend, connection_string, &error);
  if (db->impl_->raw == nullptr) {
    ADD_FAILURE() << "can't connect to " << connection_string << ": " << error;
    return nullptr;
  }
  return db;
}

TestDatabase::~TestDatabase() {
  // Pooled connections would keep the database (or its file) in use.
  ReleaseModuleConnections(connection_string_);
  if (!impl_) return;
  impl_->raw.reset();
  if (!owned_) return;
  if (backend_ == Backend::kPostgres && !connection_string_.empty()) {
    kit::DropPostgresDatabase(connection_string_);
  }
  if (backend_ == Backend::kMariaDb && !connection_string_.empty()) {
    kit::DropMariaDbDatabase(connection_string_);
  }
  if (!impl_->folder.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(impl_->folder, ignored);
  }
}

kit::RawDb& TestDatabase::raw() { return *impl_->raw; }

void TestDatabase::Use() {
  ASSERT_EQ(UseModuleConnection(connection_string_), 0)
      << "the module can't open " << connection_string_;
}

void TestDatabase::Exec(const std::string& sql) {
  std::string error;
  EXPECT_TRUE(impl_->raw->Exec(sql, &error)) << sql << "\n" << error;
}

void TestDatabase::RefuseWrites(const std::string& table, const std::string& event,
                                const std::string& message) {
  const std::string name = "refuse_" + table + "_" + event;
  const std::string quoted = kit::Quote(message);
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
  kit::Rows rows;
  std::string error;
  EXPECT_TRUE(impl_->raw->Query(sql, {}, &rows, &error)) << sql << "\n" << error;
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
  path_ = kit::MakeTempDir("zelvar-test-");
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
  return kit::ReadWholeFile(path_ + "/" + name);
}

}  // namespace zelvar::test
