// Date-time text: local time as YYYY-MM-DD HH:MM:SS, the one form that every
// statement writes and the database layer gives back. Thread-safe.
#ifndef ZELVAR_UTIL_TIME_TEXT_H_
#define ZELVAR_UTIL_TIME_TEXT_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace zelvar {

// Writes `time` as 19 characters and a zero into `buffer` (20 bytes).
// -1, buffer untouched, when `time` is null.
int FormatTimeText(const std::tm* time, char* buffer);

// Reads year-month-day hour:minute:second local-time text (one- or
// two-digit fields) into seconds since the epoch. 0 for text of another
// shape, -1 when the time can't be represented.
int64_t ParseTimeText(const char* text);
// The same for wide text, read as its narrow form in the code page.
int64_t ParseTimeText(std::u16string_view text);

// `t` as local time text; empty when localtime can't represent it.
std::string LocalTimeText(int64_t t);

// The current local time as text.
std::string NowText();

}  // namespace zelvar

#endif  // ZELVAR_UTIL_TIME_TEXT_H_
