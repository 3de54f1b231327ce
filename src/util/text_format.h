// printf-style formatting of the module's own wide format texts (log lines,
// item texts, speak entries), so that every text keeps its exact form.
//
// Places: %d a signed decimal integer, %s a wide text inserted as it is,
// %f a real in fixed-point with six decimals, %% a percent sign. A place
// without an argument stays as written; surplus arguments are ignored.
#ifndef ZELVAR_UTIL_TEXT_FORMAT_H_
#define ZELVAR_UTIL_TEXT_FORMAT_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace zelvar {

class FormatArg {
 public:
  FormatArg(int value) : kind_(Kind::kInteger), integer_(value) {}
  FormatArg(int64_t value) : kind_(Kind::kInteger), integer_(value) {}
  FormatArg(double value) : kind_(Kind::kReal), real_(value) {}
  FormatArg(std::u16string_view text) : kind_(Kind::kText), text_(text) {}
  FormatArg(const std::u16string& text) : kind_(Kind::kText), text_(text) {}
  FormatArg(const char16_t* text) : kind_(Kind::kText), text_(text) {}

 private:
  friend std::u16string FormatText(std::u16string_view, std::initializer_list<FormatArg>);
  enum class Kind { kInteger, kReal, kText };
  Kind kind_;
  int64_t integer_ = 0;
  double real_ = 0;
  std::u16string_view text_;
};

std::u16string FormatText(std::u16string_view format, std::initializer_list<FormatArg> args);

}  // namespace zelvar

#endif  // ZELVAR_UTIL_TEXT_FORMAT_H_
