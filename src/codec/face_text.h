// The speak entry of a player's face text (tblUser.sFacePic, the face a
// friend list carries): "Speak:" followed by ten comma-separated decimal
// counters and a closing ";", for instance "Speak:0,2,0,0,0,0,0,0,0,0;".
// Quota goods of some types raise one counter each. The module rewrites the
// entry after a quota grant; hosts and the zelvar tool read it.
//
// Pure functions over values: safe from any thread.
#ifndef ZELVAR_CODEC_FACE_TEXT_H_
#define ZELVAR_CODEC_FACE_TEXT_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelvar::codec {

inline constexpr int kSpeakCounterCount = 10;
using SpeakCounters = std::array<int64_t, kSpeakCounterCount>;

// Empties `list`, then appends each non-empty piece of `text` between
// commas, in order: runs of commas and commas at either end give no empty
// pieces. Always 0.
int SplitByComma(std::u16string_view text, std::vector<std::u16string>* list);

// The counter (1 to 10) that quota goods of `goods_type` raise, or 0 for a
// type that feeds none.
int SpeakCounterOf(int goods_type);
// The goods type that raises `counter` (1 to 10); 0 for another number.
int SpeakGoodsType(int counter);

// Where the speak entry of a face text stands and what it holds:
// - The entry starts at the first "Speak" (case-sensitive) and ends at the
//   first ";" after it.
// - It is usable when the text between "Speak:" and that ";" splits into
//   ten or more numbers at its commas; `counters` then holds the first ten
//   pieces cut at every ":" and "," (leading blanks and a sign allowed,
//   reading stops at another character, no digits give 0; values clamp to
//   32 bits). Numbers past the tenth are ignored.
// An entry with fewer numbers, or without its ";", holds no counters.
struct SpeakEntry {
  static constexpr size_t kNone = std::u16string_view::npos;
  size_t start = kNone;  // the "S" of "Speak"; kNone: no entry
  size_t end = kNone;    // the closing ";"; kNone: no entry or none closes it
  bool usable = false;
  SpeakCounters counters{};
};
SpeakEntry FindSpeakEntry(std::u16string_view face_text);

// "Speak:%d,...,%d;" with the ten counters, each clamped to 32 bits.
std::u16string FormatSpeakEntry(const SpeakCounters& counters);

// Takes `count` back from the counter of `goods_type` in `face_text`, as
// when a grant made by mistake is undone: the counter goes down by `count`
// but never below 0 (one already at or below 0 stays), and only its digits
// change; every other character stays where it was. `before` and `after`
// receive the counter's value. False, the text untouched, when the type
// feeds no counter or the text holds no entry with ten numbers.
bool LowerSpeakCounter(std::u16string* face_text, int goods_type, int64_t count, int64_t* before,
                       int64_t* after);

}  // namespace zelvar::codec

#endif  // ZELVAR_CODEC_FACE_TEXT_H_
