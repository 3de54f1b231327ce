// The speak entry of a face text: splitting, reading and writing.

#include "codec/face_text.h"

#include <algorithm>
#include <limits>

#include "util/text_format.h"

namespace zelvar::codec {
namespace {

constexpr std::u16string_view kEntryStart = u"Speak";
// "Speak:" opens the entry; the numbers start after it.
constexpr size_t kEntryOpenLength = 6;
constexpr char16_t kEntryFormat[] = u"Speak:%d,%d,%d,%d,%d,%d,%d,%d,%d,%d;";

// The goods type of each counter, counter 1 first. Counter 7 belongs to
// type 3210, which lies between the types of counters 3 and 4; the host's
// shop depends on that order.
constexpr std::array<int, kSpeakCounterCount> kCounterGoodsTypes = {3100, 3150, 3200, 3250, 3251,
                                                                    3252, 3210, 3254, 3255, 3256};

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
SpeakCounters ReadCounters(std::u16string_view inner) {
  SpeakCounters counters{};
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
  for (size_t i = 0; i < kCounterGoodsTypes.size(); ++i) {
    if (kCounterGoodsTypes[i] == goods_type) return static_cast<int>(i) + 1;
  }
  return 0;
}

int SpeakGoodsType(int counter) {
  return counter >= 1 && counter <= kSpeakCounterCount ? kCounterGoodsTypes[counter - 1] : 0;
}

SpeakEntry FindSpeakEntry(std::u16string_view face_text) {
  SpeakEntry entry;
  entry.start = face_text.find(kEntryStart);
  if (entry.start == SpeakEntry::kNone) return entry;
  entry.end = face_text.find(u';', entry.start);
  if (entry.end == SpeakEntry::kNone) return entry;
  const size_t inner_start = std::min(entry.start + kEntryOpenLength, entry.end);
  const std::u16string_view inner = face_text.substr(inner_start, entry.end - inner_start);
  std::vector<std::u16string> numbers;
  SplitByComma(inner, &numbers);
  if (numbers.size() >= kSpeakCounterCount) {
    entry.usable = true;
    entry.counters = ReadCounters(inner);
  }
  return entry;
}

std::u16string FormatSpeakEntry(const SpeakCounters& counters) {
  int clamped[kSpeakCounterCount];
  for (size_t i = 0; i < counters.size(); ++i) {
    clamped[i] = static_cast<int>(std::clamp<int64_t>(
        counters[i], std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
  }
  return FormatText(kEntryFormat, {clamped[0], clamped[1], clamped[2], clamped[3], clamped[4],
                                   clamped[5], clamped[6], clamped[7], clamped[8], clamped[9]});
}

bool LowerSpeakCounter(std::u16string* face_text, int goods_type, int64_t count, int64_t* before,
                       int64_t* after) {
  const int counter = SpeakCounterOf(goods_type);
  const SpeakEntry entry = FindSpeakEntry(*face_text);
  if (counter == 0 || !entry.usable) return false;
  // The counter's piece, cut as FindSpeakEntry reads the counters: at
  // every ":" and ",", empty pieces skipped.
  size_t piece_start = std::min(entry.start + kEntryOpenLength, entry.end);
  size_t piece_end = piece_start;
  for (int seen = 0; seen < counter;) {
    if (piece_start > entry.end) return false;  // fewer pieces: the counter reads as 0
    piece_end = std::min(face_text->find_first_of(u":,", piece_start), entry.end);
    if (piece_end > piece_start && ++seen == counter) break;
    piece_start = piece_end + 1;
  }
  *before = entry.counters[counter - 1];
  *after = *before > 0 ? std::max<int64_t>(0, *before - count) : *before;
  if (*after != *before) {
    const std::string digits = std::to_string(*after);
    face_text->replace(piece_start, piece_end - piece_start, std::u16string(digits.begin(), digits.end()));
  }
  return true;
}

}  // namespace zelvar::codec
