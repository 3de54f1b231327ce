// The cases of GetQueryExtraDataFriendRecord: account lookup (1660) and
// goods sending (1560).
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "codec/keys.h"
#include "codec/requests.h"
#include "goods/grants.h"
#include "goods/speak_entry.h"
#include "request_cases.h"
#include "util/text.h"
#include "util/time_text.h"

namespace zelvar::bench {
namespace {

namespace w = world;

Request AccountLookup() {
  Request r;
  r.name = "1660";
  const auto request = [] { return codec::AccountRequest(ToWide(w::UserName(w::kLookedUp))); };
  r.ours = [request] {
    return [request](std::string* digest) {
      CKParam p = request();
      return AskRecord(codec::kAccountLookup, Image(p), digest);
    };
  };
  r.limit = [request](RawDb& db) -> Step {
    RawStatement* query =
        db.Prepare("SELECT nId, sNick, nSex, nLevel FROM tblUser WHERE (sUsername = ?)");
    return [query, request](std::string* digest) {
      CKParam p = request();
      CKParam packet;
      Load(packet, p);
      CString name;
      if (packet.GetCString(codec::kLookupNameKey, name) != 0) return false;
      CKParam reply;
      reply.SetInt(codec::kRecordDataIdKey, codec::kAccountLookup);
      query->BindText(1, name);
      if (!query->Execute() || !query->Next()) return false;
      reply.SetInt(codec::kAccountIdKey, query->Int(0));
      reply.SetCString(codec::kAccountNickKey, query->Text(1));
      reply.SetInt(codec::kAccountSexKey, query->Int(2));
      reply.SetInt(codec::kAccountLevelKey, query->Int(3));
      query->Done();
      reply.SetInt(codec::kRecordResultKey, 0);
      HandOverAndRead(reply, digest);
      return true;
    };
  };
  return r;
}

// With `ordered`, each request carries an order id of its own.
CKParam GoodsRequest(bool ordered) {
  static std::atomic<int64_t> orders{0};
  const std::u16string order_id = ordered ? u"bench-" + ToWide(std::to_string(++orders)) : u"";
  return codec::SendGoodsRequest(ToWide(w::UserName(w::kReceiver)),
                                 {{501, codec::kSevenDays, 100, 1, 2},   // time-limited goods
                                  {601, codec::kOneCount, 3100, 3, 4}},  // quota goods, one
                                 order_id);
}

// The statements of the goods grants, prepared once.
struct GoodsStatements {
  explicit GoodsStatements(RawDb& db)
      : account(db.Prepare("SELECT nId FROM tblUser WHERE sUsername = ?")),
        newest(db.Prepare("SELECT * FROM tblUserGoods WHERE (nUserId = ?) AND (nGoodsId = ?) "
                          "order by nid desc")),
        extend(db.Prepare("UPDATE tblUserGoods set tDueTime = ? where (nUserId = ? and "
                          "ngoodsid = ? and nId = ?)")),
        live(db.Prepare("SELECT nId, nType,nBuyDay FROM tblUserGoods WHERE (tDueTime > ?) AND "
                        "(nUserId = ?) AND (nType >= 3000) AND (nType < 4000)")),
        buy_day(db.Prepare("UPDATE tblUserGoods SET nBuyDay = ? WHERE (nId = ?)")),
        face(db.Prepare("select sFacePic from tblUser where nId = ?")),
        set_face(db.Prepare("Update tblUser set sFacePic = ? where nid = ?")),
        order(db.Prepare("SELECT nEntry, nUserId, nAmount1, nAmount2 FROM tblGoodsOrder WHERE "
                         "sOrderId = ?")),
        claim(db.Prepare("SELECT nEntry, nUserId, nAmount1, nAmount2 FROM tblGoodsOrder WHERE "
                         "sOrderId = ? AND (nEntry = ? OR nUserId <> ?)")),
        record(db.Prepare("INSERT INTO tblGoodsOrder (sOrderId, nEntry, nUserId, nGoodsId, nType, "
                          "sAmount, nAmount1, nAmount2, tAddTime) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)")) {}

