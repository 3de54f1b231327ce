// The demo world's data and its loading.
#include "tools/zelvar/demo_world.h"

#include <map>
#include <set>
#include <utility>
#include <vector>

namespace zelvar::cli {
namespace {

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

constexpr const char* kPermanent = "2050-01-01 00:00:00";
constexpr const char* kQuotaDue = "2050-10-12 19:02:00";

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

bool Run(AdminDb* db, const std::string& sql, std::vector<SqlValue> values, std::string* error) {
  return db->Exec(sql, values, error);
}

}  // namespace

bool LoadDemoWorld(AdminDb* db, int64_t now, DemoSummary* summary, std::string* error) {
  *summary = DemoSummary();
  std::vector<std::string> present;
  for (const Player& player : kPlayers) {
    int64_t count = 0;
    bool found = false;
    if (!db->QueryInt("SELECT COUNT(*) FROM tblUser WHERE sUsername = ?", {SqlValue::Text(player.user_name)},
                      &count, &found, error)) {
      return false;
    }
    if (count > 0) present.push_back(player.user_name);
  }
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

  if (!db->Begin(error)) return false;
  auto fail = [&] {
    db->Rollback();
    return false;
  };

  std::vector<int64_t> ids;
  for (int p = 0; p < kPlayerCount; ++p) {
    const Player& player = kPlayers[p];
    if (!Run(db, "INSERT INTO tblUser (sUsername, sNick, nSex, sFacePic, bLogined, nLevel) VALUES (?, ?, ?, ?, ?, ?)",
             {SqlValue::Text(player.user_name), SqlValue::Text(player.nick), SqlValue::Int(player.sex),
              SqlValue::Text(FaceOf(p)), SqlValue::Bool(OnlineAt(p)), SqlValue::Int(player.level)},
             error)) {
      return fail();
    }
    int64_t id = 0;
    bool found = false;
    if (!db->QueryInt("SELECT nId FROM tblUser WHERE sUsername = ?", {SqlValue::Text(player.user_name)}, &id,
                      &found, error)) {
      return fail();
    }
    if (!found) {
      *error = "the player '" + std::string(player.user_name) + "' did not read back after its insert";
      return fail();
    }
    ids.push_back(id);
  }
  summary->players = kPlayerCount;

  const auto friendships = Friendships();
  for (const auto& [a, b] : friendships) {
    if (!Run(db, "INSERT INTO tblFriend (nUserId, nFriendId) VALUES (?, ?)",
             {SqlValue::Int(ids[a]), SqlValue::Int(ids[b])}, error)) {
      return fail();
    }
  }
  summary->friendships = static_cast<int>(friendships.size());

  // Trades between friends over the last weeks, the hero's among them.
  for (size_t t = 0; t < 40; ++t) {
    const auto& [a, b] = friendships[t < 8 ? t : (t * 7) % friendships.size()];
    const bool reverse = t % 3 == 1;
    const int64_t when = now - static_cast<int64_t>(t * 17 + 3) * kHour - static_cast<int64_t>(t) * 61;
    if (!Run(db, "INSERT INTO tblFriendTradeHistory (nPlayUserId, nPlayedUserId, nPlayId, tTime, tDuration) VALUES (?, ?, ?, ?, ?)",
             {SqlValue::Int(ids[reverse ? b : a]), SqlValue::Int(ids[reverse ? a : b]),
              SqlValue::Int(static_cast<int64_t>(1 + (t * 5) % 12)), SqlValue::Time(when), SqlValue::Int(10)},
             error)) {
      return fail();
    }
    ++summary->trades;
  }

  for (const Item& item : kItems) {
    if (!Run(db, "INSERT INTO tblFriendTradeItem (sTradeName, sTradeDesc, nPacificate, sTradeImage, nHeadX, nHeadY) VALUES (?, ?, ?, ?, ?, ?)",
             {SqlValue::Text(item.name), SqlValue::Text(item.description), SqlValue::Int(item.pacificate),
              SqlValue::Text(item.image), SqlValue::Double(item.x), SqlValue::Double(item.y)},
             error)) {
      return fail();
    }
    ++summary->items;
  }

  for (const Letter& letter : kLetters) {
    if (!Run(db, "INSERT INTO tblUserMsg (nUserId, sContent, tAddTime, nRead, nFromUserId, nAll) VALUES (?, ?, ?, ?, ?, 0)",
             {SqlValue::Int(ids[letter.to]), SqlValue::Text(letter.content),
              SqlValue::Time(now - letter.hours_ago * kHour), SqlValue::Int(letter.read ? 1 : 0),
              SqlValue::Int(ids[letter.from])},
             error)) {
      return fail();
    }
    ++summary->messages;
    if (!letter.read) ++summary->unread;
  }

  for (const Goods& goods : kGoods) {
    const SqlValue due = goods.due_text != nullptr ? SqlValue::TimeText(goods.due_text)
                                                   : SqlValue::Time(now + goods.due_in);
    if (!Run(db, "INSERT INTO tblUserGoods (nType, nUserId, nGoodsId, tAddTime, tDueTime, nBuyDay, nLevel, nUsing, sHeadColor) VALUES (?, ?, ?, ?, ?, ?, 1, ?, ?)",
             {SqlValue::Int(goods.type), SqlValue::Int(ids[goods.owner]), SqlValue::Int(goods.goods_id),
              SqlValue::Time(now - 30 * kDay), due, SqlValue::Int(goods.buy_day), SqlValue::Int(goods.using_it),
              SqlValue::Text(kHeadColor)},
             error)) {
      return fail();
    }
    ++summary->goods;
  }

  for (const Invitation& invitation : kInvitations) {
    if (!Run(db, "INSERT INTO tblInviteRecord (nUserid, nGroup, sInviteCode, sInvitedEmail, nState, tAddtime, nZoneId, sNote, nReply) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
             {SqlValue::Int(ids[invitation.from]), SqlValue::Int(invitation.group), SqlValue::Text(invitation.code),
              SqlValue::Text(invitation.email), SqlValue::Int(invitation.state), SqlValue::Time(now - 4 * kDay),
              SqlValue::Int(invitation.zone), SqlValue::Text(invitation.note), SqlValue::Int(invitation.reply)},
             error)) {
      return fail();
    }
    ++summary->invitations;
  }

  if (!db->Commit(error)) return fail();
  return true;
}

}  // namespace zelvar::cli
