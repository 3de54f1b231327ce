// The update cases: a message (1500), the end of a friendship (1505), a
// trade (1510) and invitation rows (1550).
#include <string>
#include <vector>

#include "codec/keys.h"
#include "codec/requests.h"
#include "request_cases.h"
#include "util/text.h"
#include "util/time_text.h"

namespace zelvar::bench {
namespace {

namespace w = world;

const char kFriendshipQuery[] =
    "SELECT nFriendId, nUserId FROM tblFriend WHERE ((nUserId = ? AND nFriendId = ?) OR "
    "(nUserId = ? AND nFriendId = ?))";

void BindFour(RawStatement* s, int a, int b) {
  s->BindInt(1, a);
  s->BindInt(2, b);
  s->BindInt(3, b);
  s->BindInt(4, a);
}

CKParam MessageRequest() {
  return codec::MessageRequest(w::kRecipient, u"Hello, friend! Shall we trade?");
}

Request SendMessage() {
  Request r;
  r.name = "1500";
  r.ours = [] {
    return [](std::string* digest) {
      CKParam request = MessageRequest();
      return Put(w::kSender, 0, request, digest);
    };
  };
  r.limit = [](RawDb& db) -> Step {
    RawStatement* check = db.Prepare(kFriendshipQuery);
    RawStatement* insert = db.Prepare(
        "Insert into tblUserMsg (nUserId, sContent, tAddTime, nRead, nFromUserId, nAll) values "
        "(?, ?, ?, 0, ?, 0)");
    return [&db, check, insert](std::string* digest) {
      CKParam request = MessageRequest();
      CKParam packet;
      Load(packet, request);
      int command = 0, recipient = 0;
      CString content;
      if (packet.GetInt(codec::kCommandKey, command) != 0 ||
          packet.GetInt(codec::kMessageRecipientKey, recipient) != 0 ||
          packet.GetCString(codec::kMessageContentKey, content) != 0) {
        return false;
      }
      if (!db.Begin()) return false;
      BindFour(check, w::kSender, recipient);
      const bool friends = check->Execute() && check->Next();
      check->Done();
      insert->BindInt(1, recipient);
      insert->BindText(2, content);
      insert->BindTime(3, NowText());
      insert->BindInt(4, w::kSender);
      const bool ok = friends && insert->Execute();
      insert->Done();
      if (!db.Commit() || !ok) return false;
      if (digest != nullptr) *digest = "0";
      return true;
    };
  };
  r.cleanup = "DELETE FROM tblUserMsg WHERE nUserId = " + std::to_string(w::kRecipient);
  return r;
}

Request EndFriendship() {
  Request r;
  r.name = "1505";
  const auto request = [] { return codec::EndFriendshipRequest(w::kLeft); };
  r.ours = [request] {
    return [request](std::string* digest) {
      CKParam p = request();
      return Put(w::kLeaving, 0, p, digest);
    };
  };
  r.limit = [request](RawDb& db) -> Step {
    RawStatement* friendship = db.Prepare(
        "Delete From tblFriend where ((nUserId = ? and nFriendId = ?) or (nFriendId = ? and "
        "nUserId = ?))");
    RawStatement* trades = db.Prepare(
        "DELETE FROM tblFriendTradeHistory WHERE (nPlayUserId = ? AND nPlayedUserId = ?) OR "
        "(nPlayUserId = ? AND nPlayedUserId = ?)");
    return [&db, friendship, trades, request](std::string* digest) {
      CKParam p = request();
      CKParam packet;
      Load(packet, p);
      int command = 0, former = 0;
      if (packet.GetInt(codec::kCommandKey, command) != 0 ||
          packet.GetInt(codec::kFormerFriendKey, former) != 0) {
        return false;
      }
      if (!db.Begin()) return false;
      friendship->BindInt(1, w::kLeaving);
      friendship->BindInt(2, former);
      friendship->BindInt(3, w::kLeaving);
      friendship->BindInt(4, former);
      bool ok = friendship->Execute();
      friendship->Done();
      BindFour(trades, w::kLeaving, former);
      ok = trades->Execute() && ok;
      trades->Done();
      if (!db.Commit() || !ok) return false;
      if (digest != nullptr) *digest = "0";
      return true;
    };
  };
  r.reset_each = "INSERT INTO tblFriend (nUserId, nFriendId) VALUES (" +
                 std::to_string(w::kLeaving) + ", " + std::to_string(w::kLeft) + ")";
  return r;
}

Request RecordTrade() {
  Request r;
  r.name = "1510";
  const auto request = [] { return codec::TradeRequest(w::kRecipient, 4242); };
  r.ours = [request] {
    return [request](std::string* digest) {
      CKParam p = request();
      return Put(w::kSender, 0, p, digest);
    };
  };
  r.limit = [request](RawDb& db) -> Step {
    RawStatement* check = db.Prepare(kFriendshipQuery);
    RawStatement* insert = db.Prepare(
        "INSERT INTO tblFriendTradeHistory (nPlayUserId, nPlayedUserId, nPlayId, tTime, "
        "tDuration) VALUES (?, ?, ?,?,?)");
    return [&db, check, insert, request](std::string* digest) {
      CKParam p = request();
      CKParam packet;
      Load(packet, p);
      int command = 0, partner = 0, play = 0;
      if (packet.GetInt(codec::kCommandKey, command) != 0 ||
          packet.GetInt(codec::kTradePartnerKey, partner) != 0 ||
          packet.GetInt(codec::kTradePlayIdKey, play) != 0) {
        return false;
      }
      if (!db.Begin()) return false;
      BindFour(check, w::kSender, partner);
      const bool friends = check->Execute() && check->Next();
      check->Done();
      insert->BindInt(1, w::kSender);
      insert->BindInt(2, partner);
      insert->BindInt(3, play);
      insert->BindTime(4, NowText());
      insert->BindInt(5, 10);
      const bool ok = friends && insert->Execute();
      insert->Done();
      if (!db.Commit() || !ok) return false;
      if (digest != nullptr) *digest = "0";
      return true;
    };
  };
  r.cleanup = "DELETE FROM tblFriendTradeHistory WHERE nPlayUserId = " +
              std::to_string(w::kSender);
  return r;
}

CKParam InvitationRequest(int rows) {
  std::vector<codec::Invitation> invitations;
  for (int row = 1; row <= rows; ++row) {
    invitations.push_back({u"INV" + ToWide(std::to_string(100000 + row)), 1,
                           u"friend" + ToWide(std::to_string(row)) + u"@mail.example", 3,
                           u"see you in game", 7, 0});
  }
  return codec::InvitationsRequest(invitations, false);
}

Request StoreInvitations(int rows) {
  Request r;
  r.name = "1550/rows:" + std::to_string(rows);
  r.ours = [rows] {
    return [rows](std::string* digest) {
      CKParam p = InvitationRequest(rows);
      return Put(w::kInviter, codec::kStoreInvitations, p, digest);
    };
  };
  r.limit = [rows](RawDb& db) -> Step {
    RawStatement* insert = db.Prepare(
        "INSERT INTO tblInviteRecord (nUserid,nGroup,sInviteCode,sInvitedEmail,nState,tAddtime,"
        "nZoneId,sNote,nReply) VALUES (?,?,?,?,?,?,?,?,?)");
    return [insert, rows](std::string* digest) {
      CKParam p = InvitationRequest(rows);
      CKParam packet;
      Load(packet, p);
      int command = 0, count = 0;
      bool log = false;
      if (packet.GetInt(codec::kCommandKey, command) != 0 ||
          packet.GetInt(codec::kInvitationCountKey, count) != 0) {
        return false;
      }
      packet.GetBoolean(codec::kInvitationLogKey, log);
      const std::string now = NowText();
      for (int row = 1; row <= count; ++row) {
        codec::Invitation invitation;
        if (!codec::ReadInvitation(packet, row, &invitation)) continue;
        insert->BindInt(1, w::kInviter);
        insert->BindInt(2, invitation.group);
        insert->BindText(3, invitation.invite_code);
        insert->BindText(4, invitation.invited_email);
        insert->BindInt(5, invitation.state);
        insert->BindTime(6, now);
        insert->BindInt(7, invitation.zone_id);
        insert->BindText(8, invitation.note);
        insert->BindInt(9, invitation.reply);
        insert->Execute();
        insert->Done();
      }
      if (digest != nullptr) *digest = "0";
      return true;
    };
  };
  r.cleanup = "DELETE FROM tblInviteRecord";
  return r;
}

}  // namespace

std::vector<Request> UpdateRequests() {
  std::vector<Request> requests;
  requests.push_back(SendMessage());
  requests.push_back(EndFriendship());
  requests.push_back(RecordTrade());
  for (int rows : {1, 10, 50}) requests.push_back(StoreInvitations(rows));
  return requests;
}

}  // namespace zelvar::bench
