// The mixed load and its invariants (mixed_load.h).

#include "faults/mixed_load.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>
#include <utility>

#include "codec/keys.h"
#include "goods/grants.h"
#include "kit/client.h"
#include "kit/text.h"
#include "util/text.h"
#include "util/time_text.h"

namespace zelvar::test {

namespace {

constexpr int kQuotaGoodsId = 700;
constexpr int kQuotaGoodsType = 3100;
constexpr int kTimeGoodsId = 501;
constexpr int kTimeGoodsType = 20;
constexpr int64_t kSevenDays = 604800;

// Weights of the kinds in a random load, in the order of LoadKind.
constexpr int kWeights[] = {20, 15, 10, 10, 10, 5, 5, 10, 7, 7, 1};
static_assert(sizeof(kWeights) / sizeof(kWeights[0]) == static_cast<int>(LoadKind::kCount));

using kit::Quote;

int64_t ToInt(const std::optional<std::string>& text) {
  return text ? std::strtoll(text->c_str(), nullptr, 10) : 0;
}

// Speak counter 1 of a face text; 0 without an entry.
int64_t FirstSpeakCounter(const std::string& face) {
  const size_t at = face.find("Speak:");
  if (at == std::string::npos) return 0;
  return std::strtoll(face.c_str() + at + 6, nullptr, 10);
}

std::string MessageText(uint64_t key) { return "m" + std::to_string(key); }

// An invitation's fields, all from its key.
struct InvitationFields {
  std::string code;
  int state;
  std::string email;
  int group;
  std::string note;
  int zone;
  int reply;
};

InvitationFields FieldsOf(uint64_t key) {
  return {"c" + std::to_string(key), static_cast<int>(key % 2),
          "e" + std::to_string(key) + "@example.com", static_cast<int>(key % 5),
          "note " + std::to_string(key % 7), static_cast<int>(key >> 40),
          static_cast<int>(key % 3)};
}

bool Overlaps(const std::vector<std::pair<MixedLoad::Clock::time_point,
                                          MixedLoad::Clock::time_point>>& periods,
              MixedLoad::Clock::time_point begin, MixedLoad::Clock::time_point end) {
  for (const auto& [from, to] : periods) {
    if (begin <= to && end >= from) return true;
  }
  return false;
}

// A friend list of a player whose one friend is `partner_id`.
void CheckFriendList(const Reply& reply, int partner_id, LoadOutcome* outcome) {
  if (reply.result != 0) return;
  const std::optional<int32_t> count = reply.Int(codec::kFriendCountKey);
  const bool has_time = reply.Int(codec::kServerTimeKey).has_value();
  // A friend whose profile can't be read is left out of a reply that
  // still goes out: without the database that is every friend.
  if (reply.well_formed && count == 0 && has_time) return;
  outcome->ok = reply.well_formed && count == 1 &&
                reply.Int(codec::FriendKey(1, codec::kFriendIdField)) == partner_id && has_time;
  if (!outcome->ok) outcome->detail = "a wrong friend list";
}

// The catalogue of `item_count` items.
void CheckCatalogue(const Reply& reply, int item_count, LoadOutcome* outcome) {
  if (reply.result != 0) return;
  outcome->ok = reply.well_formed && reply.Int(codec::kItemCountKey) == item_count;
  if (!outcome->ok) outcome->detail = "a wrong catalogue";
}

// One quota goods granted with the amounts 1 and 2.
void CheckQuotaGrant(const Reply& reply, LoadOutcome* outcome) {
  outcome->ok = reply.Int(codec::kRecordResultKey) == 0 && reply.Int(codec::kGrantedKey) == 1;
  if (outcome->ok && (reply.Int(codec::kFirstSumKey) != 1 || reply.Int(codec::kSecondSumKey) != 2)) {
    outcome->ok = false;
    outcome->detail = "wrong sums";
  }
}

// The account of player number `player`, whose id is `id`.
void CheckAccount(const Reply& reply, int id, int player, LoadOutcome* outcome) {
  if (reply.Int(codec::kRecordResultKey) != 0) return;
  outcome->ok = reply.Int(codec::kAccountIdKey) == id &&
                reply.Text(codec::kAccountNickKey) == ToWide("Nick" + std::to_string(player)) &&
                reply.Int(codec::kAccountLevelKey) == player % 50;
  if (!outcome->ok) outcome->detail = "a wrong account";
}

}  // namespace

void CheckTimeGoods(const std::string& who,
                    const std::vector<std::pair<std::string, std::string>>& goods, int reported,
                    int excess, int failed, const std::function<void(std::string)>& violation) {
  int64_t grants = 0;
  if (goods.size() > 1) {
    violation(who + ": " + std::to_string(goods.size()) + " rows of time-limited goods");
  } else if (goods.size() == 1) {
    const int64_t added = ParseTimeText(goods[0].first.c_str());
    const int64_t due = ParseTimeText(goods[0].second.c_str());
    grants = std::llround(static_cast<double>(due - added) / kSevenDays);
    // An extension past the cap makes the goods permanent: from then on
    // the due time tells only that enough grants came to pass the cap.
    if (goods[0].second == goods::kPermanentDueTime) {
      const int64_t to_cap = (goods::kDueTimeCap - added) / kSevenDays + 1;
      if (reported + excess < to_cap) {
        violation(who + ": time-limited goods made permanent by " + std::to_string(reported) +
                  " grants");
      }
      return;
    }
  }
  if (grants < reported || grants > reported + excess) {
    violation(who + ": time-limited goods for " + std::to_string(grants) + " weeks, " +
              std::to_string(reported) + " grants reported, " + std::to_string(failed) +
              " failed");
  }
}

const char* LoadKindName(LoadKind kind) {
  switch (kind) {
    case LoadKind::kMessage:
      return "message 1500";
    case LoadKind::kReadMessages:
      return "unread messages 1620";
    case LoadKind::kTrade:
      return "trade 1510";
    case LoadKind::kHistory:
      return "trade history 1605";
    case LoadKind::kFriends:
      return "friend list 1610";
    case LoadKind::kItems:
      return "catalogue 1615";
    case LoadKind::kInvite:
      return "invitations 1550";
    case LoadKind::kLookup:
      return "account lookup 1660";
    case LoadKind::kQuotaGrant:
      return "quota grant 1560";
    case LoadKind::kTimeGrant:
      return "time grant 1560";
    case LoadKind::kEndStrangers:
      return "end friendship 1505";
    case LoadKind::kCount:
      break;
  }
  return "?";
}

MixedLoad::MixedLoad(TestDatabase* db, int players, int threads, bool plant)
    : db_(db), ledgers_(static_cast<size_t>(threads)) {
  players = std::max(4, players + players % 2);
  std::vector<kit::Player> rows;
  for (int i = 0; i < players; ++i) {
    player_names_.push_back("p" + std::to_string(i));
    rows.push_back({0, player_names_.back(), "Nick" + std::to_string(i), i % 2,
                    "F" + std::to_string(i) + ";", true, i % 50});
  }
  const std::vector<kit::TradeItem> items = {{0, "Rose", "A red rose", 10, "rose.png", 12.5, -4},
                                             {0, "Tulip", "A tulip", 3, "tulip.png", 0.1, 2},
                                             {0, "Oak", "An oak", 99, "", -1, 1}};
  item_count_ = static_cast<int>(items.size());
  if (plant) db_->Plant(rows);
  for (const std::string& name : player_names_) {
    player_ids_.push_back(static_cast<int>(
        db_->QueryInt("SELECT nId FROM tblUser WHERE sUsername = " + Quote(name))));
  }
  if (!plant) return;
  std::vector<kit::Friendship> pairs;
  for (int i = 0; i < players; i += 2) pairs.push_back({0, player_ids_[i], player_ids_[i + 1]});
  db_->Plant(pairs);
  db_->Plant(items);
}

uint64_t MixedLoad::NextKey(int thread) {
  return (static_cast<uint64_t>(thread) << 40) | ledgers_[static_cast<size_t>(thread)].sequence++;
}

size_t MixedLoad::LedgerBytes() const {
  size_t bytes = 0;
  for (const Ledger& ledger : ledgers_) {
    bytes += ledger.sent.capacity() * sizeof(uint64_t) +
             ledger.send_failed.capacity() * sizeof(uint64_t) +
             ledger.deliveries.capacity() * sizeof(Delivery) +
             ledger.invitations.capacity() * sizeof(SentInvitation);
  }
  return bytes;
}

void MixedLoad::ReadMessages(int id, Ledger& ledger, LoadOutcome* outcome) {
  const Clock::time_point begin = Clock::now();
  const Reply reply = QueryFriendData(id, codec::kUnreadMessagesKind);
  const Clock::time_point end = Clock::now();
  if (reply.result != 0) return;
  const std::optional<int32_t> count = reply.Int(codec::kMessageCountKey);
  if (!reply.well_formed || !count) {
    outcome->detail = "a malformed reply";
    return;
  }
  outcome->ok = true;
  for (int m = 1; m <= *count; ++m) {
    const std::optional<std::u16string> text =
        reply.Text(codec::MessageKey(m, codec::kMessageContentField));
    if (!text) {
      outcome->ok = false;
      outcome->detail = "message " + std::to_string(m) + " without content";
      continue;
    }
    const std::string content = ToNarrow(*text);
    if (content.empty() || content[0] != 'm') {
      outcome->ok = false;
      outcome->detail = "a message nobody sent: " + content;
      continue;
    }
    ledger.deliveries.push_back({std::strtoull(content.c_str() + 1, nullptr, 10), begin, end});
  }
}

bool MixedLoad::Invite(int thread, int id, Ledger& ledger) {
  std::vector<Invitation> rows;
  std::vector<SentInvitation> sent;
  for (int i = 0; i < 2; ++i) {
    const uint64_t key = NextKey(thread);
    const InvitationFields fields = FieldsOf(key);
    rows.push_back({ToWide(fields.code), fields.state, ToWide(fields.email), fields.group,
                    ToWide(fields.note), fields.zone, fields.reply});
    sent.push_back({key, {}, {}});
  }
  const Clock::time_point begin = Clock::now();
  const bool ok = StoreInvitations(id, rows) == 0;
  const Clock::time_point end = Clock::now();
  // The result is 0 whether or not the rows were stored: only rows of a
  // call in a period of trouble may be missing.
  for (SentInvitation& row : sent) {
    row.begin = begin;
    row.end = end;
    ledger.invitations.push_back(row);
  }
  return ok;
}

LoadOutcome MixedLoad::Run(int thread, std::mt19937_64& random) {
  int total = 0;
  for (int weight : kWeights) total += weight;
  int pick = static_cast<int>(random() % static_cast<uint64_t>(total));
  int kind = 0;
  while (pick >= kWeights[kind]) pick -= kWeights[kind++];
  return RunKind(thread, static_cast<LoadKind>(kind), random);
}

LoadOutcome MixedLoad::RunKind(int thread, LoadKind kind, std::mt19937_64& random) {
  Ledger& ledger = ledgers_[static_cast<size_t>(thread)];
  const int players = static_cast<int>(player_ids_.size());
  const int player = static_cast<int>(random() % static_cast<uint64_t>(players));
  const int partner = player ^ 1;
  const int pair = player / 2;
  const int id = player_ids_[player];
  LoadOutcome outcome;
  outcome.kind = kind;

  switch (kind) {
    case LoadKind::kMessage: {
      const uint64_t message = NextKey(thread);
      outcome.ok = SendMessage(id, player_ids_[partner], ToWide(MessageText(message))) == 0;
      (outcome.ok ? ledger.sent : ledger.send_failed).push_back(message);
      break;
    }
    case LoadKind::kReadMessages:
      ReadMessages(id, ledger, &outcome);
      break;
    case LoadKind::kTrade:
      outcome.ok = RecordTrade(id, player_ids_[partner], static_cast<int>(random() % 1000)) == 0;
      ++(outcome.ok ? ledger.trades : ledger.trade_failed)[pair];
      break;
    case LoadKind::kHistory: {
      const Reply reply = QueryFriendData(id, codec::kTradeHistoryKind);
      outcome.ok = reply.result == 0 && reply.well_formed && reply.Int(codec::kTradeCountKey).has_value();
      break;
    }
    case LoadKind::kFriends:
      CheckFriendList(QueryFriendData(id, codec::kFriendListKind), player_ids_[partner], &outcome);
      break;
    case LoadKind::kItems:
      CheckCatalogue(QueryFriendData(id, codec::kTradeItemsKind), item_count_, &outcome);
      break;
    case LoadKind::kInvite:
      outcome.ok = Invite(thread, id, ledger);
      break;
    case LoadKind::kLookup:
      CheckAccount(LookUpAccount(id, ToWide(player_names_[player])), id, player, &outcome);
      break;
    case LoadKind::kQuotaGrant:
      CheckQuotaGrant(SendGoods(id, ToWide(player_names_[player]),
                                {{kQuotaGoodsId, u"1个", kQuotaGoodsType, 1, 2}}),
                      &outcome);
      ++(outcome.ok ? ledger.quota : ledger.quota_failed)[player];
      break;
    case LoadKind::kTimeGrant: {
      const Reply reply =
          SendGoods(id, ToWide(player_names_[player]), {{kTimeGoodsId, u"7天", kTimeGoodsType, 0, 0}});
      outcome.ok = reply.Int(codec::kRecordResultKey) == 0 && reply.Int(codec::kGrantedKey) == 1;
      ++(outcome.ok ? ledger.time_grants : ledger.time_failed)[player];
      break;
    }
    case LoadKind::kEndStrangers:
      outcome.ok = EndFriendship(id, player_ids_[(player + 2) % players]) == 0;
      break;
    case LoadKind::kCount:
      break;
  }
  ++ledger.requests[static_cast<int>(kind)];
  if (!outcome.ok) ++ledger.failures[static_cast<int>(kind)];
  return outcome;
}

void MixedLoad::MarkTrouble(Clock::time_point begin, Clock::time_point end) {
  trouble_.emplace_back(begin, end);
}

std::map<LoadKind, std::pair<int64_t, int64_t>> MixedLoad::Tally() const {
  std::map<LoadKind, std::pair<int64_t, int64_t>> tally;
  for (const Ledger& ledger : ledgers_) {
    for (int kind = 0; kind < static_cast<int>(LoadKind::kCount); ++kind) {
      auto& entry = tally[static_cast<LoadKind>(kind)];
      entry.first += ledger.requests[kind];
      entry.second += ledger.failures[kind];
    }
  }
  return tally;
}

std::vector<std::vector<std::optional<std::string>>> MixedLoad::Rows(const std::string& sql) {
  return db_->Query(sql);
}

std::vector<std::string> MixedLoad::Check(bool strict) {
  std::vector<std::string> violations;
  const Report violation = [&](std::string text) {
    if (violations.size() < 50) violations.push_back(std::move(text));
  };
  CheckMessages(strict, violation);
  CheckTrades(strict, violation);
  CheckGrants(strict, violation);
  CheckInvitations(violation);
  return violations;
}

void MixedLoad::CheckMessages(bool strict, const Report& violation) {
  // Messages: each stored once when reported sent, never when not (unless
  // the failure may have come after the commit).
  std::map<std::string, std::pair<int, int64_t>> stored;  // content: rows, nRead
  for (const auto& row : Rows("SELECT sContent, nRead FROM tblUserMsg")) {
    auto& entry = stored[row[0].value_or("<null>")];
    ++entry.first;
    entry.second = ToInt(row[1]);
  }
  std::set<std::string> may_exist;
  std::map<std::string, std::vector<const Delivery*>> delivered;
  for (const Ledger& ledger : ledgers_) {
    for (uint64_t message : ledger.sent) {
      const std::string content = MessageText(message);
      may_exist.insert(content);
      auto found = stored.find(content);
      if (found == stored.end()) {
        violation("message " + content + " was reported sent but is not stored");
      } else if (found->second.first != 1) {
        violation("message " + content + " is stored " + std::to_string(found->second.first) +
                  " times");
      }
    }
    for (uint64_t message : ledger.send_failed) {
      const std::string content = MessageText(message);
      may_exist.insert(content);
      if (strict && stored.count(content)) {
        violation("message " + content + " was reported failed but is stored");
      }
    }
    for (const Delivery& delivery : ledger.deliveries) {
      delivered[MessageText(delivery.message)].push_back(&delivery);
    }
  }
  for (const auto& [content, entry] : stored) {
    if (!may_exist.count(content)) violation("message " + content + " was never sent");
    if (entry.second != 0 && !delivered.count(content)) {
      violation("message " + content + " is marked read but was never delivered");
    }
  }
  for (auto& [content, deliveries] : delivered) {
    if (!stored.count(content)) violation("delivered message " + content + " is not stored");
    std::sort(deliveries.begin(), deliveries.end(),
              [](const Delivery* a, const Delivery* b) { return a->begin < b->begin; });
    for (size_t i = 1; i < deliveries.size(); ++i) {
      if (!Overlaps(trouble_, deliveries[i - 1]->begin, deliveries[i - 1]->end)) {
        violation("message " + content + " was delivered twice without trouble between");
      }
    }
  }
}

void MixedLoad::CheckTrades(bool strict, const Report& violation) {
  std::map<int, int> index_of;
  for (size_t i = 0; i < player_ids_.size(); ++i) index_of[player_ids_[i]] = static_cast<int>(i);
  // Trades between the two friends of each pair.
  std::map<int, int> trades_stored;
  for (const auto& row : Rows("SELECT nPlayUserId, nPlayedUserId FROM tblFriendTradeHistory")) {
    const int a = index_of.count(ToInt(row[0])) ? index_of[ToInt(row[0])] : -1;
    const int b = index_of.count(ToInt(row[1])) ? index_of[ToInt(row[1])] : -1;
    if (foreign_ids_.count(static_cast<int>(ToInt(row[0]))) &&
        foreign_ids_.count(static_cast<int>(ToInt(row[1])))) {
      continue;
    }
    if (a < 0 || b < 0 || a / 2 != b / 2) {
      violation("a trade between players who are not friends");
      continue;
    }
    ++trades_stored[a / 2];
  }
  std::map<int, int> trades_reported, trades_failed;
  for (const Ledger& ledger : ledgers_) {
    for (const auto& [pair, n] : ledger.trades) trades_reported[pair] += n;
    for (const auto& [pair, n] : ledger.trade_failed) trades_failed[pair] += n;
  }
  for (size_t pair = 0; pair < player_ids_.size() / 2; ++pair) {
    const int p = static_cast<int>(pair);
    const int actual = trades_stored[p];
    const int reported = trades_reported[p];
    const int excess = strict ? 0 : trades_failed[p];
    if (actual < reported || actual > reported + excess) {
      violation("pair " + std::to_string(p) + ": " + std::to_string(actual) + " trades stored, " +
                std::to_string(reported) + " reported, " + std::to_string(trades_failed[p]) +
                " failed");
    }
  }
}

void MixedLoad::CheckGrants(bool strict, const Report& violation) {
  // Grants: the counter, the quota row and the time-limited row of each
  // player agree with the grants reported.
  std::map<int, int> quota_reported, quota_failed, time_reported, time_failed;
  for (const Ledger& ledger : ledgers_) {
    for (const auto& [player, n] : ledger.quota) quota_reported[player] += n;
    for (const auto& [player, n] : ledger.quota_failed) quota_failed[player] += n;
    for (const auto& [player, n] : ledger.time_grants) time_reported[player] += n;
    for (const auto& [player, n] : ledger.time_failed) time_failed[player] += n;
  }
  std::map<int, std::string> faces;
  for (const auto& row : Rows("SELECT nId, sFacePic FROM tblUser")) {
    faces[static_cast<int>(ToInt(row[0]))] = row[1].value_or("");
  }
  std::map<int, std::vector<int64_t>> quota_rows;  // nBuyDay per row
  std::map<int, std::vector<std::pair<std::string, std::string>>> time_rows;
  for (const auto& row :
       Rows("SELECT nUserId, nType, nGoodsId, nBuyDay, tAddTime, tDueTime FROM tblUserGoods")) {
    const int user = static_cast<int>(ToInt(row[0]));
    if (ToInt(row[1]) >= 3000 && ToInt(row[1]) < 4000) {
      quota_rows[user].push_back(ToInt(row[3]));
    } else if (ToInt(row[2]) == kTimeGoodsId) {
      time_rows[user].emplace_back(row[4].value_or(""), row[5].value_or(""));
    } else {
      violation("a goods row nobody granted");
    }
  }
  for (size_t i = 0; i < player_ids_.size(); ++i) {
    const int p = static_cast<int>(i);
    const int id = player_ids_[i];
    const std::string who = "player " + player_names_[i];
    const int64_t counter = FirstSpeakCounter(faces[id]);
    const int reported = quota_reported[p];
    const int excess = strict ? 0 : quota_failed[p];
    if (counter < reported || counter > reported + excess) {
      violation(who + ": speak counter " + std::to_string(counter) + ", " +
                std::to_string(reported) + " quota grants reported, " +
                std::to_string(quota_failed[p]) + " failed");
    }
    const auto& rows = quota_rows[id];
    if (rows.size() != (counter > 0 ? 1u : 0u) || (!rows.empty() && rows[0] != 1)) {
      violation(who + ": " + std::to_string(rows.size()) + " quota rows for speak counter " +
                std::to_string(counter) + " (half a grant)");
    }
    if (faces[id].rfind("F" + std::to_string(i) + ";", 0) != 0) {
      violation(who + ": the face text lost its own part: " + faces[id]);
    }
    CheckTimeGoods(who, time_rows[id], time_reported[p], strict ? 0 : time_failed[p],
                   time_failed[p], violation);
  }
}

void MixedLoad::CheckInvitations(const Report& violation) {
  // Invitations: stored whole, each once, only those sent; missing only
  // for a call in a period of trouble.
  std::map<std::string, std::vector<std::optional<std::string>>> invitations;
  for (auto& row : Rows("SELECT sInviteCode, nState, sInvitedEmail, nGroup, sNote, nZoneId, "
                        "nReply FROM tblInviteRecord")) {
    const std::string code = row[0].value_or("<null>");
    if (invitations.count(code)) violation("invitation " + code + " is stored twice");
    invitations[code] = std::move(row);
  }
  size_t sent_invitations = 0;
  for (const Ledger& ledger : ledgers_) {
    for (const SentInvitation& invitation : ledger.invitations) {
      ++sent_invitations;
      const InvitationFields sent = FieldsOf(invitation.key);
      auto found = invitations.find(sent.code);
      if (found == invitations.end()) {
        if (!Overlaps(trouble_, invitation.begin, invitation.end)) {
          violation("invitation " + sent.code + " is missing");
        }
        continue;
      }
      const auto& row = found->second;
      if (ToInt(row[1]) != sent.state || row[2] != sent.email || ToInt(row[3]) != sent.group ||
          row[4] != sent.note || ToInt(row[5]) != sent.zone ||
          ToInt(row[6]) != sent.reply) {
        violation("invitation " + sent.code + " is stored with other fields");
      }
    }
  }
  if (invitations.size() > sent_invitations) violation("invitations nobody sent are stored");
}

}  // namespace zelvar::test
