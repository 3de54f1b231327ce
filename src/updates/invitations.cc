// Command 1550: a batch of invitation records, each row inserted on its
// own, optionally written to the SQL log.

#include <algorithm>
#include <cstdint>
#include <string>

#include "db/runner.h"
#include "db/sql.h"
#include "updates/commands.h"
#include "updates/sql_log.h"
#include "util/time_text.h"

namespace zelvar::updates {
namespace {

using db::Sql;
using db::SqlValue;

constexpr short kKeyRowCount = -100;
constexpr short kKeyLogStatements = -300;

// Offsets k of a row's fields: row i keeps field k at key i*100+k.
constexpr int kInviteCodeField = 1;
constexpr int kStateField = 2;
constexpr int kInvitedEmailField = 3;
constexpr int kGroupField = 4;
constexpr int kNoteField = 5;
constexpr int kZoneField = 6;
constexpr int kReplyField = 7;

constexpr char16_t kMissingNote[] = u"缺失remark";

constexpr char kInsertInvitation[] =
    "INSERT INTO tblInviteRecord (nUserid,nGroup,sInviteCode,sInvitedEmail,nState,tAddtime,"
    "nZoneId,sNote,nReply) VALUES (%d,%d,'%s','%s',%d,'%s',%d,'%s',%d)";

struct Invitation {
  CString invite_code;
  int state = 0;
  CString invited_email;
  int group = 0;
  CString note;
  int zone_id = 0;
  int reply = 0;
};

// The packet keeps the low 16 bits of a key, on the host's side as here.
short FieldKey(int row, int field) {
  return static_cast<short>(static_cast<uint16_t>(row * 100 + field));
}

// Reads the fields of `row` in their order; false at the first missing one.
bool ReadInvitation(CKParam& packet, int row, Invitation* invitation) {
  return packet.GetCString(FieldKey(row, kInviteCodeField), invitation->invite_code) == 0 &&
         packet.GetInt(FieldKey(row, kStateField), invitation->state) == 0 &&
         packet.GetCString(FieldKey(row, kInvitedEmailField), invitation->invited_email) == 0 &&
         packet.GetInt(FieldKey(row, kGroupField), invitation->group) == 0 &&
         packet.GetCString(FieldKey(row, kNoteField), invitation->note) == 0 &&
         packet.GetInt(FieldKey(row, kZoneField), invitation->zone_id) == 0 &&
         packet.GetInt(FieldKey(row, kReplyField), invitation->reply) == 0;
}

}  // namespace

int StoreInvitations(int user_id, int data_id, CKParam& packet) {
  if (data_id != kStoreInvitations) return -1;

  // Every row of one request shares one time.
  const std::string now = NowText();

  int row_count = 0;
  if (packet.GetInt(kKeyRowCount, row_count) != 0) return -1;
  // Rows past the last distinct set of keys would repeat earlier rows.
  row_count = std::min(row_count, kMaxInvitationRows);

  bool log_statements = false;
  if (packet.GetBoolean(kKeyLogStatements, log_statements) != 0) log_statements = false;

  for (int row = 1; row <= row_count; ++row) {
    Invitation invitation;
    if (!ReadInvitation(packet, row, &invitation)) continue;
    if (invitation.note.empty()) invitation.note = kMissingNote;

    const Sql insert(kInsertInvitation,
                     {SqlValue::Integer(user_id), SqlValue::Integer(invitation.group),
                      SqlValue::Text(invitation.invite_code),
                      SqlValue::Text(invitation.invited_email),
                      SqlValue::Integer(invitation.state), SqlValue::DateTime(now),
                      SqlValue::Integer(invitation.zone_id), SqlValue::Text(invitation.note),
                      SqlValue::Integer(invitation.reply)});
    // A failed row neither stops the batch nor changes its result.
    db::ExecuteSql(insert, nullptr);
    if (log_statements) AppendSqlLog(insert.Text());
  }
  return 0;
}

}  // namespace zelvar::updates
