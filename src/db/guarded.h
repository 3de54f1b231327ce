// The exception capture of the database layer, one at each operation the
// handlers call: nothing thrown below it leaves it. Inside the layer every
// step reports a Status; the guard turns the one its operation ends with
// into the result code (0, or -1) and the error text.
#ifndef ZELVAR_DB_GUARDED_H_
#define ZELVAR_DB_GUARDED_H_

#include <exception>
#include <string>
#include <string_view>

#include "db/status.h"
#include "util/text.h"

namespace zelvar::db {

inline constexpr char16_t kUnknownExceptionText[] = u"Caught an exception of unknown type";

// Copies `text` into `error_text` unless that is null.
inline void SetText(std::u16string* error_text, std::u16string_view text) {
  if (error_text != nullptr) error_text->assign(text);
}

// The result code of `status`: 0 when it is OK, else -1 with its text in
// `error_text` (may be null).
inline int ResultOf(const Status& status, std::u16string* error_text) {
  if (status.ok()) return 0;
  SetText(error_text, status.text());
  return -1;
}

// Runs `body`, which returns a Status: 0 when it is OK, else -1 with its
// text in `error_text` (may be null). An exception gives -1 with its
// message (or kUnknownExceptionText) as error text.
template <typename Body>
int Guarded(std::u16string* error_text, Body body) noexcept {
  try {
    return ResultOf(body(), error_text);
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
