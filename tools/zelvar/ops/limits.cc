// The text limits of the writes.
#include "tools/zelvar/ops/limits.h"

#include <algorithm>

namespace zelvar::ops {
namespace {

struct Lengths {
  size_t code_points = 0;
  size_t utf16_units = 0;
};

Lengths LengthsOf(std::u16string_view wide) {
  Lengths lengths;
  lengths.utf16_units = wide.size();
  // A surrogate pair is one code point.
  lengths.code_points = wide.size() - static_cast<size_t>(std::count_if(wide.begin(), wide.end(), [](char16_t unit) {
                          return unit >= 0xDC00 && unit <= 0xDFFF;
                        }));
  return lengths;
}

}  // namespace

std::string CheckTextLimit(const TextLimit& limit, std::u16string_view text) {
  const Lengths lengths = LengthsOf(text);
  const size_t max = static_cast<size_t>(limit.max_chars);
  if (lengths.code_points > max) {
    return "the " + std::string(limit.what) + " is " + std::to_string(lengths.code_points) + " characters long; " +
           limit.column + " holds at most " + std::to_string(max);
  }
  if (lengths.utf16_units > max) {
    return "the " + std::string(limit.what) + " takes " + std::to_string(lengths.utf16_units) +
           " UTF-16 units; " + limit.column + " holds at most " + std::to_string(max) + " (SQL Server counts units)";
  }
  return CheckPacketText(limit.what, text);
}

std::string CheckPacketText(std::string_view what, std::u16string_view text) {
  const Lengths lengths = LengthsOf(text);
  if (lengths.utf16_units <= kMaxPacketTextUnits) return "";
  return "the " + std::string(what) + " takes " + std::to_string(lengths.utf16_units) +
         " UTF-16 units; a packet text holds at most " + std::to_string(kMaxPacketTextUnits);
}

std::string CheckInvitationLimits(const codec::Invitation& invitation) {
  for (const auto& [limit, text] : {std::pair{&kInviteCode, &invitation.invite_code},
                                    std::pair{&kInvitedEmail, &invitation.invited_email},
                                    std::pair{&kInviteNote, &invitation.note}}) {
    std::string error = CheckTextLimit(*limit, *text);
    if (!error.empty()) return error;
  }
  return "";
}

}  // namespace zelvar::ops
