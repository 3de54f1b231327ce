// A player's messages and invitation records, read only.
#include "tools/zelvar/ops/mailbox.h"

#include "tools/zelvar/ops/rows.h"

namespace zelvar::ops {
namespace {

using db::Sql;
using db::SqlValue;

constexpr char kMessageColumns[] =
    "SELECT m.nId, m.nFromUserId, m.sContent, m.tAddTime, m.nRead, u.sUsername, u.sNick "
    "FROM tblUserMsg m LEFT JOIN tblUser u ON u.nId = m.nFromUserId WHERE m.nUserId = %d AND ";

bool ReadMessages(const Sql& sql, std::vector<MessageRow>* rows, std::string* error) {
  db::RecordsetHandle found;
  if (!QueryRows(sql, &found, error)) return false;
  for (; !found->IsEOF(); found->MoveNext()) {
    MessageRow row;
    row.id = FieldInt(*found, 0);
    row.from = static_cast<int32_t>(FieldInt(*found, 1));
    row.content = FieldText(*found, 2);
    row.time = FieldText(*found, 3);
    row.read = FieldInt(*found, 4) != 0;
    row.from_name = FieldText(*found, 5);
    row.from_nick = FieldText(*found, 6);
    rows->push_back(std::move(row));
  }
  return true;
}

}  // namespace

nlohmann::ordered_json MessageRow::Json() const {
  nlohmann::ordered_json json = {{"id", id}, {"from", from}};
  if (!from_name.empty()) json["from_name"] = from_name;
  if (!from_nick.empty()) json["from_nick"] = from_nick;
  json.update({{"content", content}, {"time", time}, {"read", read}});
  return json;
}

bool PeekMessages(int32_t user_id, int limit, MessagePeek* peek, std::string* error) {
  *peek = MessagePeek();
  const SqlValue user = SqlValue::Integer(user_id);
  const auto unread = QueryCount(Sql("SELECT COUNT(*) FROM tblUserMsg WHERE nUserId = %d AND nRead = 0", {user}), error);
  if (!unread) return false;
  peek->unread_total = *unread;
  // The module's unread request takes nRead = 0 as unread; anything else
  // is read (NULL is neither, and shows in neither list).
  return ReadMessages(Sql(std::string(kMessageColumns) + "m.nRead = 0 ORDER BY m.nId LIMIT %d",
                          {user, SqlValue::Integer(limit)}),
                      &peek->unread, error) &&
         ReadMessages(Sql(std::string(kMessageColumns) + "m.nRead <> 0 ORDER BY m.tAddTime DESC, m.nId DESC LIMIT %d",
                          {user, SqlValue::Integer(limit)}),
                      &peek->read, error);
}

nlohmann::ordered_json InvitationRow::Json() const {
  return {{"id", id},     {"code", code}, {"email", email}, {"state", state}, {"group", group},
          {"note", note}, {"zone", zone}, {"reply", reply}, {"time", time}};
}

bool ReadInvitations(int32_t user_id, std::vector<InvitationRow>* rows, std::string* error) {
  rows->clear();
  db::RecordsetHandle found;
  if (!QueryRows(Sql("SELECT nId, sInviteCode, sInvitedEmail, nState, nGroup, sNote, nZoneId, nReply, tAddtime "
                     "FROM tblInviteRecord WHERE nUserid = %d ORDER BY nId",
                     {SqlValue::Integer(user_id)}),
                 &found, error)) {
    return false;
  }
  for (; !found->IsEOF(); found->MoveNext()) {
    InvitationRow row;
    row.id = FieldInt(*found, 0);
    row.code = FieldText(*found, 1);
    row.email = FieldText(*found, 2);
    row.state = static_cast<int32_t>(FieldInt(*found, 3));
    row.group = static_cast<int32_t>(FieldInt(*found, 4));
    row.note = FieldText(*found, 5);
    row.zone = static_cast<int32_t>(FieldInt(*found, 6));
    row.reply = static_cast<int32_t>(FieldInt(*found, 7));
    row.time = FieldText(*found, 8);
    rows->push_back(std::move(row));
  }
  return true;
}

}  // namespace zelvar::ops
