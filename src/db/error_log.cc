// The error log file.

#include "db/error_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "db/text.h"
#include "db/time_text.h"

namespace zelvar {

void WriteErrorLog(std::u16string_view text) {
  const std::string message = ToNarrow(text);
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

}  // namespace zelvar
