// The database layer against its limit: the same statement prepared once
// and run with bound values on one open connection through the raw client
// API (sqlite3, ODBC). Beside them, a connection opened for every
// statement, for contrast. PostgreSQL cases run when ZELVAR_TEST_PG_ADMIN
// names a server (scripts/with-postgres starts one):
//
//   scripts/with-postgres build/bench/db_bench
//
// Each iteration is one statement: the user query reads four fields of one
// of kUsers rows; the insert adds one trade row.

#include <benchmark/benchmark.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "bench_support.h"
#include "db/backend.h"
#include "db/current_connection.h"
#include "db/recordset.h"
#include "db/runner.h"
#include "kit/raw_db.h"
#include "kit/schema.h"
#include "kit/world.h"
#include "util/text.h"
#include "util/time_text.h"

namespace {

using zelvar::db::Sql;
using zelvar::db::SqlValue;

constexpr int kUsers = 1000;
constexpr char kUserQuery[] = "SELECT sNick, nSex, sFacePic, bLogined FROM tblUser WHERE (nId = %d)";
constexpr char kTradeInsert[] =
    "INSERT INTO tblFriendTradeHistory (nPlayUserId, nPlayedUserId, nPlayId, tTime, tDuration) "
    "VALUES (%d, %d, %d,'%s',%d)";
// The same statements with the places as parameters, for the raw APIs.
constexpr char kUserQueryRaw[] = "SELECT sNick, nSex, sFacePic, bLogined FROM tblUser WHERE (nId = ?)";
constexpr char kTradeInsertRaw[] =
    "INSERT INTO tblFriendTradeHistory (nPlayUserId, nPlayedUserId, nPlayId, tTime, tDuration) "
    "VALUES (?, ?, ?,?,?)";

// kUsers players, planted through the test kit in one transaction.
bool SeedUsers(zelvar::kit::RawDb* db, std::string* error) {
  std::vector<zelvar::kit::Player> users;
  for (int i = 1; i <= kUsers; ++i) {
    users.push_back({0, "user" + std::to_string(i), "Nick " + std::to_string(i), i % 2,
                     "http://faces.example/face" + std::to_string(i) + ".png", i % 3 == 0, 1});
  }
  if (!db->Begin(error)) return false;
  if (zelvar::kit::Seeder(db).Plant(users, error)) return db->Commit(error);
  db->Rollback();
  return false;
}

// What a handler does with the record set of the user query.
bool ReadUserFields(const zelvar::db::RecordsetHandle& rs, std::u16string* nick,
                    std::u16string* face_pic, int* sex, int* logined) {
  zelvar::db::Variant value;
  if (zelvar::db::AdoRstIsEOF(rs) != 0) return false;
  if (zelvar::db::AdoRstGetField(rs, "sNick", &value) != 0 || !value.ToText(nick)) return false;
  if (zelvar::db::AdoRstGetField(rs, "nSex", &value) != 0) return false;
  *sex = value.Int32();
  if (zelvar::db::AdoRstGetField(rs, "sFacePic", &value) != 0 || !value.ToText(face_pic)) {
    return false;
  }
  if (zelvar::db::AdoRstGetField(rs, "bLogined", &value) != 0) return false;
  *logined = value.Int32();
  return true;
}

// ---------------------------------------------------------------- SQLite

struct SqliteDatabase {
  SqliteDatabase() {
    folder = zelvar::kit::MakeTempDir("zelvar-bench-");
    if (folder.empty()) std::abort();
    path = folder + "/bench.db";
    std::string error;
    std::unique_ptr<zelvar::kit::SqliteDb> db = zelvar::kit::CreateSqliteDatabase(path, &error);
    if (db == nullptr || !SeedUsers(db.get(), &error)) {
      std::fprintf(stderr, "can't set up %s: %s\n", path.c_str(), error.c_str());
      std::abort();
    }
    connection_string = "Provider=SQLite;Data Source=" + path;
  }
  ~SqliteDatabase() {
    zelvar::db::CloseIdleConnections();
    std::filesystem::remove_all(folder);
  }
  std::string folder;
  std::string path;
  std::string connection_string;
};

SqliteDatabase& Sqlite() {
  static SqliteDatabase database;
  return database;
}

// A raw connection set up as the module sets up its own.
sqlite3* OpenRawSqlite() {
  sqlite3* db = nullptr;
  sqlite3_open_v2(Sqlite().path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  sqlite3_busy_timeout(db, 5000);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  return db;
}

void UseModuleDatabase(const std::string& connection_string, benchmark::State& state) {
  if (zelvar::db::TestAndSetConnectionString(connection_string) != 0) {
    state.SkipWithError("the module can't open the database");
  }
}

void BM_Sqlite_QuerySql(benchmark::State& state) {
  UseModuleDatabase(Sqlite().connection_string, state);
  std::u16string nick, face_pic;
  int sex = 0, logined = 0, id = 0;
  for (auto _ : state) {
    zelvar::db::RecordsetHandle rs;
    if (zelvar::db::QuerySql(Sql(kUserQuery, {SqlValue::Integer(id % kUsers + 1)}), rs, nullptr) !=
            0 ||
        !ReadUserFields(rs, &nick, &face_pic, &sex, &logined)) {
      state.SkipWithError("query failed");
      break;
    }
    benchmark::DoNotOptimize(nick.data());
    ++id;
  }
}
BENCHMARK(BM_Sqlite_QuerySql);

void BM_Sqlite_QueryRawLimit(benchmark::State& state) {
  sqlite3* db = OpenRawSqlite();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v3(db, kUserQueryRaw, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  std::string nick, face_pic;
  int sex = 0, logined = 0, id = 0;
  for (auto _ : state) {
    sqlite3_bind_int64(stmt, 1, id % kUsers + 1);
    if (sqlite3_step(stmt) != SQLITE_ROW) {
      state.SkipWithError("query failed");
      break;
    }
    nick.assign(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
                sqlite3_column_bytes(stmt, 0));
    sex = sqlite3_column_int(stmt, 1);
    face_pic.assign(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2)),
                    sqlite3_column_bytes(stmt, 2));
    logined = sqlite3_column_int(stmt, 3);
    sqlite3_step(stmt);  // to the end, as a record set read in full
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    benchmark::DoNotOptimize(nick.data());
    benchmark::DoNotOptimize(sex + logined);
    ++id;
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}
BENCHMARK(BM_Sqlite_QueryRawLimit);

void BM_Sqlite_QueryConnectionPerStatement(benchmark::State& state) {
  const std::string path = Sqlite().path;
  int id = 0;
  for (auto _ : state) {
    std::unique_ptr<zelvar::db::Connection> connection;
    zelvar::db::OpenSqliteConnection(path, &connection);
    zelvar::db::ResultSet rows;
    if (!connection ||
        !connection->Run(Sql(kUserQuery, {SqlValue::Integer(id % kUsers + 1)}), &rows).ok()) {
      state.SkipWithError("query failed");
      break;
    }
    benchmark::DoNotOptimize(rows.rows.data());
    ++id;
  }
}
BENCHMARK(BM_Sqlite_QueryConnectionPerStatement);

void BM_Sqlite_ExecuteSqlInsert(benchmark::State& state) {
  UseModuleDatabase(Sqlite().connection_string, state);
  const std::string now = zelvar::NowText();
  int id = 0;
  for (auto _ : state) {
    if (zelvar::db::ExecuteSql(Sql(kTradeInsert, {SqlValue::Integer(id), SqlValue::Integer(id + 1),
                                                  SqlValue::Integer(7), SqlValue::DateTime(now),
                                                  SqlValue::Integer(10)}),
                               nullptr) != 0) {
      state.SkipWithError("insert failed");
      break;
    }
    ++id;
  }
}
BENCHMARK(BM_Sqlite_ExecuteSqlInsert);

void BM_Sqlite_InsertRawLimit(benchmark::State& state) {
  sqlite3* db = OpenRawSqlite();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v3(db, kTradeInsertRaw, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  const std::string now = zelvar::NowText();
  int id = 0;
  for (auto _ : state) {
    sqlite3_bind_int64(stmt, 1, id);
    sqlite3_bind_int64(stmt, 2, id + 1);
    sqlite3_bind_int64(stmt, 3, 7);
    sqlite3_bind_text(stmt, 4, now.data(), static_cast<int>(now.size()), SQLITE_STATIC);
    sqlite3_bind_int64(stmt, 5, 10);
    if (sqlite3_step(stmt) != SQLITE_DONE) {
      state.SkipWithError("insert failed");
      break;
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    ++id;
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}
BENCHMARK(BM_Sqlite_InsertRawLimit);

void BM_Sqlite_InsertConnectionPerStatement(benchmark::State& state) {
  const std::string path = Sqlite().path;
  const std::string now = zelvar::NowText();
  int id = 0;
  for (auto _ : state) {
    std::unique_ptr<zelvar::db::Connection> connection;
    zelvar::db::OpenSqliteConnection(path, &connection);
    if (!connection ||
        !connection->Run(Sql(kTradeInsert, {SqlValue::Integer(id), SqlValue::Integer(id + 1),
                                            SqlValue::Integer(7), SqlValue::DateTime(now),
                                            SqlValue::Integer(10)}),
                         nullptr)
             .ok()) {
      state.SkipWithError("insert failed");
      break;
    }
    ++id;
  }
}
BENCHMARK(BM_Sqlite_InsertConnectionPerStatement);

// ------------------------------------------------------------ PostgreSQL

using zelvar::bench::Env;
using zelvar::bench::OdbcLink;

// A database of its own on the server, copied from the template that
// scripts/with-postgres loads with schema/postgresql.sql.
struct PostgresDatabase {
  static constexpr char kPrefix[] = "zelvar_bench_";
  PostgresDatabase() {
    std::string error;
    connection_string = zelvar::kit::CreatePostgresDatabase(&error, kPrefix);
    if (connection_string.empty()) return;
    std::unique_ptr<zelvar::kit::RawDb> seed = zelvar::kit::OpenOdbc(connection_string, &error);
    if (seed == nullptr || !SeedUsers(seed.get(), &error)) {
      std::fprintf(stderr, "can't seed %s: %s\n", connection_string.c_str(), error.c_str());
      zelvar::kit::DropPostgresDatabase(connection_string, kPrefix);
      connection_string.clear();
    }
  }
  ~PostgresDatabase() {
    zelvar::db::CloseIdleConnections();
    zelvar::SetConnectionString(zelvar::kBuiltInConnectionString);
    if (!connection_string.empty()) zelvar::kit::DropPostgresDatabase(connection_string, kPrefix);
  }
  std::string connection_string;
};

PostgresDatabase* Postgres(benchmark::State& state) {
  if (Env("ZELVAR_TEST_PG_ADMIN").empty()) {
    state.SkipWithError("no PostgreSQL server (ZELVAR_TEST_PG_ADMIN is not set)");
    return nullptr;
  }
  static PostgresDatabase database;
  if (database.connection_string.empty()) {
    state.SkipWithError("can't set up the PostgreSQL database");
    return nullptr;
  }
  return &database;
}

void BM_Postgres_QuerySql(benchmark::State& state) {
  PostgresDatabase* pg = Postgres(state);
  if (pg == nullptr) return;
  UseModuleDatabase(pg->connection_string, state);
  std::u16string nick, face_pic;
  int sex = 0, logined = 0, id = 0;
  for (auto _ : state) {
    zelvar::db::RecordsetHandle rs;
    if (zelvar::db::QuerySql(Sql(kUserQuery, {SqlValue::Integer(id % kUsers + 1)}), rs, nullptr) !=
            0 ||
        !ReadUserFields(rs, &nick, &face_pic, &sex, &logined)) {
      state.SkipWithError("query failed");
      break;
    }
    benchmark::DoNotOptimize(nick.data());
    ++id;
  }
}
BENCHMARK(BM_Postgres_QuerySql)->UseRealTime();

void BM_Postgres_QueryRawLimit(benchmark::State& state) {
  PostgresDatabase* pg = Postgres(state);
  if (pg == nullptr) return;
  OdbcLink link(pg->connection_string);
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  SQLAllocHandle(SQL_HANDLE_STMT, link.dbc, &stmt);
  std::u16string text = zelvar::ToWide(kUserQueryRaw);
  SQLPrepareW(stmt, reinterpret_cast<SQLWCHAR*>(text.data()), SQL_NTS);
  SQLINTEGER id_param = 0;
  SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0, &id_param, 0,
                   nullptr);
  char16_t nick[256], face_pic[4096];
  SQLINTEGER sex = 0, logined = 0;
  SQLLEN indicator = 0;
  int id = 0;
  for (auto _ : state) {
    id_param = id % kUsers + 1;
    if (!SQL_SUCCEEDED(SQLExecute(stmt)) || !SQL_SUCCEEDED(SQLFetch(stmt))) {
      state.SkipWithError("query failed");
      break;
    }
    SQLGetData(stmt, 1, SQL_C_WCHAR, nick, sizeof(nick), &indicator);
    SQLGetData(stmt, 2, SQL_C_SLONG, &sex, 0, &indicator);
    SQLGetData(stmt, 3, SQL_C_WCHAR, face_pic, sizeof(face_pic), &indicator);
    SQLGetData(stmt, 4, SQL_C_SLONG, &logined, 0, &indicator);
    SQLCloseCursor(stmt);
    benchmark::DoNotOptimize(nick[0] + sex + logined);
    ++id;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
}
BENCHMARK(BM_Postgres_QueryRawLimit)->UseRealTime();

void BM_Postgres_QueryConnectionPerStatement(benchmark::State& state) {
  PostgresDatabase* pg = Postgres(state);
  if (pg == nullptr) return;
  int id = 0;
  for (auto _ : state) {
    std::unique_ptr<zelvar::db::Connection> connection;
    zelvar::db::OpenConnection(pg->connection_string, &connection);
    zelvar::db::ResultSet rows;
    if (!connection ||
        !connection->Run(Sql(kUserQuery, {SqlValue::Integer(id % kUsers + 1)}), &rows).ok()) {
      state.SkipWithError("query failed");
      break;
    }
    benchmark::DoNotOptimize(rows.rows.data());
    ++id;
  }
}
BENCHMARK(BM_Postgres_QueryConnectionPerStatement)->UseRealTime();

void BM_Postgres_ExecuteSqlInsert(benchmark::State& state) {
  PostgresDatabase* pg = Postgres(state);
  if (pg == nullptr) return;
  UseModuleDatabase(pg->connection_string, state);
  const std::string now = zelvar::NowText();
  int id = 0;
  for (auto _ : state) {
    if (zelvar::db::ExecuteSql(Sql(kTradeInsert, {SqlValue::Integer(id), SqlValue::Integer(id + 1),
                                                  SqlValue::Integer(7), SqlValue::DateTime(now),
                                                  SqlValue::Integer(10)}),
                               nullptr) != 0) {
      state.SkipWithError("insert failed");
      break;
    }
    ++id;
  }
}
BENCHMARK(BM_Postgres_ExecuteSqlInsert)->UseRealTime();

void BM_Postgres_InsertRawLimit(benchmark::State& state) {
  PostgresDatabase* pg = Postgres(state);
  if (pg == nullptr) return;
  OdbcLink link(pg->connection_string);
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  SQLAllocHandle(SQL_HANDLE_STMT, link.dbc, &stmt);
  std::u16string text = zelvar::ToWide(kTradeInsertRaw);
  SQLPrepareW(stmt, reinterpret_cast<SQLWCHAR*>(text.data()), SQL_NTS);
  SQLINTEGER values[4] = {0, 0, 7, 10};
  SQL_TIMESTAMP_STRUCT time{};
  std::tm now{};
  const std::time_t t = std::time(nullptr);
  localtime_r(&t, &now);
  time.year = static_cast<SQLSMALLINT>(now.tm_year + 1900);
  time.month = static_cast<SQLUSMALLINT>(now.tm_mon + 1);
  time.day = static_cast<SQLUSMALLINT>(now.tm_mday);
  time.hour = static_cast<SQLUSMALLINT>(now.tm_hour);
  time.minute = static_cast<SQLUSMALLINT>(now.tm_min);
  time.second = static_cast<SQLUSMALLINT>(now.tm_sec);
  SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0, &values[0], 0, nullptr);
  SQLBindParameter(stmt, 2, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0, &values[1], 0, nullptr);
  SQLBindParameter(stmt, 3, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0, &values[2], 0, nullptr);
  SQLBindParameter(stmt, 4, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 19, 0, &time,
                   0, nullptr);
  SQLBindParameter(stmt, 5, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0, &values[3], 0, nullptr);
  int id = 0;
  for (auto _ : state) {
    values[0] = id;
    values[1] = id + 1;
    if (!SQL_SUCCEEDED(SQLExecute(stmt))) {
      state.SkipWithError("insert failed");
      break;
    }
    ++id;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
}
BENCHMARK(BM_Postgres_InsertRawLimit)->UseRealTime();

void BM_Postgres_InsertConnectionPerStatement(benchmark::State& state) {
  PostgresDatabase* pg = Postgres(state);
  if (pg == nullptr) return;
  const std::string now = zelvar::NowText();
  int id = 0;
  for (auto _ : state) {
    std::unique_ptr<zelvar::db::Connection> connection;
    zelvar::db::OpenConnection(pg->connection_string, &connection);
    if (!connection ||
        !connection->Run(Sql(kTradeInsert, {SqlValue::Integer(id), SqlValue::Integer(id + 1),
                                            SqlValue::Integer(7), SqlValue::DateTime(now),
                                            SqlValue::Integer(10)}),
                         nullptr)
             .ok()) {
      state.SkipWithError("insert failed");
      break;
    }
    ++id;
  }
}
BENCHMARK(BM_Postgres_InsertConnectionPerStatement)->UseRealTime();

}  // namespace
