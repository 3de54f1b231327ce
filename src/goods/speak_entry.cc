// The speak entry of a face text rebuilt after a quota grant.

#include "goods/speak_entry.h"

namespace zelvar::goods {

std::u16string RewriteSpeakEntry(std::u16string_view face_text, int goods_type, int count) {
  std::u16string face(face_text);
  const int counter = SpeakCounterOf(goods_type);

  const codec::SpeakEntry entry = codec::FindSpeakEntry(face);
  // Without its ";" the entry can't be told from the rest of the text: it
  // stays, and a fresh entry follows it.
  if (entry.end != codec::SpeakEntry::kNone) {
    face.erase(entry.start, entry.end - entry.start + 1);
    if (entry.usable) {
      codec::SpeakCounters counters = entry.counters;
      if (counter != 0) counters[counter - 1] += count;
      face += codec::FormatSpeakEntry(counters);
      return face;
    }
  }

  if (counter != 0) {
    codec::SpeakCounters counters{};
    counters[counter - 1] = count;
    face += codec::FormatSpeakEntry(counters);
  }
  return face;
}

bool LowerSpeakCounter(std::u16string* face_text, int goods_type, int64_t count, int64_t* before,
                       int64_t* after) {
  const int counter = SpeakCounterOf(goods_type);
  const size_t start = face_text->find(kEntryStart);
  if (counter == 0 || start == std::u16string::npos) return false;
  const size_t end = face_text->find(u';', start);
  if (end == std::u16string::npos) return false;
  const size_t inner_start = std::min(start + kEntryOpenLength, end);
  std::vector<std::u16string> numbers;
  SplitByComma(std::u16string_view(*face_text).substr(inner_start, end - inner_start), &numbers);
  if (numbers.size() < kSpeakCounterCount) return false;

  // The counter's piece, cut as the grant reads the counters: at every ":"
  // and ",", empty pieces skipped.
  size_t piece_start = inner_start;
  size_t piece_end = inner_start;
  for (int seen = 0; seen < counter;) {
    if (piece_start > end) return false;  // fewer pieces: a counter read as 0
    piece_end = face_text->find_first_of(u":,", piece_start);
    if (piece_end == std::u16string::npos || piece_end > end) piece_end = end;
    if (piece_end > piece_start && ++seen == counter) break;
    piece_start = piece_end + 1;
  }
  *before = ReadCounter(std::u16string_view(*face_text).substr(piece_start, piece_end - piece_start));
  *after = *before > 0 ? std::max<int64_t>(0, *before - count) : *before;
  if (*after != *before) {
    const std::string digits = std::to_string(*after);
    face_text->replace(piece_start, piece_end - piece_start, std::u16string(digits.begin(), digits.end()));
  }
  return true;
}

}  // namespace zelvar::goods
