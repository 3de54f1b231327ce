// The error log "ZelvarError.log" in the current directory: one record per
// failure on the database path, each written with a single append so that
// records of concurrent callers never interleave.
#ifndef ZELVAR_UTIL_ERROR_LOG_H_
#define ZELVAR_UTIL_ERROR_LOG_H_

#include <string>
#include <string_view>
#include <vector>

namespace zelvar {

// Appends: 20 bytes of local time text with its zero, the UTF-8 message
// with its zero, then a line feed and a zero. A file that can't be opened
// makes this a silent no-op.
void WriteErrorLog(std::u16string_view text);

inline constexpr char kErrorLogName[] = "ZelvarError.log";

struct ErrorLogRecord {
  std::string time;     // local time text, YYYY-MM-DD HH:MM:SS
  std::string message;  // UTF-8
};

// The whole records of the error log's bytes from offset `start` on, oldest
// first; a record cut short at the end (a write under way) is left out.
std::vector<ErrorLogRecord> ReadErrorLogRecords(std::string_view bytes, size_t start = 0);

}  // namespace zelvar

#endif  // ZELVAR_UTIL_ERROR_LOG_H_
