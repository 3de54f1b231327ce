// The demo world's data and its loading.
#include "tools/zelvar/demo_world.h"

#include <algorithm>
#include <charconv>
#include <set>
#include <utility>
#include <vector>

#include "db/runner.h"
#include "db/sql.h"
#include "db/transaction.h"
#include "goods/grants.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

using db::RecordsetHandle;
using db::Sql;
using db::SqlValue;

constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 24 * kHour;

struct Player {
  const char* user_name;
  const char* nick;
  int sex;  // 1 male, 0 female
  int level;
};

// The first one is the demo's hero; her friends come next.
constexpr Player kPlayers[] = {
    {"lina", "琳娜", 0, 42},     {"mira", "Mira", 0, 37},     {"kai", "凯", 1, 51},
    {"bochen", "陈博", 1, 29},   {"yue", "月儿", 0, 33},      {"ayla", "Ayla", 0, 45},
    {"haoran", "浩然", 1, 40},   {"nadia", "Nadia", 0, 60},   {"xiaolong", "小龙", 1, 58},
    {"tomas", "Tomás", 1, 18},   {"jun", "小军", 1, 22},      {"sakura", "小樱", 0, 27},
    {"ivan", "Ivan", 1, 35},     {"meimei", "美美", 0, 19},   {"oskar", "Oskar", 1, 44},
    {"elena", "Elena", 0, 31},   {"wei", "伟", 1, 24},        {"zara", "Zara", 0, 49},
    {"feng", "风", 1, 38},       {"lucia", "Lucía", 0, 26},   {"tiantian", "甜甜", 0, 21},
    {"marco", "Marco", 1, 53},   {"qingqing", "青青", 0, 34}, {"ravi", "Ravi", 1, 30},
    {"lan", "兰", 0, 47},        {"noah", "Noah", 1, 16},     {"shanshan", "珊珊", 0, 39},
    {"felix", "Felix", 1, 28},   {"ming", "明", 1, 55},       {"ines", "Inês", 0, 23},
    {"jiajia", "佳佳", 0, 36},   {"leo", "Leo", 1, 41},       {"rui", "瑞", 1, 20},
    {"hana", "Hana", 0, 32},     {"dagang", "大刚", 1, 46},   {"yuki", "Yuki", 0, 25},
};
constexpr int kPlayerCount = sizeof(kPlayers) / sizeof(kPlayers[0]);

// Face texts: the client's face, hair and frame pieces; some players
// already carry speak counters from earlier quota goods.
std::string FaceOf(int p) {
  std::string face = "Face:" + std::to_string(1 + (p * 7) % 24) + ";Hair:" + std::to_string(1 + (p * 5) % 12) + ";";
  if (p % 4 == 0) face += "Frame:" + std::to_string(1 + p % 7) + ";";
  if (p == 0) face += "Speak:0,2,0,0,0,0,0,0,0,0;";
  if (p % 9 == 4) face += "Speak:1,0,0,0,0,0,0,0,0,0;";
  return face;
}

bool OnlineAt(int p) { return p % 3 != 2; }

// Friendships by player index; a few are stored the other way round, as
// the game writes whichever side asked. The first eight are the hero's, and
// each player p from 1 on is a friend of p + 1.
std::vector<std::pair<int, int>> Friendships() {
  std::vector<std::pair<int, int>> pairs;
  std::set<std::pair<int, int>> seen;
  auto add = [&](int a, int b) {
    if (a == b || seen.count({std::min(a, b), std::max(a, b)}) != 0) return;
    seen.insert({std::min(a, b), std::max(a, b)});
    pairs.emplace_back(a, b);
  };
  for (int f = 1; f <= 8; ++f) f % 3 == 0 ? add(f, 0) : add(0, f);
  for (int p = 1; p < kPlayerCount; ++p) {
    add(p, 1 + p % (kPlayerCount - 1));
    if (p % 2 == 0) add(p, 1 + (p + 6) % (kPlayerCount - 1));
    if (p % 5 == 0) add(p, 1 + (p * 3) % (kPlayerCount - 1));
  }
  return pairs;
}

struct Item {
  const char* name;
  const char* description;
  int pacificate;
  const char* image;
  double x, y;
};

