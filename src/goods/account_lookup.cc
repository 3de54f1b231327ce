// Request 1660 of GetQueryExtraDataFriendRecord: an account looked up by
// its user name. The reply carries each of the account's fields that could
// be read, and the outcome.

#include <string>

#include "codec/keys.h"
#include "db/recordset.h"
#include "db/runner.h"
#include "db/sql.h"
#include "db/variant.h"
#include "goods/record_request.h"

namespace zelvar::goods {
namespace {

// The account's fields as the log line shows them; a field not read keeps
// its starting value.
struct AccountFields {
  int id = 0;
  CString nick;
  int sex = 0;
  int level = 0;
  int read = 0;  // how many were read
};

// Reads the integer field `name` into `value` and the reply's `key`.
void ReadIntField(const db::RecordsetHandle& rows, const char* name, short key,
                  codec::ReplyPacket& packet, int* value, AccountFields* fields) {
  db::Variant field;
  if (db::AdoRstGetField(rows, name, &field) != 0) return;
  *value = field.Int32();
  packet.SetInt(key, *value);
  ++fields->read;
}

// Reads the current row's fields in their order, each on its own, and
// writes each one read into the reply at once; one that fails is left out.
AccountFields ReadAccount(const db::RecordsetHandle& rows, codec::ReplyPacket& packet) {
  AccountFields fields;
  ReadIntField(rows, "nId", codec::kAccountIdKey, packet, &fields.id, &fields);
  db::Variant nick_field;
  if (db::AdoRstGetField(rows, "sNick", &nick_field) == 0 && nick_field.ToText(&fields.nick)) {
    packet.SetText(codec::kAccountNickKey, fields.nick);
    ++fields.read;
  }
  ReadIntField(rows, "nSex", codec::kAccountSexKey, packet, &fields.sex, &fields);
  ReadIntField(rows, "nLevel", codec::kAccountLevelKey, packet, &fields.level, &fields);
  return fields;
}

}  // namespace

void LookUpAccount(CKParam& request, RecordReply& reply) {
  CString name;
  if (request.GetCString(codec::kLookupNameKey, name) != 0) {
    LogLine(u"帐号有问题 Account ：%s", {name});
    reply.Fail();
    return;
  }
  if (name.empty()) {
    LogLine(u"Account NULL ：%s", {name});
    reply.Fail();
    return;
  }

  const db::Sql query("SELECT nId, sNick, nSex, nLevel FROM tblUser WHERE (sUsername = '%s')",
                      {db::SqlValue::Text(name)});
  // A query that did not run leaves an empty record set: it reads as a
  // row whose every field fails.
  db::RecordsetHandle rows;
  db::QuerySql(query, rows, nullptr);
  if (db::AdoRstIsEOF(rows) != 0) {
    LogLine(u"找不到 Run SQL ：%s ", {query.Text()});
    reply.Fail();
    return;
  }
  const AccountFields fields = ReadAccount(rows, reply.packet());
  rows.reset();

  if (fields.read == 4) {
    LogLine(u"4 == result 正确发回来： id：%d  csNick：%s  sex：%d  level：%d",
            {fields.id, fields.nick, fields.sex, fields.level});
    reply.Succeed();
  } else {
    LogLine(u"4 != result 有问题： id：%d  csNick：%s  sex：%d  level：%d",
            {fields.id, fields.nick, fields.sex, fields.level});
    reply.Fail();
  }
}

}  // namespace zelvar::goods
