// Command 1550: a batch of invitation records, each row inserted on its
// own, optionally written to the SQL log.

#include <algorithm>
#include <cstdint>
#include <string>

#include "codec/keys.h"
#include "codec/requests.h"
#include "db/runner.h"
#include "db/sql.h"
#include "updates/commands.h"
#include "updates/statements.h"
#include "updates/sql_log.h"
#include "util/time_text.h"

namespace zelvar::updates {
namespace {

using db::Sql;
using db::SqlValue;

}  // namespace

int StoreInvitations(int user_id, int data_id, CKParam& packet) {
  if (data_id != codec::kStoreInvitations) return -1;

  // Every row of one request shares one time.
  const std::string now = NowText();

  int row_count = 0;
  if (packet.GetInt(codec::kInvitationCountKey, row_count) != 0) return -1;
  // Rows past the last distinct set of keys would repeat earlier rows.
  row_count = std::min(row_count, codec::kMaxInvitationRows);

  bool log_statements = false;
  if (packet.GetBoolean(codec::kInvitationLogKey, log_statements) != 0) log_statements = false;

  for (int row = 1; row <= row_count; ++row) {
    codec::Invitation invitation;
    if (!codec::ReadInvitation(packet, row, &invitation)) continue;
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
