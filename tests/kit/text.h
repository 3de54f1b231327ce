// UTF-8 and UTF-16 for the kit, written apart from the module's own
// conversion so that a fault there shows in what the tests compare.
// Thread-safe.
#ifndef ZELVAR_TESTS_KIT_TEXT_H_
#define ZELVAR_TESTS_KIT_TEXT_H_

#include <string>

namespace zelvar::kit {

// UTF-16 as UTF-8, a lone surrogate as "?": what a text sent to the module
// must be stored as.
std::string Utf8Of(const std::u16string& text);

// UTF-8 as UTF-16; a byte that starts no valid sequence becomes U+FFFD.
std::u16string Utf16Of(const std::string& text);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, surrogates or
// values past U+10FFFF).
bool IsUtf8(const std::string& bytes);

// `text` between apostrophes, each apostrophe inside doubled: a standard
// SQL literal.
std::string Quote(const std::string& text);

}  // namespace zelvar::kit

#endif  // ZELVAR_TESTS_KIT_TEXT_H_
