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

}  // namespace zelvar::goods
