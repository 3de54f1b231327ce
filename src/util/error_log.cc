// The error log file.

#include "util/error_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "util/text.h"
#include "util/time_text.h"

namespace zelvar {

void WriteErrorLog(std::u16string_view text) {
  // Driver texts carry line breaks; a record stays one line, each break
  // (CR LF, CR or LF) a blank.
  std::string message = ToNarrow(text);
  size_t kept = 0;
  for (size_t i = 0; i < message.size(); ++i) {
    char c = message[i];
    if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n') continue;
    if (c == '\r' || c == '\n') c = ' ';
    message[kept++] = c;
  }
  message.resize(kept);
  const std::string stamp = NowText();

  // time text + zero, message + zero, then the 16-bit value 10 (a line
  // feed and a zero), built whole so that one write appends the record.
  std::string record;
  record.reserve(20 + message.size() + 1 + 2);
  record.append(stamp);
  record.resize(20, '\0');
  record.append(message);
  record.push_back('\0');
  record.push_back('\n');
  record.push_back('\0');

  const int fd = ::open("ZelvarError.log", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;  // the message is lost; nothing is reported
  ssize_t written = ::write(fd, record.data(), record.size());
  (void)written;
  ::close(fd);
}

std::vector<ErrorLogRecord> ReadErrorLogRecords(std::string_view bytes, size_t start) {
  constexpr size_t kTimeField = 20;  // the time text and its zero
  std::vector<ErrorLogRecord> records;
  size_t pos = start;
  while (pos + kTimeField <= bytes.size()) {
    const size_t end = bytes.find('\0', pos + kTimeField);
    if (end == std::string_view::npos) break;
    ErrorLogRecord record;
    const std::string_view time = bytes.substr(pos, kTimeField - 1);
    record.time.assign(time.substr(0, time.find('\0')));
    record.message.assign(bytes.substr(pos + kTimeField, end - pos - kTimeField));
    records.push_back(std::move(record));
    pos = end + 3;  // past the zero, the line feed and its zero
  }
  return records;
}

}  // namespace zelvar
