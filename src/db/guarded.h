// The exception capture of the database layer: nothing thrown below a
// runner, a wrapper or a transaction leaves it; every exception becomes the
// failure code -1 and an error text.
#ifndef ZELVAR_DB_GUARDED_H_
#define ZELVAR_DB_GUARDED_H_

#include <exception>
#include <string>
#include <string_view>

#include "util/text.h"

namespace zelvar::db {

inline constexpr char16_t kUnknownExceptionText[] = u"Caught an exception of unknown type";

// Copies `text` into `error_text` unless that is null.
inline void SetText(std::u16string* error_text, std::u16string_view text) {
  if (error_text != nullptr) error_text->assign(text);
}

// Runs `body` and returns its result; an exception gives -1 with its
// message (or kUnknownExceptionText) as error text.
template <typename Body>
int Guarded(std::u16string* error_text, Body body) {
  try {
    return body();
  } catch (const std::exception& e) {
    try {
      SetText(error_text, ToWide(e.what()));
    } catch (...) {
    }
  } catch (...) {
    try {
      SetText(error_text, kUnknownExceptionText);
    } catch (...) {
    }
  }
  return -1;
}

}  // namespace zelvar::db

#endif  // ZELVAR_DB_GUARDED_H_
