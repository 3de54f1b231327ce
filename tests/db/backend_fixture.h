// A fixture for tests that run on every backend: a fresh database made the
// module's own, inside a temporary current folder (for the error log).
#ifndef ZELVAR_TESTS_DB_BACKEND_FIXTURE_H_
#define ZELVAR_TESTS_DB_BACKEND_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/test_db.h"

namespace zelvar::test {

class BackendTest : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    db_ = TestDatabase::Create(GetParam());
    if (db_ == nullptr) return;  // skipped or failed already
    db_->Use();
  }

  // Records of the error log that carry `text`.
  int ErrorLogRecords(const std::string& text) const {
    const std::string log = dir_.ReadFile("ZelvarError.log");
    int count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }

  ScopedTempDir dir_;
  std::unique_ptr<TestDatabase> db_;
};

#define ZELVAR_REQUIRE_DB() \
  do {                      \
    if (db_ == nullptr) return; \
  } while (0)

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_DB_BACKEND_FIXTURE_H_
