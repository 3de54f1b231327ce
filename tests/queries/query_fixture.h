// What the query tests share: a fresh database per test on each backend,
// a call of GetUserExtraDataFriend that checks the frame of a successful
// reply and loads it into a packet, and readers of the reply's entries.
#ifndef ZELVAR_TESTS_QUERIES_QUERY_FIXTURE_H_
#define ZELVAR_TESTS_QUERIES_QUERY_FIXTURE_H_

#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "support/test_db.h"
#include "zelvar/zelvar.h"

namespace zelvar::test {

// A successful reply, loaded into a packet of the test's own.
struct Reply {
  int result = -1;
  int length = 0;
  std::string image;  // the bytes handed out
  CKParam packet;

  std::optional<int> Int(int key) {
    int value = 0;
    if (packet.GetInt(static_cast<short>(key), value) != 0) return std::nullopt;
    return value;
  }
  std::optional<std::u16string> Text(int key) {
    CString value;
    if (packet.GetCString(static_cast<short>(key), value) != 0) return std::nullopt;
    return value;
  }
};

// Calls the export. For a result of 0, checks that the buffer's length is
// the one handed out and the one in its header, and that key 1 holds the
// kind; then gives the buffer back through MyDeletePtr.
inline Reply Ask(int user_id, unsigned kind) {
  Reply reply;
  char* buffer = nullptr;
  int length = -12345;
  reply.result = GetUserExtraDataFriend(user_id, kind, &buffer, &length);
  if (reply.result != 0) {
    EXPECT_EQ(buffer, nullptr) << "a failed call handed out a buffer";
    EXPECT_EQ(length, -12345) << "a failed call stored a length";
    return reply;
  }
  EXPECT_NE(buffer, nullptr);
  if (buffer == nullptr) return reply;
  reply.length = length;
  reply.image.assign(buffer, static_cast<size_t>(length));
  int32_t header_length = 0;
  std::memcpy(&header_length, buffer, sizeof header_length);
  EXPECT_EQ(header_length, length);
  EXPECT_EQ(reply.packet.SetBufferPtr(buffer, length), 0);
  MyDeletePtr(buffer);
  EXPECT_EQ(reply.Int(1), std::optional<int>(static_cast<int>(kind)));
  return reply;
}

// Seconds of a local time, as the module reads a stored date-time.
inline int64_t LocalSeconds(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm));
}

// Each test gets a database of its own on the backend of its parameter and
// a temporary current directory for the module's log files.
class QueryTest : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<ScopedTempDir>();
    db_ = TestDatabase::Create(GetParam());
    if (db_ == nullptr) {
      if (HasFailure()) FAIL() << "no " << BackendName(GetParam()) << " database";
      GTEST_SKIP() << "no " << BackendName(GetParam()) << " database";
    }
    db_->Use();
  }
  void TearDown() override {
    db_.reset();
    dir_.reset();
  }

  // Backend literal of a boolean.
  std::string Bool(bool value) const { return value ? "TRUE" : "FALSE"; }

  std::unique_ptr<ScopedTempDir> dir_;
  std::unique_ptr<TestDatabase> db_;
};

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_QUERIES_QUERY_FIXTURE_H_
