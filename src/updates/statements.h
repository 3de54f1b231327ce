// The statements of the updates that write one row or end a friendship,
// with their places in order. The host tool runs the same texts again on
// its own connection, inside a transaction it rolls back, to hear the
// database's reason when one of these writes failed; so there is one text
// of each.
//
// Constants only; safe on any thread.
#ifndef ZELVAR_UPDATES_STATEMENTS_H_
#define ZELVAR_UPDATES_STATEMENTS_H_

namespace zelvar::updates {

// 1500: recipient, content, time, sender.
inline constexpr char kInsertMessage[] =
    "Insert into tblUserMsg (nUserId, sContent, tAddTime, nRead, nFromUserId, nAll) values "
    "(%d, '%s', '%s', 0, %d, 0)";
// 1505: user, former friend, user, former friend.
inline constexpr char kDeleteFriendship[] =
    "Delete From tblFriend where ((nUserId = %d and nFriendId = %d) or (nFriendId = %d and "
    "nUserId = %d))";
// 1510: user, partner, play id, time, duration (kTradeDuration).
inline constexpr char kInsertTrade[] =
    "INSERT INTO tblFriendTradeHistory (nPlayUserId, nPlayedUserId, nPlayId, tTime, "
    "tDuration) VALUES (%d, %d, %d,'%s',%d)";
inline constexpr int kTradeDuration = 10;
// 1550, one per row: user, group, code, e-mail, state, time, zone, note
// (kMissingNote for an empty one), reply.
inline constexpr char kInsertInvitation[] =
    "INSERT INTO tblInviteRecord (nUserid,nGroup,sInviteCode,sInvitedEmail,nState,tAddtime,"
    "nZoneId,sNote,nReply) VALUES (%d,%d,'%s','%s',%d,'%s',%d,'%s',%d)";
inline constexpr char16_t kMissingNote[] = u"缺失remark";

}  // namespace zelvar::updates

#endif  // ZELVAR_UPDATES_STATEMENTS_H_
