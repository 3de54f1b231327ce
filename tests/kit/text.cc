// UTF-8 and UTF-16 for the kit (text.h).
#include "kit/text.h"

#include <cstdint>

namespace zelvar::kit {
namespace {

// The code point of the well-formed sequence of `extra` continuation bytes
// after `lead` at bytes[i], or -1 when it is not one.
int32_t Decode(const std::string& bytes, size_t i, size_t extra, uint32_t code_point) {
  if (i + extra >= bytes.size()) return -1;
  for (size_t k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(bytes[i + k]);
    if ((next & 0xC0) != 0x80) return -1;
    code_point = (code_point << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF.
  if ((extra == 2 && code_point < 0x800) || (extra == 3 && code_point < 0x10000) ||
      (code_point >= 0xD800 && code_point <= 0xDFFF) || code_point > 0x10FFFF) {
    return -1;
  }
  return static_cast<int32_t>(code_point);
}

// The code point at bytes[i] and its length in `size`; -1 (size 1) for a
// byte that starts no valid sequence.
int32_t Next(const std::string& bytes, size_t i, size_t* size) {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  *size = 1;
  if (lead < 0x80) return lead;
  size_t extra;
  uint32_t bits;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    bits = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    bits = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    bits = lead & 0x07;
  } else {
    return -1;
  }
  const int32_t code_point = Decode(bytes, i, extra, bits);
  if (code_point >= 0) *size = extra + 1;
  return code_point;
}

}  // namespace

bool IsUtf8(const std::string& bytes) {
  size_t size = 0;
  for (size_t i = 0; i < bytes.size(); i += size) {
    if (Next(bytes, i, &size) < 0) return false;
  }
  return true;
}

std::u16string Utf16Of(const std::string& text) {
  std::u16string out;
  size_t size = 0;
  for (size_t i = 0; i < text.size(); i += size) {
    const int32_t code_point = Next(text, i, &size);
    if (code_point < 0) {
      out.push_back(u'\uFFFD');
    } else if (code_point < 0x10000) {
      out.push_back(static_cast<char16_t>(code_point));
    } else {
      const uint32_t c = static_cast<uint32_t>(code_point) - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
  }
  return out;
}

std::string Utf8Of(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = '?';
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

}  // namespace zelvar::kit
