// Conversions between the module's wide text (UTF-16) and narrow text.
//
// The narrow code page is UTF-8 everywhere. A code unit with no UTF-8 form
// (a lone surrogate) becomes "?"; invalid UTF-8 read back becomes U+FFFD.
// All functions are thread-safe.
#ifndef ZELVAR_UTIL_TEXT_H_
#define ZELVAR_UTIL_TEXT_H_

#include <string>
#include <string_view>

namespace zelvar {

// The one narrow code page (UTF-8), in the platform's numbering.
inline constexpr unsigned kNarrowCodePage = 65001;

// Converts zero-terminated `wide` into `narrow` (at most `narrow_bytes`
// bytes, terminator included). Returns `narrow`, or null when a pointer is
// null or the text does not fit.
char* WideToNarrow(const char16_t* wide, char* narrow, int narrow_bytes, unsigned code_page);

// Mirror image, with the buffer counted in UTF-16 code units.
char16_t* NarrowToWide(const char* narrow, char16_t* wide, int wide_chars, unsigned code_page);

std::string ToNarrow(std::u16string_view wide);
std::u16string ToWide(std::string_view narrow);
// ToWide appending to `out`.
void AppendWide(std::string_view narrow, std::u16string* out);

// The text as it comes back from a round trip through the narrow code page:
// lone surrogates become "?".
std::u16string ThroughNarrow(std::u16string_view wide);

// UTF-16 to the platform's wchar_t (UTF-32), for CTool formats.
std::wstring ToWchar(std::u16string_view wide);

}  // namespace zelvar

#endif  // ZELVAR_UTIL_TEXT_H_
