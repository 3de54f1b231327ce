// The pieces of kind 1610 (friend list) that stand apart from its reply:
// the friends' profile lookup, kept behind one function so that how the
// profiles are fetched can change without touching the reply building.
//
// Thread-safe: each call runs statements of its own.
#ifndef ZELVAR_QUERIES_FRIEND_LIST_H_
#define ZELVAR_QUERIES_FRIEND_LIST_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelvar::queries {

// The profile fields of one user in tblUser.
struct FriendProfile {
  std::u16string nick;      // sNick
  int32_t sex = 0;          // nSex
  std::u16string face_pic;  // sFacePic
  int32_t logined = 0;      // bLogined: 0 for false, non-zero for true
};

// One entry per id, in the same order: the user's profile, or nullopt when
// the lookup failed, the user has no row, or a field of the row could not
// be read. Only the first row found for an id is used.
std::vector<std::optional<FriendProfile>> LookUpFriendProfiles(
    const std::vector<int32_t>& friend_ids);

}  // namespace zelvar::queries

#endif  // ZELVAR_QUERIES_FRIEND_LIST_H_