constexpr Item kItems[] = {
    {"玫瑰", "一朵红玫瑰，送给最好的朋友", 10, "rose.png", 12.5, -4},
    {"巧克力", "甜蜜的手工巧克力", 15, "chocolate.png", 8, 6},
    {"Teddy bear", "A soft bear that waits by the door", 30, "teddy.png", 0, 14.5},
    {"烟花", "点亮整个主城的夜空", 50, "fireworks.png", -20, 32},
    {"Diamond ring", "For the one who always heals you", 200, "ring.png", 3.25, 1.5},
    {"香槟", "庆祝胜利的香槟", 40, "champagne.png", 6, -2},
    {"幸运星", "折了九十九颗星星", 20, "star.png", 0, 0},
    {"Coffee", "Stay awake for the night raid", 5, "coffee.png", 4, 4},
    {"气球", "一串彩色气球", 8, "balloons.png", -6, 18},
    {"生日蛋糕", "三层奶油蛋糕", 60, "cake.png", 0, 8},
    {"Cat ears", "Headwear, purely decorative", 25, "cat_ears.png", 0, 22.75},
    {"纸飞机", "写着悄悄话的纸飞机", 3, "plane.png", 10, 10},
};

struct Letter {
  int to, from;
  const char* content;
  int64_t hours_ago;
  bool read;
};

constexpr Letter kLetters[] = {
    {0, 1, "今晚八点一起打副本吗？", 2, false},
    {0, 2, "Thanks for the rose! 🌹", 5, false},
    {0, 4, "你的新发型好看～", 9, false},
    {0, 8, "帮我留一个公会的位置", 26, false},
    {0, 3, "上周的交易谢啦", 200, true},
    {0, 5, "See you at the arena", 320, true},
    {1, 0, "好呀，八点见", 1, false},
    {2, 3, "Can you lend me your bow?", 3, false},
    {3, 4, "明天组队刷材料", 7, false},
    {5, 4, "生日快乐！", 12, false},
    {5, 6, "Good game yesterday", 15, false},
    {7, 6, "你在哪个服？", 20, false},
    {7, 8, "Guild meeting on Friday", 30, false},
    {9, 10, "我把装备寄给你了", 33, false},
    {13, 12, "Trade again tomorrow?", 40, false},
    {14, 15, "新地图开了，去看看", 44, false},
    {18, 17, "Welcome to the server!", 50, false},
    {20, 21, "谢谢你的蛋糕", 60, false},
    {22, 23, "Let's duo the tower", 70, true},
    {31, 30, "周末见", 80, false},
};

struct Goods {
  int owner;
  int goods_id;
  int type;
  int64_t due_in;    // from now; ignored when due_text is set
  const char* due_text;
  int buy_day;
  int using_it;
};

// The due times the module writes for permanent goods and quota rows.
constexpr const char* kPermanent = goods::kPermanentDueTime;
constexpr const char* kQuotaDue = goods::kQuotaDueTime;

constexpr Goods kGoods[] = {
    {0, 1001, 1, 20 * kDay, nullptr, 0, 1},
    {0, 2002, 2, 0, kPermanent, 0, 0},
    {0, 3150, 3150, 0, kQuotaDue, 2, 0},
    {1, 1001, 1, 3 * kDay, nullptr, 0, 1},
    {1, 1004, 1, 25 * kDay, nullptr, 0, 0},
    {2, 1003, 1, -2 * kDay, nullptr, 0, 0},
    {4, 3100, 3100, 0, kQuotaDue, 1, 0},
    {5, 2002, 2, 0, kPermanent, 0, 1},
    {7, 1002, 1, 6 * kDay, nullptr, 0, 1},
    {8, 1001, 1, 12 * kDay, nullptr, 0, 0},
    {13, 3100, 3100, 0, kQuotaDue, 1, 0},
    {20, 1005, 1, 29 * kDay, nullptr, 0, 1},
};

struct Invitation {
  int from;
  const char* code;
  const char* email;
  int state, group, zone, reply;
  const char* note;
};

constexpr Invitation kInvitations[] = {
    {0, "LINA-7Q2M", "wen.li@example.com", 1, 1, 3, 1, "大学室友"},
    {0, "LINA-K8PX", "sam@example.org", 0, 1, 3, 0, "from the forum"},
    {7, "NADIA-42", "omar@example.net", 0, 2, 1, 0, "缺失remark"},
};

const char kHeadColor[] = "L:0;S:0;R:0;G:0;B:0";

