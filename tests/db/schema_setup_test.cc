// Setting a database up for the zelvar tool: the new SQLite file is made
// only on request (the module's own open never makes one), and a schema
// script that fails part way leaves none of its tables behind.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/backend.h"
#include "db/current_connection.h"
#include "db/runner.h"
#include "db/schema_setup.h"
#include "support/test_db.h"

namespace zelvar::test {
namespace {

TEST(SchemaSetup, OnlyTheSetUpMakesAnSqliteFile) {
  ScopedTempDir dir;
  const std::string path = dir.path() + "/new.db";
  std::unique_ptr<db::Connection> connection;
  EXPECT_TRUE(db::OpenSqliteConnection(path, &connection).IsLink());
  EXPECT_FALSE(std::filesystem::exists(path));

  bool created = false;
  std::string reason;
  ASSERT_TRUE(db::CreateSqliteFile(path, &created, &reason)) << reason;
  EXPECT_TRUE(created);
  EXPECT_TRUE(db::OpenSqliteConnection(path, &connection).ok());
  ASSERT_TRUE(db::CreateSqliteFile(path, &created, &reason)) << reason;
  EXPECT_FALSE(created);
  EXPECT_FALSE(db::CreateSqliteFile(dir.path() + "/no/such/folder.db", &created, &reason));
  EXPECT_NE(reason.find("cannot open"), std::string::npos) << reason;
}

TEST(SchemaSetup, AFailedScriptLeavesNoTable) {
  ScopedTempDir dir;
  bool created = false;
  std::string error;
  ASSERT_TRUE(db::CreateSqliteFile(dir.path() + "/setup.db", &created, &error)) << error;
  SetConnectionString("Provider=SQLite;Data Source=" + dir.path() + "/setup.db");

  EXPECT_FALSE(db::RunSchemaScript(
      "PRAGMA journal_mode = WAL;\nCREATE TABLE tblA (s VARCHAR(9) DEFAULT '100%');\n"
      "CREATE TABLE tblA (n INT);\n",
      &error));
  EXPECT_NE(error.find("'CREATE TABLE tblA (n INT)' failed: "), std::string::npos) << error;
  std::vector<std::string> tables;
  std::u16string reason;
  ASSERT_TRUE(db::ListTables("SQLite", &tables, &reason));
  EXPECT_TRUE(tables.empty());

  ASSERT_TRUE(db::RunSchemaScript(
      "CREATE TABLE tblA (s VARCHAR(9) DEFAULT '100%');\nCREATE TABLE tblB (n INT);\n", &error))
      << error;
  ASSERT_TRUE(db::ListTables("SQLite", &tables, &reason));
  EXPECT_EQ(tables, (std::vector<std::string>{"tblA", "tblB"}));
  db::CloseIdleConnections();
  SetConnectionString(kBuiltInConnectionString);
}

}  // namespace
}  // namespace zelvar::test
