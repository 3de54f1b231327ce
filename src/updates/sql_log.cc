// The SQL log file.

#include "updates/sql_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "util/text.h"
#include "util/time_text.h"

namespace zelvar::updates {
namespace {

constexpr size_t kTimeTextBytes = 20;  // 19 characters and the zero
constexpr char kStatementPrefix[] = "调用SQL：";

}  // namespace

std::string SqlLogRecord(const std::string& time_text, std::u16string_view statement) {
  // The whole statement is converted: a buffer sized by code units would cut
  // Chinese text short, whose characters take three bytes each in UTF-8.
  const std::string narrow = ToNarrow(statement);
  std::string record = time_text.substr(0, kTimeTextBytes - 1);
  record.resize(kTimeTextBytes, '\0');
  record.append(kStatementPrefix);
  record.append(narrow);
  return record;
}

void AppendSqlLog(std::u16string_view statement) {
  const std::string record = SqlLogRecord(NowText(), statement);
  const int fd = ::open(kSqlLogFileName, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  ssize_t written;
  do {
    written = ::write(fd, record.data(), record.size());
  } while (written < 0 && errno == EINTR);
  ::close(fd);
}

}  // namespace zelvar::updates