// The statements of one load, on one transaction. Each Insert* adds one
// kind of row and counts it in `summary`; false with `error` set when a
// statement fails.
class DemoLoad {
 public:
  DemoLoad(db::Transaction& transaction, int64_t now, DemoSummary* summary)
      : transaction_(transaction), now_(now), summary_(summary) {}

  bool InsertPlayers();
  bool InsertFriendships();
  bool InsertTrades();
  bool InsertItems();
  bool InsertLetters();
  bool InsertGoods();
  bool InsertInvitations();

  const std::string& error() const { return error_; }

 private:
  bool Run(std::string format, std::vector<SqlValue> values) {
    std::u16string reason;
    if (transaction_.Execute(Sql(std::move(format), std::move(values)), &reason) == 0) return true;
    error_ = ToNarrow(reason);
    return false;
  }
  SqlValue Id(int player) const { return SqlValue::Integer(ids_[player]); }
  static SqlValue Time(int64_t seconds) { return SqlValue::DateTime(LocalTimeText(seconds)); }

  db::Transaction& transaction_;
  const int64_t now_;
  DemoSummary* summary_;
  std::vector<int64_t> ids_;
  std::vector<std::pair<int, int>> friendships_;
  std::string error_;
};

SqlValue Text(const char* utf8) { return SqlValue::Text(ToWide(utf8)); }

// A number written into a statement: the demo's own constants, shortest
// form that reads back the same.
std::string Literal(double value) {
  char digits[32];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return std::string(digits, end);
}

bool DemoLoad::InsertPlayers() {
  for (int p = 0; p < kPlayerCount; ++p) {
    const Player& player = kPlayers[p];
    // A boolean as '1' or '0', which every server's boolean or bit column
    // takes.
    const std::string online = OnlineAt(p) ? "'1'" : "'0'";
    if (!Run("INSERT INTO tblUser (sUsername, sNick, nSex, sFacePic, bLogined, nLevel) VALUES ('%s', '%s', %d, '%s', " +
                 online + ", %d)",
             {Text(player.user_name), Text(player.nick), SqlValue::Integer(player.sex), Text(FaceOf(p).c_str()),
              SqlValue::Integer(player.level)})) {
      return false;
    }
    RecordsetHandle row;
    std::u16string reason;
    if (transaction_.Query(Sql("SELECT nId FROM tblUser WHERE sUsername = '%s'", {Text(player.user_name)}), row,
                           &reason) != 0) {
      error_ = ToNarrow(reason);
      return false;
    }
    db::Variant id;
    if (row->IsEOF() || !row->GetFieldAt(0, &id) || !id.RowId()) {
      error_ = "the player '" + std::string(player.user_name) + "' did not read back after its insert";
      return false;
    }
    ids_.push_back(*id.RowId());
  }
  summary_->players = kPlayerCount;
  return true;
}

bool DemoLoad::InsertFriendships() {
  friendships_ = Friendships();
  for (const auto& [a, b] : friendships_) {
    if (!Run("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (%d, %d)", {Id(a), Id(b)})) return false;
  }
  summary_->friendships = static_cast<int>(friendships_.size());
  return true;
}

// Trades between friends over the last weeks, the hero's among them.
bool DemoLoad::InsertTrades() {
  for (size_t t = 0; t < 40; ++t) {
    const auto& [a, b] = friendships_[t < 8 ? t : (t * 7) % friendships_.size()];
    const bool reverse = t % 3 == 1;
    const int64_t when = now_ - static_cast<int64_t>(t * 17 + 3) * kHour - static_cast<int64_t>(t) * 61;
    if (!Run("INSERT INTO tblFriendTradeHistory (nPlayUserId, nPlayedUserId, nPlayId, tTime, tDuration) VALUES (%d, %d, %d, '%s', %d)",
             {Id(reverse ? b : a), Id(reverse ? a : b), SqlValue::Integer(static_cast<int64_t>(1 + (t * 5) % 12)),
              Time(when), SqlValue::Integer(10)})) {
      return false;
    }
    ++summary_->trades;
  }
  return true;
}

bool DemoLoad::InsertItems() {
  for (const Item& item : kItems) {
    if (!Run("INSERT INTO tblFriendTradeItem (sTradeName, sTradeDesc, nPacificate, sTradeImage, nHeadX, nHeadY) VALUES ('%s', '%s', %d, '%s', " +
                 Literal(item.x) + ", " + Literal(item.y) + ")",
             {Text(item.name), Text(item.description), SqlValue::Integer(item.pacificate), Text(item.image)})) {
      return false;
    }
    ++summary_->items;
  }
  return true;
}

