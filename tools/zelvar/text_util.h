// Text helpers of the zelvar tool: the width a text takes on a terminal,
// times for people, and a parser for the numbers people type. (UTF-8 and
// UTF-16 conversion is the module's own, util/text.h.) Pure functions, safe
// on any thread.
#ifndef ZELVAR_TOOLS_ZELVAR_TEXT_UTIL_H_
#define ZELVAR_TOOLS_ZELVAR_TEXT_UTIL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelvar::cli {

// Terminal columns of UTF-8 text: East Asian wide and fullwidth characters
// take two, combining marks none.
int DisplayWidth(std::string_view text);
// Cuts `text` to at most `columns` terminal columns, ending with "…" when
// something was cut.
std::string FitWidth(std::string_view text, int columns);

// ASCII letters in lower case, for keywords and names that match without
// regard to case.
std::string Lower(std::string_view text);

// "a, b, c": names for a message.
std::string JoinNames(const std::vector<std::string>& names);

// A whole decimal number in the 32-bit range ("+" and "-" allowed,
// nothing else around it); nullopt otherwise.
std::optional<int32_t> ParseInt32(std::string_view text);

// "2024-05-01 12:30:05" in local time.
std::string LocalTimeText(int64_t seconds);
// Times that travel in 32-bit packet entries: the low 32 bits of seconds
// since 1970. 0 stands for a time the module could not read.
std::string PacketTimeText(int32_t low_bits);
int64_t PacketTimeSeconds(int32_t low_bits);

// A database's reason as one line: line breaks and tabs become single
// blanks, trailing blanks go.
std::string OneLine(std::string_view text);

// Masks the values of password keywords in a connection string, for
// messages.
std::string MaskPassword(std::string_view connection_string);

}  // namespace zelvar::cli

#endif  // ZELVAR_TOOLS_ZELVAR_TEXT_UTIL_H_
