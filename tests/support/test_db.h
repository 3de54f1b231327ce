// Test databases: a fresh, empty database with the shipped schema for each
// test, on SQLite (a file in a temporary folder) or on PostgreSQL through
// ODBC (a database created for the test on the server that
// scripts/with-postgres starts; it exports ZELVAR_TEST_PG_ADMIN, an ODBC
// string for the "postgres" database on it; behind scripts/with-pgbouncer
// the module's string goes through the pooler and the checks' straight to
// the server), and on MariaDB through ODBC when scripts/with-mariadb runs a
// server (ZELVAR_TEST_MARIADB).
#ifndef ZELVAR_TESTS_SUPPORT_TEST_DB_H_
#define ZELVAR_TESTS_SUPPORT_TEST_DB_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kit/raw_db.h"
#include "kit/schema.h"
#include "kit/world.h"

namespace zelvar::test {

using Backend = kit::Backend;

std::string BackendName(Backend backend);
// For INSTANTIATE_TEST_SUITE_P(..., testing::ValuesIn(AllBackends()),
// BackendParamName). SQLite, PostgreSQL and MariaDB; the server cases skip
// without their server (or fail when it is required).
std::vector<Backend> AllBackends();
std::string BackendParamName(const testing::TestParamInfo<Backend>& info);

// One database for one test. The destructor closes the module's pooled
// connections and removes the database.
class TestDatabase {
 public:
  // Creates the database and loads schema/<backend>.sql. Fails the test
  // (ADD_FAILURE) and returns null when that is impossible; for PostgreSQL
  // without ZELVAR_TEST_PG_ADMIN it skips the test unless
  // ZELVAR_REQUIRE_PG=1, where it fails (MariaDB alike, with
  // ZELVAR_TEST_MARIADB and ZELVAR_REQUIRE_MARIADB).
  static std::unique_ptr<TestDatabase> Create(Backend backend);
  // Connects the checks to an existing database, which stays when the
  // object goes (a server a test runs itself). Null with a test failure
  // when it can't be reached.
  static std::unique_ptr<TestDatabase> Attach(Backend backend,
                                              const std::string& connection_string);
  ~TestDatabase();

  Backend backend() const { return backend_; }
  // The string to hand to OpenDBFriend.
  const std::string& connection_string() const { return connection_string_; }

  // Makes this database the module's: OpenDBFriend with its string.
  void Use();

  // Runs `sql` (UTF-8, no values) on a connection of its own, outside the
  // module. Fails the test on an error. Quoted literals are standard SQL
  // on every backend: a backslash is only a backslash, also on MariaDB.
  void Exec(const std::string& sql);
  // Makes every `event` (INSERT, UPDATE or DELETE) on `table` fail in the
  // database with `message`, by a trigger. Once per table and event.
  void RefuseWrites(const std::string& table, const std::string& event,
                    const std::string& message);
  // Runs a query and returns its rows as UTF-8 texts (NULL as nullopt),
  // date-times as YYYY-MM-DD HH:MM:SS.
  std::vector<std::vector<std::optional<std::string>>> Query(const std::string& sql);
  // The single integer the query returns.
  int64_t QueryInt(const std::string& sql);

  // Plants rows of the world (kit/world.h) on the checks' connection.
  // Fails the test on an error.
  template <typename RowType>
  void Plant(const std::vector<RowType>& rows) {
    std::string error;
    EXPECT_TRUE(kit::Seeder(&raw()).Plant(rows, &error)) << error;
  }

  // The checks' own connection (the raw client, not the module's).
  kit::RawDb& raw();

 private:
  TestDatabase() = default;
  struct Impl;
  Backend backend_ = Backend::kSqlite;
  std::string connection_string_;
  bool owned_ = true;  // created here, removed by the destructor
  std::unique_ptr<Impl> impl_;
};

// Seconds from `start` until now, for the time bounds tests check.
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A temporary folder that is the current directory while the object lives
// (the module writes its log files there).
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  const std::string& path() const { return path_; }
  // The file's bytes, or empty when it is missing.
  std::string ReadFile(const std::string& name) const;

 private:
  std::string path_;
  std::string previous_cwd_;
};

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_SUPPORT_TEST_DB_H_
