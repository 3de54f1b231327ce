#include "util/error_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "support/test_db.h"
#include "util/time_text.h"

namespace zelvar {
namespace {

using test::ScopedTempDir;

// Checks one record at `offset` and returns the offset after it.
size_t ExpectRecord(const std::string& log, size_t offset, const std::string& message) {
  EXPECT_GE(log.size(), offset + 20 + message.size() + 3);
  const std::string stamp = log.substr(offset, 19);
  EXPECT_NE(ParseTimeText(stamp.c_str()), 0) << stamp;
  EXPECT_EQ(log[offset + 19], '\0');
  EXPECT_EQ(log.substr(offset + 20, message.size()), message);
  const size_t tail = offset + 20 + message.size();
  EXPECT_EQ(log.substr(tail, 3), std::string("\0\n\0", 3));
  return tail + 3;
}

// Driver texts carry line breaks; a record must stay one line.
TEST(ErrorLog, LineBreaksInsideAMessageBecomeBlanks) {
  ScopedTempDir dir;
  WriteErrorLog(u"ERROR: x;\nError while executing\r\nthe query\rend\n");
  const std::string log = dir.ReadFile("ZelvarError.log");
  EXPECT_EQ(ExpectRecord(log, 0, "ERROR: x; Error while executing the query end "), log.size());
}

TEST(ErrorLog, AppendsOneRecordPerCall) {
  ScopedTempDir dir;
  WriteErrorLog(u"数据库没能打开");
  WriteErrorLog(u"");
  const std::string log = dir.ReadFile("ZelvarError.log");
  size_t offset = ExpectRecord(log, 0, "数据库没能打开");
  offset = ExpectRecord(log, offset, "");
  EXPECT_EQ(offset, log.size());
  EXPECT_EQ(log.size(), 20u + 21u + 3u + 23u);
}

TEST(ErrorLog, NeverTruncatesAnExistingFile) {
  ScopedTempDir dir;
  { std::ofstream("ZelvarError.log", std::ios::binary) << "earlier"; }
  WriteErrorLog(u"x");
  const std::string log = dir.ReadFile("ZelvarError.log");
  ASSERT_EQ(log.substr(0, 7), "earlier");
  ExpectRecord(log, 7, "x");
}

TEST(ErrorLog, LoneSurrogateIsStoredAsDefaultCharacter) {
  ScopedTempDir dir;
  WriteErrorLog(std::u16string{u'a', char16_t(0xD800)});
  ExpectRecord(dir.ReadFile("ZelvarError.log"), 0, "a?");
}

TEST(ErrorLog, FileThatCannotBeOpenedIsSilent) {
  ScopedTempDir dir;
  // A folder in the log file's place can't be opened for writing, not even
  // by root.
  ASSERT_EQ(::mkdir("ZelvarError.log", 0700), 0);
  WriteErrorLog(u"lost");
  struct stat st;
  ASSERT_EQ(::stat("ZelvarError.log", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

}  // namespace
}  // namespace zelvar