bool DemoLoad::InsertLetters() {
  for (const Letter& letter : kLetters) {
    if (!Run("INSERT INTO tblUserMsg (nUserId, sContent, tAddTime, nRead, nFromUserId, nAll) VALUES (%d, '%s', '%s', %d, %d, 0)",
             {Id(letter.to), Text(letter.content), Time(now_ - letter.hours_ago * kHour),
              SqlValue::Integer(letter.read ? 1 : 0), Id(letter.from)})) {
      return false;
    }
    ++summary_->messages;
    if (!letter.read) ++summary_->unread;
  }
  return true;
}

bool DemoLoad::InsertGoods() {
  for (const Goods& goods : kGoods) {
    const SqlValue due = goods.due_text != nullptr ? SqlValue::DateTime(goods.due_text) : Time(now_ + goods.due_in);
    if (!Run("INSERT INTO tblUserGoods (nType, nUserId, nGoodsId, tAddTime, tDueTime, nBuyDay, nLevel, nUsing, sHeadColor) VALUES (%d, %d, %d, '%s', '%s', %d, 1, %d, '%s')",
             {SqlValue::Integer(goods.type), Id(goods.owner), SqlValue::Integer(goods.goods_id), Time(now_ - 30 * kDay),
              due, SqlValue::Integer(goods.buy_day), SqlValue::Integer(goods.using_it), Text(kHeadColor)})) {
      return false;
    }
    ++summary_->goods;
  }
  return true;
}

bool DemoLoad::InsertInvitations() {
  for (const Invitation& invitation : kInvitations) {
    if (!Run("INSERT INTO tblInviteRecord (nUserid, nGroup, sInviteCode, sInvitedEmail, nState, tAddtime, nZoneId, sNote, nReply) VALUES (%d, %d, '%s', '%s', %d, '%s', %d, '%s', %d)",
             {Id(invitation.from), SqlValue::Integer(invitation.group), Text(invitation.code), Text(invitation.email),
              SqlValue::Integer(invitation.state), Time(now_ - 4 * kDay), SqlValue::Integer(invitation.zone),
              Text(invitation.note), SqlValue::Integer(invitation.reply)})) {
      return false;
    }
    ++summary_->invitations;
  }
  return true;
}

// The user names of the demo's players that the database holds already.
bool PresentPlayers(std::vector<std::string>* present, std::string* error) {
  for (const Player& player : kPlayers) {
    RecordsetHandle count;
    std::u16string reason;
    if (db::QuerySql(Sql("SELECT COUNT(*) FROM tblUser WHERE sUsername = '%s'", {Text(player.user_name)}), count,
                     &reason) != 0) {
      *error = ToNarrow(reason);
      return false;
    }
    db::Variant value;
    if (!count->IsEOF() && count->GetFieldAt(0, &value) && value.Int32() > 0) present->push_back(player.user_name);
  }
  return true;
}

}  // namespace

bool LoadDemoWorld(int64_t now, DemoSummary* summary, std::string* error) {
  *summary = DemoSummary();
  std::vector<std::string> present;
  if (!PresentPlayers(&present, error)) return false;
  if (static_cast<int>(present.size()) == kPlayerCount) {
    summary->already_there = true;
    summary->players = kPlayerCount;
    return true;
  }
  if (!present.empty()) {
    *error = "the database already holds " + std::to_string(present.size()) + " of the demo's " +
             std::to_string(kPlayerCount) + " players (" + present.front() +
             (present.size() > 1 ? ", ..." : "") + ") but not the others";
    return false;
  }
  std::string failure;
  std::u16string reason;
  const int result = db::RunTransaction(
      [&](db::Transaction& transaction) {
        // A serialization failure runs the whole load again from here.
        *summary = DemoSummary();
        DemoLoad load(transaction, now, summary);
        const bool loaded = load.InsertPlayers() && load.InsertFriendships() && load.InsertTrades() &&
                            load.InsertItems() && load.InsertLetters() && load.InsertGoods() &&
                            load.InsertInvitations();
        failure = load.error();
        return loaded ? 0 : -1;
      },
      &reason);
  if (result == 0) return true;
  *error = !failure.empty() ? failure : ToNarrow(reason);
  *summary = DemoSummary();
  return false;
}

}  // namespace zelvar::cli
