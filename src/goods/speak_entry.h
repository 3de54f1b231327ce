// The speak entry kept in a player's face text (tblUser.sFacePic): "Speak:"
// followed by ten comma-separated decimal counters and a closing ";", for
// instance "Speak:0,2,0,0,0,0,0,0,0,0;". Quota goods of some types raise
// one counter each; every other character of the face text is kept.
//
// Pure functions over values: safe from any thread.
#ifndef ZELVAR_GOODS_SPEAK_ENTRY_H_
#define ZELVAR_GOODS_SPEAK_ENTRY_H_

#include <string>
#include <string_view>
#include <vector>

#include "codec/face_text.h"

namespace zelvar::goods {

// The entry's reading, shared with hosts, is the codec's.
using codec::kSpeakCounterCount;
using codec::SpeakCounterOf;
using codec::SplitByComma;

// `face_text` after a grant of `count` quota goods of `goods_type`:
// - The entry starts at the first "Speak" and ends at the first ";" after
//   it. An entry with ten or more numbers is rebuilt with the counter of
//   `goods_type` raised by `count` and moved to the end of the text
//   (numbers past the tenth are dropped).
// - An entry with fewer numbers is removed; an entry without its ";" is
//   left as it stands. Either way, or with no entry at all, a fresh entry
//   holding `count` in the counter of `goods_type` is appended, or nothing
//   when that type feeds no counter.
// May throw std::bad_alloc.
std::u16string RewriteSpeakEntry(std::u16string_view face_text, int goods_type, int count);

}  // namespace zelvar::goods

#endif  // ZELVAR_GOODS_SPEAK_ENTRY_H_
