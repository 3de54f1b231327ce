// Formatting of the module's own wide format texts.

#include "util/text_format.h"

#include <cstdio>

namespace zelvar {

std::u16string FormatText(std::u16string_view format, std::initializer_list<FormatArg> args) {
  std::u16string out;
  out.reserve(format.size() + 32);
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    const char16_t c = format[i];
    if (c != u'%' || i + 1 == format.size()) {
      out.push_back(c);
      continue;
    }
    const char16_t conversion = format[i + 1];
    if (conversion == u'%') {
      out.push_back(u'%');
      ++i;
      continue;
    }
    if ((conversion != u'd' && conversion != u's' && conversion != u'f') || next == args.end()) {
      out.push_back(c);
      continue;
    }
    const FormatArg& arg = *next++;
    ++i;
    char digits[512];
    switch (conversion) {
      case u'd': {
        const long long value = arg.kind_ == FormatArg::Kind::kReal
                                    ? static_cast<long long>(arg.real_)
                                    : static_cast<long long>(arg.integer_);
        const int n = std::snprintf(digits, sizeof digits, "%lld", value);
        out.append(digits, digits + n);
        break;
      }
      case u'f': {
        const double value = arg.kind_ == FormatArg::Kind::kInteger
                                 ? static_cast<double>(arg.integer_)
                                 : arg.real_;
        const int n = std::snprintf(digits, sizeof digits, "%f", value);
        if (n > 0 && static_cast<size_t>(n) < sizeof digits) {
          out.append(digits, digits + n);
        } else {
          // A real too large for the buffer: print it whole.
          std::string big(static_cast<size_t>(n) + 1, '\0');
          std::snprintf(big.data(), big.size(), "%f", value);
          out.append(big.begin(), big.begin() + n);
        }
        break;
      }
      default:
        if (arg.kind_ == FormatArg::Kind::kText) out.append(arg.text_);
        break;
    }
  }
  return out;
}

}  // namespace zelvar
