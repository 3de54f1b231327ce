// UTF-16 <-> UTF-8 conversion for the module's one narrow code page.

#include "util/text.h"

#include <cstring>

namespace zelvar {
namespace {

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(char32_t code_point, std::string* out) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

void AppendUtf16(char32_t code_point, std::u16string* out) {
  if (code_point < 0x10000) {
    out->push_back(static_cast<char16_t>(code_point));
  } else {
    code_point -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
  }
}

// Decodes one code point at `*pos`; invalid, overlong or surrogate
// sequences give U+FFFD and consume one byte.
char32_t DecodeUtf8(std::string_view text, size_t* pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(*pos);
  if (lead < 0x80) {
    ++*pos;
    return lead;
  }
  size_t length = 0;
  char32_t code_point = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code_point = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code_point = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code_point = lead & 0x07, minimum = 0x10000;
  } else {
    ++*pos;
    return 0xFFFD;
  }
  if (*pos + length > text.size()) {
    ++*pos;
    return 0xFFFD;
  }
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(*pos + i);
    if ((next & 0xC0) != 0x80) {
      ++*pos;
      return 0xFFFD;
    }
    code_point = (code_point << 6) | (next & 0x3F);
  }
  if (code_point < minimum || code_point > 0x10FFFF ||
      (code_point >= 0xD800 && code_point <= 0xDFFF)) {
    ++*pos;
    return 0xFFFD;
  }
  *pos += length;
  return code_point;
}

size_t Length(const char16_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace

std::string ToNarrow(std::u16string_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    const char16_t unit = wide[i];
    if (unit < 0x80) {
      out.push_back(static_cast<char>(unit));
    } else if (IsHighSurrogate(unit) && i + 1 < wide.size() && IsLowSurrogate(wide[i + 1])) {
      AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (wide[i + 1] - 0xDC00), &out);
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      out.push_back('?');  // no UTF-8 form: the code page's default character
    } else {
      AppendUtf8(unit, &out);
    }
  }
  return out;
}

void AppendWide(std::string_view narrow, std::u16string* out) {
  size_t pos = 0;
  while (pos < narrow.size()) {
    const auto lead = static_cast<unsigned char>(narrow[pos]);
    if (lead < 0x80) {
      out->push_back(lead);
      ++pos;
    } else {
      AppendUtf16(DecodeUtf8(narrow, &pos), out);
    }
  }
}

std::u16string ToWide(std::string_view narrow) {
  std::u16string out;
  out.reserve(narrow.size());
  AppendWide(narrow, &out);
  return out;
}

std::u16string ThroughNarrow(std::u16string_view wide) {
  for (char16_t unit : wide) {
    if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) return ToWide(ToNarrow(wide));
  }
  return std::u16string(wide);
}

std::wstring ToWchar(std::u16string_view wide) {
  std::wstring out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    const char16_t unit = wide[i];
    if (IsHighSurrogate(unit) && i + 1 < wide.size() && IsLowSurrogate(wide[i + 1])) {
      out.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (wide[i + 1] - 0xDC00)));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      out.push_back(L'?');
    } else {
      out.push_back(static_cast<wchar_t>(unit));
    }
  }
  return out;
}

char* WideToNarrow(const char16_t* wide, char* narrow, int narrow_bytes, unsigned code_page) {
  if (wide == nullptr || narrow == nullptr) return nullptr;
  if (narrow_bytes <= 0) return nullptr;
  narrow[0] = 0;
  const std::string converted = ToNarrow(std::u16string_view(wide, Length(wide)));
  if (converted.size() + 1 > static_cast<size_t>(narrow_bytes)) return nullptr;
  std::memcpy(narrow, converted.c_str(), converted.size() + 1);
  return narrow;
}

char16_t* NarrowToWide(const char* narrow, char16_t* wide, int wide_chars, unsigned code_page) {
  if (narrow == nullptr || wide == nullptr) return nullptr;
  if (wide_chars <= 0) return nullptr;
  wide[0] = 0;
  const std::u16string converted = ToWide(narrow);
  if (converted.size() + 1 > static_cast<size_t>(wide_chars)) return nullptr;
  std::memcpy(wide, converted.c_str(), (converted.size() + 1) * sizeof(char16_t));
  return wide;
}

}  // namespace zelvar
