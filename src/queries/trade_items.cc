// Kind 1615: the whole catalogue of trade items, whoever asks. Item k (from
// 1) is one text at key -100k, a flat list of name,value; pairs; key -10
// closes with the number of items.

#include "codec/keys.h"
#include "codec/reply_packet.h"
#include "db/sql.h"
#include "queries/kinds.h"
#include "queries/reply.h"
#include "util/text.h"
#include "util/text_format.h"

namespace zelvar::queries {

namespace {

// Nothing in the values is escaped: a comma or semicolon in a name stands
// in the text as it is. The small image is the image name behind "small".
constexpr char16_t kItemFormat[] =
    u"id,%d;name,%s;desc,%s;pacificate,%d;image,%s;smallImage,small%s;x,%f;y,%f;";

// Positions are kept in single precision, so 0.1 prints as 0.100000.
double AsSingle(const db::Variant& value) {
  return static_cast<double>(static_cast<float>(value.Real()));
}

}  // namespace

int QueryTradeItems(int32_t user_id, char** reply, int* reply_length) {
  codec::ReplyPacket packet(codec::kTradeItemsKind);
  db::RecordsetHandle items;
  const db::Sql query(
      "SELECT  nId, sTradeName, sTradeDesc, nPacificate, sTradeImage, nHeadX, nHeadY FROM "
      "tblFriendTradeItem");
  if (db::QuerySql(query, items, nullptr) != 0) return -1;

  int32_t count = 0;
  ForEachCompleteRow(
      items,
      {"nId", "sTradeName", "sTradeDesc", "nPacificate", "sTradeImage", "nHeadX", "nHeadY"},
      [&](const std::vector<db::Variant>& field) {
        const std::u16string name = ThroughNarrow(TextOf(field[1]));
        const std::u16string desc = ThroughNarrow(TextOf(field[2]));
        const std::u16string image = ThroughNarrow(TextOf(field[4]));
        ++count;
        packet.SetText(codec::ItemKey(count),
                       FormatText(kItemFormat, {field[0].Int32(), name, desc, field[3].Int32(),
                                                image, image, AsSingle(field[5]),
                                                AsSingle(field[6])}));
      });
  packet.SetInt(codec::kItemCountKey, count);
  return codec::HandOut(packet, reply, reply_length);
}

}  // namespace zelvar::queries