  RawStatement* account;
  RawStatement* newest;
  RawStatement* extend;
  RawStatement* live;
  RawStatement* buy_day;
  RawStatement* face;
  RawStatement* set_face;
  RawStatement* order;
  RawStatement* claim;
  RawStatement* record;
};

// The entries recorded under `order_id` (an empty order: none).
int Recorded(GoodsStatements& s, const std::u16string& order_id) {
  if (order_id.empty()) return 0;
  int count = 0;
  s.order->BindText(1, order_id);
  if (s.order->Execute()) {
    while (s.order->Next()) ++count;
  }
  s.order->Done();
  return count;
}

// Whether entry `entry` of `receiver` may be granted under `order_id`.
bool Claim(GoodsStatements& s, const std::u16string& order_id, int entry, int receiver) {
  if (order_id.empty()) return true;
  s.claim->BindText(1, order_id);
  s.claim->BindInt(2, entry);
  s.claim->BindInt(3, receiver);
  const bool free = s.claim->Execute() && !s.claim->Next();
  s.claim->Done();
  return free;
}

bool Record(GoodsStatements& s, const std::u16string& order_id, int entry, int receiver,
            const codec::GoodsEntry& goods) {
  if (order_id.empty()) return true;
  s.record->BindText(1, order_id);
  s.record->BindInt(2, entry);
  s.record->BindInt(3, receiver);
  s.record->BindInt(4, goods.goods_id);
  s.record->BindInt(5, goods.type);
  s.record->BindText(6, goods.amount);
  s.record->BindInt(7, goods.amount1);
  s.record->BindInt(8, goods.amount2);
  s.record->BindTime(9, NowText());
  const bool ok = s.record->Execute();
  s.record->Done();
  return ok;
}

// One quota goods of `type`: its count and the speak counter.
bool GrantQuota(GoodsStatements& s, int receiver, int type) {
  bool ok = false;
  // The live quota row exists (the module's warm-up made it).
  s.live->BindTime(1, NowText());
  s.live->BindInt(2, receiver);
  if (s.live->Execute() && s.live->Next()) {
    const int row = s.live->Int(0);
    s.live->Done();
    s.buy_day->BindInt(1, 1);
    s.buy_day->BindInt(2, row);
    ok = s.buy_day->Execute();
    s.buy_day->Done();
  } else {
    s.live->Done();
  }
  s.face->BindInt(1, receiver);
  std::u16string text;
  if (ok && s.face->Execute() && s.face->Next()) text = s.face->Text(0);
  s.face->Done();
  s.set_face->BindText(1, goods::RewriteSpeakEntry(text, type, 1));
  s.set_face->BindInt(2, receiver);
  ok = ok && s.set_face->Execute();
  s.set_face->Done();
  return ok;
}

// Seven more days of the goods' newest row.
bool GrantSevenDays(GoodsStatements& s, int receiver, int goods_id) {
  bool ok = false;
  s.newest->BindInt(1, receiver);
  s.newest->BindInt(2, goods_id);
  if (s.newest->Execute() && s.newest->Next()) {
    const int row = s.newest->Int(0);
    const int64_t due = s.newest->Seconds(5);
    s.newest->Done();
    const int64_t extended = due + 604800;
    s.extend->BindTime(1, extended > goods::kDueTimeCap ? std::string(goods::kPermanentDueTime)
                                                         : LocalTimeText(extended));
    s.extend->BindInt(2, receiver);
    s.extend->BindInt(3, goods_id);
    s.extend->BindInt(4, row);
    ok = s.extend->Execute();
    s.extend->Done();
  } else {
    s.newest->Done();
  }
  return ok;
}

Request SendGoods(bool ordered) {
  Request r;
  r.name = ordered ? "1560/entries:2/order" : "1560/entries:2";
  if (ordered) r.cleanup = "DELETE FROM tblGoodsOrder";
  r.ours = [ordered] {
    return [ordered](std::string* digest) {
      CKParam p = GoodsRequest(ordered);
      return AskRecord(codec::kGoodsSending, Image(p), digest);
    };
  };
  r.limit = [ordered](RawDb& db) -> Step {
    auto statements = std::make_shared<GoodsStatements>(db);
    return [statements, &db, ordered](std::string* digest) {
      GoodsStatements& s = *statements;
      CKParam p = GoodsRequest(ordered);
      CKParam packet;
      Load(packet, p);
      int entries = 0;
      CString name;
      if (packet.GetInt(codec::kSendCountKey, entries) != 0 ||
          packet.GetCString(codec::kSendAccountKey, name) != 0) {
        return false;
      }
      CString order_id;
      packet.GetCString(codec::kOrderIdKey, order_id);
      s.account->BindText(1, name);
      if (!s.account->Execute() || !s.account->Next()) return false;
      const int receiver = s.account->Int(0);
      s.account->Done();
      // A new order each time: the order is read once before the grants
      // and once after them, and every entry is claimed and recorded in
      // its grant's transaction.
      if (Recorded(s, order_id) != 0) return false;
      int granted = 0, first_sum = 0, second_sum = 0;
      for (int entry = 0; entry < entries; ++entry) {
        codec::GoodsEntry goods;
        if (!codec::ReadGoodsEntry(packet, entry, &goods)) continue;
        if (!db.Begin()) return false;
        const bool ok = Claim(s, order_id, entry, receiver) &&
                        (codec::IsQuotaType(goods.type)
                             ? GrantQuota(s, receiver, goods.type)
                             : GrantSevenDays(s, receiver, goods.goods_id)) &&
                        Record(s, order_id, entry, receiver, goods);
        if (!db.Commit() || !ok) continue;
        ++granted;
        first_sum += goods.amount1;
        second_sum += goods.amount2;
      }
      if (Recorded(s, order_id) != (order_id.empty() ? 0 : granted)) return false;
      CKParam reply;
      reply.SetInt(codec::kRecordDataIdKey, codec::kGoodsSending);
      reply.SetInt(codec::kGrantedKey, granted);
      reply.SetInt(codec::kFirstSumKey, first_sum);
      reply.SetInt(codec::kSecondSumKey, second_sum);
      if (ordered) reply.SetInt(codec::kOrderRepeatedKey, 0);
      reply.SetInt(codec::kRecordResultKey, 0);
      HandOverAndRead(reply, digest);
      return true;
    };
  };
  return r;
}

}  // namespace

std::vector<Request> RecordRequests() {
  std::vector<Request> requests;
  requests.push_back(AccountLookup());
  requests.push_back(SendGoods(false));
  requests.push_back(SendGoods(true));
  return requests;
}

}  // namespace zelvar::bench
