// Local date-time text.

#include "util/time_text.h"

#include <cstdlib>
#include <cstring>

#include "util/text.h"

namespace zelvar {
namespace {

// Writes `value` at `out` with at least two digits.
char* PutTwoDigits(int value, char* out) {
  if (value >= 0 && value < 10) {
    *out++ = '0';
    *out++ = static_cast<char>('0' + value);
    return out;
  }
  char digits[16];
  const int n = std::snprintf(digits, sizeof digits, "%d", value);
  std::memcpy(out, digits, n);
  return out + n;
}

// Looks for a field of one or two characters at `start` closed by
// `separator` (0 for the end of the text). Returns the position of the
// separator, or -1.
long FieldEnd(const char* text, size_t length, size_t start, char separator) {
  for (size_t width = 1; width <= 2; ++width) {
    const size_t at = start + width;
    if (separator == 0) {
      if (at == length) return static_cast<long>(at);
    } else if (at < length && text[at] == separator) {
      return static_cast<long>(at);
    }
  }
  return -1;
}

// The field's leading number as atoi reads it: blanks skipped, a sign,
// then digits up to the first other character (no digits: 0). Fields are at
// most four characters, so nothing overflows.
int FieldValue(const char* text, size_t start, size_t end) {
  size_t i = start;
  while (i < end && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < end && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int value = 0;
  for (; i < end && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
  return negative ? -value : value;
}

}  // namespace

int FormatTimeText(const std::tm* time, char* buffer) {
  if (time == nullptr) return -1;
  // The layout assumes a four-digit year, as every stored time has.
  char out[64];
  int n = std::snprintf(out, sizeof out, "%d-", time->tm_year + 1900);
  char* p = out + n;
  p = PutTwoDigits(time->tm_mon + 1, p);
  *p++ = '-';
  p = PutTwoDigits(time->tm_mday, p);
  *p++ = ' ';
  p = PutTwoDigits(time->tm_hour, p);
  *p++ = ':';
  p = PutTwoDigits(time->tm_min, p);
  *p++ = ':';
  p = PutTwoDigits(time->tm_sec, p);
  *p = 0;
  // Callers hand a 20-byte buffer: a well-formed time is 19 characters.
  const size_t length = std::strlen(out);
  if (length > 19) {
    std::memcpy(buffer, out, 19);
    buffer[19] = 0;
  } else {
    std::memcpy(buffer, out, length + 1);
  }
  return 0;
}

int64_t ParseTimeText(const char* text) {
  if (text == nullptr) return 0;
  const size_t length = std::strlen(text);
  // Year: four characters; the separator after it is not examined.
  if (length < 5) return 0;
  const long month_end = FieldEnd(text, length, 5, '-');
  if (month_end < 0) return 0;
  const long day_end = FieldEnd(text, length, month_end + 1, ' ');
  if (day_end < 0) return 0;
  const long hour_end = FieldEnd(text, length, day_end + 1, ':');
  if (hour_end < 0) return 0;
  const long minute_end = FieldEnd(text, length, hour_end + 1, ':');
  if (minute_end < 0) return 0;
  const long second_end = FieldEnd(text, length, minute_end + 1, 0);
  if (second_end < 0) return 0;

  std::tm fields = {};
  fields.tm_year = FieldValue(text, 0, 4) - 1900;
  fields.tm_mon = FieldValue(text, 5, month_end) - 1;
  fields.tm_mday = FieldValue(text, month_end + 1, day_end);
  fields.tm_hour = FieldValue(text, day_end + 1, hour_end);
  fields.tm_min = FieldValue(text, hour_end + 1, minute_end);
  fields.tm_sec = FieldValue(text, minute_end + 1, second_end);
  // Let the library decide whether daylight saving time is in effect, so
  // that every formatted local time reads back as itself.
  fields.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&fields));
}

int64_t ParseTimeText(std::u16string_view text) {
  // Date-time texts are ASCII: they narrow unit by unit.
  char narrow[64];
  if (text.size() < sizeof narrow) {
    size_t i = 0;
    for (; i < text.size() && text[i] < 0x80; ++i) narrow[i] = static_cast<char>(text[i]);
    if (i == text.size()) {
      narrow[i] = 0;
      return ParseTimeText(narrow);
    }
  }
  return ParseTimeText(ToNarrow(text).c_str());
}

std::string LocalTimeText(int64_t t) {
  const std::time_t value = static_cast<std::time_t>(t);
  std::tm local;
  if (localtime_r(&value, &local) == nullptr) return std::string();
  char buffer[20];
  FormatTimeText(&local, buffer);
  return buffer;
}

std::string NowText() { return LocalTimeText(static_cast<int64_t>(std::time(nullptr))); }

}  // namespace zelvar
