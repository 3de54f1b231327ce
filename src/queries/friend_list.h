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
//
// The profile statements go to the database as one batch (one round trip
// on a server that takes one), unless batching is off; the results are the
// same either way.
std::vector<std::optional<FriendProfile>> LookUpFriendProfiles(
    const std::vector<int32_t>& friend_ids);

// Turns the batch off (each profile statement then runs on its own) or on
// again, for the whole process; on by default. For tests that compare the
// two.
void SetFriendProfileBatching(bool enabled);

}  // namespace zelvar::queries

#endif  // ZELVAR_QUERIES_FRIEND_LIST_H_
