// The speak entry of a face text: splitting, reading and rebuilding.

#include "goods/speak_entry.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

#include "util/text_format.h"

namespace zelvar::goods {
namespace {

constexpr std::u16string_view kEntryStart = u"Speak";
// "Speak:" opens the entry; the numbers start after it.
constexpr size_t kEntryOpenLength = 6;
constexpr char16_t kEntryFormat[] = u"Speak:%d,%d,%d,%d,%d,%d,%d,%d,%d,%d;";

struct SpeakCounterType {
  int goods_type;
  int counter;
};

// Counter 7 belongs to type 3210, which lies between the types of counters
// 3 and 4; the host's shop depends on that order.
constexpr std::array<SpeakCounterType, kSpeakCounterCount> kSpeakCounterTypes = {{
    {3100, 1},
    {3150, 2},
    {3200, 3},
    {3250, 4},
    {3251, 5},
    {3252, 6},
    {3210, 7},
    {3254, 8},
    {3255, 9},
    {3256, 10},
}};

using Counters = std::array<int64_t, kSpeakCounterCount>;

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// Leading blanks and a sign, then decimal digits up to the first other
// character; no digits give 0. Values beyond 32 bits stop at the bound.
int64_t ReadCounter(std::u16string_view piece) {
  size_t i = 0;
  while (i < piece.size() && IsBlank(piece[i])) ++i;
  bool negative = false;
  if (i < piece.size() && (piece[i] == u'+' || piece[i] == u'-')) {
    negative = piece[i] == u'-';
    ++i;
  }
  constexpr int64_t kBound = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t value = 0;
  for (; i < piece.size() && piece[i] >= u'0' && piece[i] <= u'9'; ++i) {
    value = std::min<int64_t>(value * 10 + (piece[i] - u'0'), kBound);
  }
  value = negative ? -value : value;
  return std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                             std::numeric_limits<int32_t>::max());
}

// The first ten pieces of `inner` cut at every ":" and ",".
// REQUIRES: `inner` holds at least ten such pieces.
Counters ReadCounters(std::u16string_view inner) {
  Counters counters{};
  size_t next = 0;
  size_t start = 0;
  while (next < counters.size() && start <= inner.size()) {
    size_t end = inner.find_first_of(u":,", start);
    if (end == std::u16string_view::npos) end = inner.size();
    if (end > start) counters[next++] = ReadCounter(inner.substr(start, end - start));
    start = end + 1;
  }
  return counters;
}

std::u16string FormatEntry(const Counters& counters) {
  int clamped[kSpeakCounterCount];
  for (size_t i = 0; i < counters.size(); ++i) {
    clamped[i] = static_cast<int>(std::clamp<int64_t>(
        counters[i], std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
  }
  return FormatText(kEntryFormat, {clamped[0], clamped[1], clamped[2], clamped[3], clamped[4],
                                   clamped[5], clamped[6], clamped[7], clamped[8], clamped[9]});
}

}  // namespace

int SplitByComma(std::u16string_view text, std::vector<std::u16string>* list) {
  list->clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u',', start);
    if (end == std::u16string_view::npos) end = text.size();
    if (end > start) list->emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return 0;
}

int SpeakCounterOf(int goods_type) {
  for (const SpeakCounterType& entry : kSpeakCounterTypes) {
    if (entry.goods_type == goods_type) return entry.counter;
  }
  return 0;
}

std::u16string RewriteSpeakEntry(std::u16string_view face_text, int goods_type, int count) {
  std::u16string face(face_text);
  const int counter = SpeakCounterOf(goods_type);

  const size_t start = face.find(kEntryStart);
  if (start != std::u16string::npos) {
    const size_t end = face.find(u';', start);
    // Without its ";" the entry can't be told from the rest of the text: it
    // stays, and a fresh entry follows it.
    if (end != std::u16string::npos) {
      const size_t inner_start = std::min(start + kEntryOpenLength, end);
      const std::u16string inner = face.substr(inner_start, end - inner_start);
      std::vector<std::u16string> numbers;
      SplitByComma(inner, &numbers);
      face.erase(start, end - start + 1);
      if (numbers.size() >= kSpeakCounterCount) {
        Counters counters = ReadCounters(inner);
        if (counter != 0) counters[counter - 1] += count;
        face += FormatEntry(counters);
        return face;
      }
    }
  }

  if (counter != 0) {
    Counters counters{};
    counters[counter - 1] = count;
    face += FormatEntry(counters);
  }
  return face;
}

}  // namespace zelvar::goods
