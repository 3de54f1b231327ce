// The SQL log "ZelvarSQL.log" in the current directory, where the
// invitation command writes the statements it ran when the request asks
// for it.
//
// Thread-safe: each record is appended by one write on a file opened for
// appending, so records of concurrent callers never interleave.
#ifndef ZELVAR_UPDATES_SQL_LOG_H_
#define ZELVAR_UPDATES_SQL_LOG_H_

#include <string>
#include <string_view>

namespace zelvar::updates {

inline constexpr char kSqlLogFileName[] = "ZelvarSQL.log";

// One record of the SQL log, without separator before or after:
//
//   +---------------------------+-----------------+---------------------+
//   | local time text, 19 bytes | "调用SQL："      | statement, UTF-8    |
//   | and a zero byte (20)      | (UTF-8)         | (no terminator)     |
//   +---------------------------+-----------------+---------------------+
std::string SqlLogRecord(const std::string& time_text, std::u16string_view statement);

// Appends the record of `statement` stamped with the current local time.
// A file that can't be opened or written loses the record silently.
void AppendSqlLog(std::u16string_view statement);

}  // namespace zelvar::updates

#endif  // ZELVAR_UPDATES_SQL_LOG_H_
