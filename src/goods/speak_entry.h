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

namespace zelvar::goods {

inline constexpr int kSpeakCounterCount = 10;

// Empties `list`, then appends each non-empty piece of `text` between
// commas, in order: runs of commas and commas at either end give no empty
// pieces. Always 0.
int SplitByComma(std::u16string_view text, std::vector<std::u16string>* list);

// The counter (1 to 10) that quota goods of `goods_type` raise, or 0 for a
// type that feeds none.
int SpeakCounterOf(int goods_type);

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
