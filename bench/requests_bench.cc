// Every request through the exported functions, each beside its limit in
// the same run: the same statements prepared once on one open connection
// of the raw client API (sqlite3, ODBC), values bound, plus building and
// reading the request's packets as host and module do. Before a pair is
// timed, both answer once and their replies must agree.
//
// Names: <request>/<backend>/ours and <request>/<backend>/limit, where the
// request is its code and the work it carries (friends:100, trades:50,
// rows:10). PostgreSQL cases run when ZELVAR_TEST_PG_ADMIN names a server:
//
//   scripts/with-postgres build-bench/bench/requests_bench
//
// scripts/bench runs them all and prints the table. ZELVAR_BENCH_ITERATIONS
// fixes the iterations of every request case (for callgrind). Requests that change
// data leave the world as they found it: what they add is deleted every
// kCleanupEvery iterations outside the timed region, and where a request
// undoes its own precondition (1505 ends the friendship, 1620 marks the
// messages read) it is put back after every iteration and the request
// timed by itself (manual time).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "goods/grants.h"
#include "goods/speak_entry.h"
#include "util/text.h"
#include "util/time_text.h"
#include "zelvar/zelvar.h"

namespace zelvar::bench {
namespace {

namespace w = world;

constexpr int kCleanupEvery = 500;

// One request: how the module answers it and how its limit does, each as a
// callable made once per benchmark run. A callable answers false on
// failure; with `digest` it records the reply for the comparison.
using Step = std::function<bool(std::string* digest)>;

struct Request {
  std::string name;                       // "1610/friends:100"
  std::function<Step()> ours;             // through the exports
  std::function<Step(RawDb&)> limit;      // raw API on `db`
  std::string reset_each;                 // run after every iteration (manual time)
  std::string cleanup;                    // run every kCleanupEvery iterations
  // The rows come in no set order (no ORDER BY), so replies are compared
  // as sets of values.
  bool unordered = false;
};

// A digest's values without their keys, sorted.
std::string Unordered(const std::string& digest) {
  std::vector<std::string> values;
  size_t start = 0;
  while (start < digest.size()) {
    size_t end = digest.find(';', start);
    if (end == std::string::npos) end = digest.size();
    const std::string entry = digest.substr(start, end - start);
    values.push_back(entry.substr(entry.find(':') + 1));
    start = end + 1;
  }
  std::sort(values.begin(), values.end());
  std::string joined;
  for (const std::string& value : values) joined += value + ";";
  return joined;
}

// ------------------------------------------------------------ the host

// Calls GetUserExtraDataFriend and reads the reply as a host does.
bool AskQuery(int user, unsigned kind, std::string* digest, int skip_key = 0x10000) {
  char* reply = nullptr;
  int length = 0;
  if (GetUserExtraDataFriend(user, kind, &reply, &length) != 0) return false;
  ReadReply(reply, length, digest, skip_key);
  MyDeletePtr(reply);
  return true;
}

bool AskRecord(int data_id, const std::string& request, std::string* digest) {
  char* reply = nullptr;
  int length = 0;
  if (GetQueryExtraDataFriendRecord(1, data_id, const_cast<char*>(request.data()),
                                    static_cast<int>(request.size()), &reply, &length) != 0) {
    return false;
  }
  ReadReply(reply, length, digest);
  MyDeletePtr(reply);
  return true;
}

bool Put(int user, int data_id, CKParam& request, std::string* digest) {
  const int result = PutUserExtraDataFriend(user, data_id, request.GetBufferPtr(),
                                            request.GetLength());
  if (digest != nullptr) *digest = std::to_string(result);
  return result == 0;
}

// The handler's side of a request: the host's bytes loaded into a packet
// of its own.
void Load(CKParam& packet, CKParam& request) {
  packet.SetBufferPtr(request.GetBufferPtr(), request.GetLength());
}

// ------------------------------------------------------------ requests

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
  CKParam p;
  p.SetInt(1, 1500);
  p.SetInt(200, w::kRecipient);
  p.SetCString(201, u"Hello, friend! Shall we trade?");
  return p;
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
      if (packet.GetInt(1, command) != 0 || packet.GetInt(200, recipient) != 0 ||
          packet.GetCString(201, content) != 0) {
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
  const auto request = [] {
    CKParam p;
    p.SetInt(1, 1505);
    p.SetInt(100, w::kLeft);
    return p;
  };
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
      if (packet.GetInt(1, command) != 0 || packet.GetInt(100, former) != 0) return false;
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
  const auto request = [] {
    CKParam p;
    p.SetInt(1, 1510);
    p.SetInt(300, w::kRecipient);
    p.SetInt(301, 4242);
    return p;
  };
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
      if (packet.GetInt(1, command) != 0 || packet.GetInt(300, partner) != 0 ||
          packet.GetInt(301, play) != 0) {
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
  CKParam p;
  p.SetInt(1, 1550);
  p.SetInt(-100, rows);
  for (int row = 1; row <= rows; ++row) {
    const short base = static_cast<short>(row * 100);
    p.SetCString(static_cast<short>(base + 1), u"INV" + ToWide(std::to_string(100000 + row)));
    p.SetInt(static_cast<short>(base + 2), 1);
    p.SetCString(static_cast<short>(base + 3),
                 u"friend" + ToWide(std::to_string(row)) + u"@mail.example");
    p.SetInt(static_cast<short>(base + 4), 3);
    p.SetCString(static_cast<short>(base + 5), u"see you in game");
    p.SetInt(static_cast<short>(base + 6), 7);
    p.SetInt(static_cast<short>(base + 7), 0);
  }
  return p;
}

Request StoreInvitations(int rows) {
  Request r;
  r.name = "1550/rows:" + std::to_string(rows);
  r.ours = [rows] {
    return [rows](std::string* digest) {
      CKParam p = InvitationRequest(rows);
      return Put(w::kInviter, 1550, p, digest);
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
      if (packet.GetInt(1, command) != 0 || packet.GetInt(-100, count) != 0) return false;
      packet.GetBoolean(-300, log);
      const std::string now = NowText();
      for (int row = 1; row <= count; ++row) {
        const short base = static_cast<short>(row * 100);
        CString code, email, note;
        int state = 0, group = 0, zone = 0, reply = 0;
        if (packet.GetCString(static_cast<short>(base + 1), code) != 0 ||
            packet.GetInt(static_cast<short>(base + 2), state) != 0 ||
            packet.GetCString(static_cast<short>(base + 3), email) != 0 ||
            packet.GetInt(static_cast<short>(base + 4), group) != 0 ||
            packet.GetCString(static_cast<short>(base + 5), note) != 0 ||
            packet.GetInt(static_cast<short>(base + 6), zone) != 0 ||
            packet.GetInt(static_cast<short>(base + 7), reply) != 0) {
          continue;
        }
        insert->BindInt(1, w::kInviter);
        insert->BindInt(2, group);
        insert->BindText(3, code);
        insert->BindText(4, email);
        insert->BindInt(5, state);
        insert->BindTime(6, now);
        insert->BindInt(7, zone);
        insert->BindText(8, note);
        insert->BindInt(9, reply);
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

Request TradeHistory(int trades) {
  Request r;
  r.name = "1605/trades:" + std::to_string(trades);
  const int player = w::TradePlayer(trades);
  r.ours = [player] {
    return [player](std::string* digest) { return AskQuery(player, 1605, digest); };
  };
  r.limit = [player](RawDb& db) -> Step {
    RawStatement* query = db.Prepare(
        "SELECT nId, nPlayUserId, nPlayedUserId, nPlayId, tTime, tDuration FROM "
        "tblFriendTradeHistory WHERE (nPlayUserId = ?) OR (nPlayedUserId = ?) ORDER BY tTime "
        "DESC");
    return [query, player](std::string* digest) {
      CKParam reply;
      reply.SetInt(1, 1605);
      query->BindInt(1, player);
      query->BindInt(2, player);
      if (!query->Execute()) return false;
      int rows = 0;
      while (query->Next()) {
        ++rows;
        const int base = 100 * rows;
        const int id = query->Int(0);
        reply.SetInt(static_cast<short>(base), query->Int(1));
        reply.SetInt(static_cast<short>(base + 1), query->Int(2));
        reply.SetInt(static_cast<short>(base + 2), query->Int(3));
        reply.SetInt(static_cast<short>(base + 3), static_cast<int>(query->Seconds(4)));
        reply.SetInt(static_cast<short>(base + 4), id);
      }
      query->Done();
      reply.SetInt(10, rows == 0 ? -1 : rows);
      HandOverAndRead(reply, digest);
      return true;
    };
  };
  return r;
}

struct Profile {
  std::u16string nick;
  int sex = 0;
  std::u16string face;
  int logined = 0;
};

Request FriendList(int friends) {
  Request r;
  r.name = "1610/friends:" + std::to_string(friends);
  const int player = w::FriendPlayer(friends);
  r.ours = [player] {
    return [player](std::string* digest) { return AskQuery(player, 1610, digest, -9999); };
  };
  r.limit = [player](RawDb& db) -> Step {
    RawStatement* pass1 = db.Prepare(
        "SELECT nFriendId, nUserId FROM tblFriend WHERE (nUserId = ? OR nFriendId = ?)");
    RawStatement* pass2 =
        db.Prepare("SELECT sNick, nSex, sFacePic, bLogined FROM tblUser WHERE (nId = ?)");
    return [pass1, pass2, player](std::string* digest) {
      CKParam reply;
      reply.SetInt(1, 1610);
      pass1->BindInt(1, player);
      pass1->BindInt(2, player);
      if (!pass1->Execute()) return false;
      std::vector<int> ids;
      while (pass1->Next()) {
        const int friend_side = pass1->Int(0);
        const int user_side = pass1->Int(1);
        if (friend_side != player) {
          ids.push_back(friend_side);
        } else if (user_side != player) {
          ids.push_back(user_side);
        }
      }
      pass1->Done();
      int written = static_cast<int>(ids.size());
      for (size_t i = 0; i < ids.size(); ++i) {
        pass2->BindInt(1, ids[i]);
        if (!pass2->Execute() || !pass2->Next()) {
          pass2->Done();
          --written;
          continue;
        }
        const int base = -10 * static_cast<int>(i + 1) - 10001;
        reply.SetInt(static_cast<short>(base), ids[i]);
        reply.SetCString(static_cast<short>(base - 1), pass2->Text(0));
        reply.SetInt(static_cast<short>(base - 2), pass2->Int(1));
        reply.SetCString(static_cast<short>(base - 3), pass2->Text(2));
        reply.SetInt(static_cast<short>(base - 4), pass2->Int(3));
        pass2->Done();
      }
      reply.SetInt(-10000, written);
      reply.SetInt(-9999, static_cast<int>(std::time(nullptr)));
      HandOverAndRead(reply, digest, -9999);
      return true;
    };
  };
  return r;
}

std::u16string Decimal(int value) { return ToWide(std::to_string(value)); }

std::u16string Number(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return std::u16string(text, text + std::strlen(text));
}

Request TradeItems() {
  Request r;
  r.name = "1615/items:" + std::to_string(w::kTradeItems);
  r.ours = [] { return [](std::string* digest) { return AskQuery(1, 1615, digest); }; };
  r.limit = [](RawDb& db) -> Step {
    RawStatement* query = db.Prepare(
        "SELECT  nId, sTradeName, sTradeDesc, nPacificate, sTradeImage, nHeadX, nHeadY FROM "
        "tblFriendTradeItem");
    return [query](std::string* digest) {
      CKParam reply;
      reply.SetInt(1, 1615);
      if (!query->Execute()) return false;
      int count = 0;
      std::u16string text;
      while (query->Next()) {
        ++count;
        const std::u16string image = query->Text(4);
        text.clear();
        text += u"id," + Decimal(query->Int(0)) + u";name," + query->Text(1) + u";desc," +
                query->Text(2) + u";pacificate," + Decimal(query->Int(3)) + u";image," +
                image + u";smallImage,small" + image + u";x," +
                Number("%f", static_cast<float>(query->Real(5))) + u";y," +
                Number("%f", static_cast<float>(query->Real(6))) + u";";
        reply.SetCString(static_cast<short>(-100 * count), text);
      }
      query->Done();
      reply.SetInt(-10, count);
      HandOverAndRead(reply, digest);
      return true;
    };
  };
  return r;
}

Request UnreadMessages() {
  Request r;
  r.name = "1620/messages:" + std::to_string(w::kUnreadMessages);
  r.ours = [] {
    return [](std::string* digest) { return AskQuery(w::kReader, 1620, digest); };
  };
  r.limit = [](RawDb& db) -> Step {
    RawStatement* select = db.Prepare(
        "SELECT nId, nFromUserId, sContent, tAddTime FROM tblUserMsg WHERE (nRead = 0) AND "
        "(nUserId = ?) ");
    RawStatement* mark =
        db.Prepare("update tblUserMsg set nRead = 1 WHERE (nRead = 0) AND (nUserId = ?)");
    return [&db, select, mark](std::string* digest) {
      if (!db.Begin()) return false;
      CKParam reply;
      reply.SetInt(1, 1620);
      select->BindInt(1, w::kReader);
      if (!select->Execute()) return false;
      int count = 0;
      while (select->Next()) {
        ++count;
        const int base = 10000 + 100 * count;
        const int id = select->Int(0);
        const int from = select->Int(1);
        const std::u16string content = select->Text(2);
        const int seconds = static_cast<int>(select->Seconds(3));
        reply.SetInt(static_cast<short>(base + 1), id);
        reply.SetInt(static_cast<short>(base + 2), from);
        reply.SetCString(static_cast<short>(base + 3), content);
        reply.SetInt(static_cast<short>(base + 4), seconds);
      }
      select->Done();
      reply.SetInt(10000, count);
      // The image is taken before the mark-read, as the handler does.
      const int length = reply.GetLength();
      std::unique_ptr<char[]> image(new char[length]);
      std::memcpy(image.get(), reply.GetBufferPtr(), static_cast<size_t>(length));
      mark->BindInt(1, w::kReader);
      const bool marked = mark->Execute();
      mark->Done();
      if (!db.Commit() || !marked) return false;
      char* bytes = image.release();
      ReadReply(bytes, length, digest);
      MyDeletePtr(bytes);
      return true;
    };
  };
  r.reset_each = "UPDATE tblUserMsg SET nRead = 0 WHERE nUserId = " + std::to_string(w::kReader);
  r.unordered = true;
  return r;
}

Request AccountLookup() {
  Request r;
  r.name = "1660";
  const auto request = [] {
    CKParam p;
    p.SetCString(100, ToWide(w::UserName(w::kLookedUp)));
    return p;
  };
  r.ours = [request] {
    return [request](std::string* digest) {
      CKParam p = request();
      return AskRecord(1660, Image(p), digest);
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
      if (packet.GetCString(100, name) != 0) return false;
      CKParam reply;
      reply.SetInt(21, 1660);
      query->BindText(1, name);
      if (!query->Execute() || !query->Next()) return false;
      reply.SetInt(50, query->Int(0));
      reply.SetCString(100, query->Text(1));
      reply.SetInt(200, query->Int(2));
      reply.SetInt(300, query->Int(3));
      query->Done();
      reply.SetInt(0, 0);
      HandOverAndRead(reply, digest);
      return true;
    };
  };
  return r;
}

CKParam GoodsRequest() {
  CKParam p;
  p.SetInt(100, 2);
  p.SetCString(110, ToWide(w::UserName(w::kReceiver)));
  p.SetInt(10010, 501);  // time-limited goods, seven days
  p.SetCString(10020, u"7天");
  p.SetInt(10030, 100);
  p.SetInt(10040, 1);
  p.SetInt(10050, 2);
  p.SetInt(20010, 601);  // quota goods, one
  p.SetCString(20020, u"1个");
  p.SetInt(20030, 3100);
  p.SetInt(20040, 3);
  p.SetInt(20050, 4);
  return p;
}

Request SendGoods() {
  Request r;
  r.name = "1560/entries:2";
  r.ours = [] {
    return [](std::string* digest) {
      CKParam p = GoodsRequest();
      return AskRecord(1560, Image(p), digest);
    };
  };
  r.limit = [](RawDb& db) -> Step {
    RawStatement* account = db.Prepare("SELECT nId FROM tblUser WHERE sUsername = ?");
    RawStatement* newest = db.Prepare(
        "SELECT * FROM tblUserGoods WHERE (nUserId = ?) AND (nGoodsId = ?) order by nid desc");
    RawStatement* extend = db.Prepare(
        "UPDATE tblUserGoods set tDueTime = ? where (nUserId = ? and ngoodsid = ? and nId = ?)");
    RawStatement* live = db.Prepare(
        "SELECT nId, nType,nBuyDay FROM tblUserGoods WHERE (tDueTime > ?) AND (nUserId = ?) AND "
        "(nType >= 3000) AND (nType < 4000)");
    RawStatement* buy_day = db.Prepare("UPDATE tblUserGoods SET nBuyDay = ? WHERE (nId = ?)");
    RawStatement* face = db.Prepare("select sFacePic from tblUser where nId = ?");
    RawStatement* set_face = db.Prepare("Update tblUser set sFacePic = ? where nid = ?");
    return [=, &db](std::string* digest) {
      CKParam p = GoodsRequest();
      CKParam packet;
      Load(packet, p);
      int entries = 0;
      CString name;
      if (packet.GetInt(100, entries) != 0 || packet.GetCString(110, name) != 0) return false;
      account->BindText(1, name);
      if (!account->Execute() || !account->Next()) return false;
      const int receiver = account->Int(0);
      account->Done();
      int granted = 0, first_sum = 0, second_sum = 0;
      for (int entry = 0; entry < entries; ++entry) {
        const auto key = [entry](int base) { return static_cast<short>(base + 10000 * entry); };
        int goods = 0, type = 0, first = 0, second = 0;
        CString amount;
        if (packet.GetInt(key(10010), goods) != 0 || packet.GetCString(key(10020), amount) != 0 ||
            packet.GetInt(key(10030), type) != 0 || packet.GetInt(key(10040), first) != 0 ||
            packet.GetInt(key(10050), second) != 0) {
          continue;
        }
        if (!db.Begin()) return false;
        bool ok = false;
        if (type >= 3000 && type <= 3999) {
          // The live quota row exists (the module's warm-up made it).
          live->BindTime(1, NowText());
          live->BindInt(2, receiver);
          if (live->Execute() && live->Next()) {
            const int row = live->Int(0);
            live->Done();
            buy_day->BindInt(1, 1);
            buy_day->BindInt(2, row);
            ok = buy_day->Execute();
            buy_day->Done();
          } else {
            live->Done();
          }
          face->BindInt(1, receiver);
          std::u16string text;
          if (ok && face->Execute() && face->Next()) text = face->Text(0);
          face->Done();
          set_face->BindText(1, goods::RewriteSpeakEntry(text, type, 1));
          set_face->BindInt(2, receiver);
          ok = ok && set_face->Execute();
          set_face->Done();
        } else {
          newest->BindInt(1, receiver);
          newest->BindInt(2, goods);
          if (newest->Execute() && newest->Next()) {
            const int row = newest->Int(0);
            const int64_t due = newest->Seconds(5);
            newest->Done();
            const int64_t extended = due + 604800;
            extend->BindTime(1, extended > goods::kDueTimeCap ? std::string(goods::kPermanentDueTime)
                                                               : LocalTimeText(extended));
            extend->BindInt(2, receiver);
            extend->BindInt(3, goods);
            extend->BindInt(4, row);
            ok = extend->Execute();
            extend->Done();
          } else {
            newest->Done();
          }
        }
        if (!db.Commit() || !ok) continue;
        ++granted;
        first_sum += first;
        second_sum += second;
      }
      CKParam reply;
      reply.SetInt(21, 1560);
      reply.SetInt(100, granted);
      reply.SetInt(200, first_sum);
      reply.SetInt(300, second_sum);
      reply.SetInt(0, 0);
      HandOverAndRead(reply, digest);
      return true;
    };
  };
  return r;
}

// ------------------------------------------------------------ running

using Clock = std::chrono::steady_clock;

bool Prepare(benchmark::State& state, Backend backend, World** world) {
  std::string why;
  *world = World::Get(backend, &why);
  if (*world == nullptr) {
    state.SkipWithError(why.c_str());
    return false;
  }
  if (!UseWorld(*world)) {
    state.SkipWithError("the module can't open the world");
    return false;
  }
  return true;
}

void Run(benchmark::State& state, Step step, World* world, const Request& request) {
  const bool manual = !request.reset_each.empty();
  int64_t since_cleanup = 0;
  for (auto _ : state) {
    if (manual) {
      const auto start = Clock::now();
      const bool ok = step(nullptr);
      const auto end = Clock::now();
      state.SetIterationTime(std::chrono::duration<double>(end - start).count());
      world->Exec(request.reset_each);
      if (!ok) {
        state.SkipWithError("the request failed");
        break;
      }
      continue;
    }
    if (!step(nullptr)) {
      state.SkipWithError("the request failed");
      break;
    }
    if (!request.cleanup.empty() && ++since_cleanup == kCleanupEvery) {
      state.PauseTiming();
      world->Exec(request.cleanup);
      since_cleanup = 0;
      state.ResumeTiming();
    }
  }
  if (!request.cleanup.empty()) world->Exec(request.cleanup);
}

void RunOurs(benchmark::State& state, Backend backend, const Request& request) {
  World* world = nullptr;
  if (!Prepare(state, backend, &world)) return;
  Run(state, request.ours(), world, request);
}

void RunLimit(benchmark::State& state, Backend backend, const Request& request) {
  World* world = nullptr;
  if (!Prepare(state, backend, &world)) return;
  std::unique_ptr<RawDb> db = RawDb::Open(backend, world);
  if (db == nullptr) {
    state.SkipWithError("no raw connection");
    return;
  }
  Step limit = request.limit(*db);
  // Both answer once, from the same state, before anything is timed.
  std::string ours_digest, limit_digest;
  if (!request.ours()(&ours_digest)) {
    state.SkipWithError("the module's request failed");
    return;
  }
  if (!request.reset_each.empty()) world->Exec(request.reset_each);
  if (!limit(&limit_digest)) {
    state.SkipWithError("the limit's statements failed");
    return;
  }
  if (!request.reset_each.empty()) world->Exec(request.reset_each);
  if (request.unordered) {
    ours_digest = Unordered(ours_digest);
    limit_digest = Unordered(limit_digest);
  }
  if (ours_digest != limit_digest) {
    std::fprintf(stderr, "%s: ours %s\nlimit %s\n", request.name.c_str(),
                 ours_digest.substr(0, 400).c_str(), limit_digest.substr(0, 400).c_str());
    state.SkipWithError("the module and the limit answer differently");
    return;
  }
  Run(state, limit, world, request);
}

std::vector<Request> AllRequests() {
  std::vector<Request> requests;
  requests.push_back(SendMessage());
  requests.push_back(EndFriendship());
  requests.push_back(RecordTrade());
  for (int rows : {1, 10, 50}) requests.push_back(StoreInvitations(rows));
  for (int trades : {5, 50, 500}) requests.push_back(TradeHistory(trades));
  for (int friends : {1, 10, 100, 1000}) requests.push_back(FriendList(friends));
  requests.push_back(TradeItems());
  requests.push_back(UnreadMessages());
  requests.push_back(AccountLookup());
  requests.push_back(SendGoods());
  return requests;
}

// ------------------------------------------------ threads and packets

// A mix of reads, each thread for players of its own.
void Threads(benchmark::State& state, Backend backend) {
  World* world = nullptr;
  if (!Prepare(state, backend, &world)) return;
  CKParam lookup;
  lookup.SetCString(100, ToWide(w::UserName(w::kLookedUp + state.thread_index())));
  const std::string lookup_image = Image(lookup);
  const int player = w::kThreadPlayers + state.thread_index();
  int turn = 0;
  for (auto _ : state) {
    bool ok = false;
    switch (turn++ % 3) {
      case 0:
        ok = AskQuery(player, 1610, nullptr);
        break;
      case 1:
        ok = AskQuery(w::TradePlayer(5), 1605, nullptr);
        break;
      default:
        ok = AskRecord(1660, lookup_image, nullptr);
        break;
    }
    if (!ok) {
      state.SkipWithError("a request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

constexpr int kReplyRecords = 5000;

void ReplyBuild(benchmark::State& state) {
  for (auto _ : state) {
    CKParam reply;
    for (int key = 0; key < kReplyRecords; ++key) reply.SetInt(static_cast<short>(key), key);
    benchmark::DoNotOptimize(reply.GetLength());
  }
}

void ReplyReadAllKeys(benchmark::State& state) {
  CKParam sender;
  for (int key = 0; key < kReplyRecords; ++key) sender.SetInt(static_cast<short>(key), key);
  const std::string image = Image(sender);
  for (auto _ : state) {
    CKParam host;
    host.SetBufferPtr(const_cast<char*>(image.data()), static_cast<int>(image.size()));
    long long sum = 0;
    for (int key = 0; key < kReplyRecords; ++key) {
      int value = 0;
      host.GetInt(static_cast<short>(key), value);
      sum += value;
    }
    benchmark::DoNotOptimize(sum);
  }
}

int Register() {
  // A fixed count of iterations for every request case, for profilers that
  // count instructions per call (callgrind).
  const char* fixed = std::getenv("ZELVAR_BENCH_ITERATIONS");
  const int64_t iterations = fixed != nullptr ? std::atoll(fixed) : 0;
  for (Backend backend : {Backend::kSqlite, Backend::kPostgres}) {
    for (const Request& request : AllRequests()) {
      const std::string prefix = request.name + "/" + BackendName(backend);
      for (bool ours : {true, false}) {
        auto* b = benchmark::RegisterBenchmark(
            (prefix + (ours ? "/ours" : "/limit")).c_str(),
            [backend, request, ours](benchmark::State& state) {
              ours ? RunOurs(state, backend, request) : RunLimit(state, backend, request);
            });
        b->Unit(benchmark::kMicrosecond);
        if (iterations > 0) b->Iterations(iterations);
        if (!request.reset_each.empty()) {
          b->UseManualTime();
        } else {
          b->UseRealTime();
        }
      }
    }
    benchmark::RegisterBenchmark(
        (std::string("threads/") + BackendName(backend)).c_str(),
        [backend](benchmark::State& state) { Threads(state, backend); })
        ->Threads(1)
        ->Threads(4)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
  benchmark::RegisterBenchmark("packet/records:5000/build", ReplyBuild)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("packet/records:5000/read", ReplyReadAllKeys)
      ->Unit(benchmark::kMicrosecond);
  return 0;
}

const int registered = Register();

}  // namespace
}  // namespace zelvar::bench
