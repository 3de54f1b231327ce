// Terminal widths, times and numbers for the zelvar tool.
#include "tools/zelvar/text_util.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>
#include <utility>
#include <vector>

#include "db/connection_string.h"
#include "util/time_text.h"

namespace zelvar::cli {
namespace {

// Decodes one UTF-8 sequence at `*pos` and moves past it; a byte that
// does not start a whole sequence counts as one U+FFFD.
char32_t NextCodePoint(std::string_view text, size_t* pos) {
  const auto lead = static_cast<unsigned char>(text[*pos]);
  const int extra = lead < 0x80             ? 0
                    : (lead & 0xE0) == 0xC0 ? 1
                    : (lead & 0xF0) == 0xE0 ? 2
                    : (lead & 0xF8) == 0xF0 ? 3
                                            : -1;
  if (extra < 0 || text.size() - *pos <= static_cast<size_t>(extra)) {
    ++*pos;
    return extra == 0 ? lead : 0xFFFD;
  }
  char32_t code_point = lead & (0x7F >> (extra + 1));
  for (int i = 1; i <= extra; ++i) {
    const auto next = static_cast<unsigned char>(text[*pos + i]);
    if ((next & 0xC0) != 0x80) {
      ++*pos;
      return 0xFFFD;
    }
    code_point = (code_point << 6) | (next & 0x3F);
  }
  *pos += extra + 1;
  return code_point;
}

bool IsCombining(char32_t c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0x20D0 && c <= 0x20FF);
}

bool IsWide(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
         (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
         (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
         (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
         (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
}

int CodePointWidth(char32_t c) {
  if (IsCombining(c)) return 0;
  return IsWide(c) ? 2 : 1;
}

}  // namespace

int DisplayWidth(std::string_view text) {
  int width = 0;
  for (size_t pos = 0; pos < text.size();) width += CodePointWidth(NextCodePoint(text, &pos));
  return width;
}

std::string FitWidth(std::string_view text, int columns) {
  if (DisplayWidth(text) <= columns) return std::string(text);
  std::string out;
  int width = 0;
  for (size_t pos = 0; pos < text.size();) {
    const size_t start = pos;
    const int w = CodePointWidth(NextCodePoint(text, &pos));
    if (width + w > columns - 1) break;
    width += w;
    out.append(text.substr(start, pos - start));
  }
  return out + "…";
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

std::optional<int32_t> ParseInt32(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string LocalTimeText(int64_t seconds) {
  std::string text = zelvar::LocalTimeText(seconds);
  return text.empty() ? "?" : text;
}

int64_t PacketTimeSeconds(int32_t low_bits) {
  // The module keeps only the low 32 bits; read them unsigned so that the
  // permanent due times of 2050 and the like come out right until 2106.
  return static_cast<int64_t>(static_cast<uint32_t>(low_bits));
}

std::string PacketTimeText(int32_t low_bits) {
  if (low_bits == 0) return "-";
  return LocalTimeText(PacketTimeSeconds(low_bits));
}

std::string MaskPassword(std::string_view connection_string) {
  std::vector<std::pair<std::string, std::string>> pairs;
  if (!db::SplitConnectionString(std::string(connection_string), &pairs)) {
    return "(an unreadable connection string)";
  }
  std::string out;
  for (const auto& [keyword, value] : pairs) {
    const std::string lower = Lower(keyword);
    const bool braced = value.find_first_of(" ;{}=") != std::string::npos;
    std::string shown = lower == "pwd" || lower == "password" ? "***" : value;
    if (braced && shown != "***") {
      std::string escaped;
      for (char c : shown) escaped += c == '}' ? std::string("}}") : std::string(1, c);
      shown = "{" + escaped + "}";
    }
    out += keyword + "=" + shown + ";";
  }
  return out;
}

std::string OneLine(std::string_view text) {
  std::string line;
  for (char c : text) {
    const bool blank = c == '\n' || c == '\r' || c == '\t' || c == ' ';
    if (blank && (line.empty() || line.back() == ' ')) continue;
    line += blank ? ' ' : c;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

}  // namespace zelvar::cli
