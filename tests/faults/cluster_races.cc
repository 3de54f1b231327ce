// The races between nodes and their checks (cluster_races.h).

#include "faults/cluster_races.h"

#include <cstdlib>
#include <istream>
#include <map>
#include <ostream>
#include <thread>

#include "codec/keys.h"
#include "faults/mixed_load.h"
#include "kit/client.h"
#include "util/text.h"

namespace zelvar::test {
namespace {

constexpr int kTimeGoodsId = 501;
constexpr int kTimeGoodsType = 20;

std::string GrantName(int slot) { return "g" + std::to_string(slot); }
std::string PairName(int slot, char side) { return "f" + std::string(1, side) + std::to_string(slot); }

int ToInt(const std::optional<std::string>& text) {
  return text ? std::atoi(text->c_str()) : 0;
}

constexpr const char* kRoleNames[] = {"grant", "end", "trade"};

}  // namespace

const char* RaceKindName(ClusterRaces::Kind kind) {
  return kind == ClusterRaces::kGrant ? "grant race (two first grants)"
                                      : "friendship race (end and trade)";
}

void ClusterRaces::Plant(TestDatabase* db, int slots) {
  std::vector<kit::Player> players;
  for (int slot = 0; slot < slots; ++slot) {
    for (const std::string& name : {GrantName(slot), PairName(slot, 'a'), PairName(slot, 'b')}) {
      players.push_back({0, name, "Nick " + name, 0, "R;", true, 1});
    }
  }
  db->Plant(players);
  ClusterRaces races(db);
  std::vector<kit::Friendship> pairs;
  for (const auto& [a, b] : races.pair_ids_) pairs.push_back({0, a, b});
  db->Plant(pairs);
}

ClusterRaces::ClusterRaces(TestDatabase* db) {
  std::map<std::string, int> ids;
  for (const auto& row : db->Query("SELECT sUsername, nId FROM tblUser")) {
    ids[row[0].value_or("")] = ToInt(row[1]);
  }
  for (int slot = 0; ids.count(GrantName(slot)); ++slot) {
    grant_ids_.push_back(ids[GrantName(slot)]);
    pair_ids_.emplace_back(ids[PairName(slot, 'a')], ids[PairName(slot, 'b')]);
  }
}

std::set<int> ClusterRaces::PlayerIds() const {
  std::set<int> players(grant_ids_.begin(), grant_ids_.end());
  for (const auto& [a, b] : pair_ids_) players.insert({a, b});
  return players;
}

void ClusterRaces::Run(int node, int nodes, std::chrono::milliseconds period,
                       WallClock::time_point epoch, WallClock::time_point until,
                       const std::atomic<bool>& stop, const Observe& observe) {
  const int64_t first_slot = (epoch.time_since_epoch() / period) / 2;
  int64_t round = WallClock::now().time_since_epoch() / period + 1;
  for (;; ++round) {
    const WallClock::time_point at{std::chrono::duration_cast<WallClock::duration>(round * period)};
    if (at >= until || stop.load()) return;
    const int64_t slot = round / 2 - first_slot;
    if (slot < 0) continue;
    if (slot >= static_cast<int64_t>(grant_ids_.size())) return;
    const int a = static_cast<int>((round / 2) % nodes);
    const int me = node - 1;
    if (me != a && me != (a + 1) % nodes) continue;
    const int s = static_cast<int>(slot);
    Role role = kGrantRole;
    if (round % 2 == 1) role = me == a ? kEndRole : kTradeRole;
    // The last few milliseconds spun rather than slept: a woken thread
    // starts late by more than the few hundred microseconds a request
    // takes, and the race is in that window.
    std::this_thread::sleep_until(at - std::chrono::milliseconds(3));
    while (WallClock::now() < at) {
    }
    bool ok = false;
    const WallClock::time_point begin = WallClock::now();
    const auto [one, other] = pair_ids_[slot];
    switch (role) {
      case kGrantRole: {
        const Reply reply = SendGoods(grant_ids_[slot], ToWide(GrantName(s)),
                                      {{kTimeGoodsId, u"7天", kTimeGoodsType, 0, 0}});
        ok = reply.Int(codec::kRecordResultKey) == 0 && reply.Int(codec::kGrantedKey) == 1;
        break;
      }
      case kEndRole:
        ok = EndFriendship(one, other) == 0;
        break;
      case kTradeRole:
        ok = RecordTrade(other, one, s) == 0;
        break;
    }
    outcomes_.push_back({s, role, ok});
    // A trade after the end is refused, as it must be.
    observe(kRoleNames[role], ok || role == kTradeRole, begin, WallClock::now());
  }
}

void ClusterRaces::Write(std::ostream& out) const {
  out << "races " << outcomes_.size() << '\n';
  for (const Outcome& o : outcomes_) out << o.slot << ' ' << o.role << ' ' << o.ok << '\n';
}

bool ClusterRaces::Read(std::istream& in, std::string* error) {
  std::string tag;
  size_t count = 0;
  if (!(in >> tag >> count) || tag != "races") {
    *error = "no list of races";
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    int slot = 0, role = 0;
    bool ok = false;
    if (!(in >> slot >> role >> ok) || slot < 0 || slot >= static_cast<int>(grant_ids_.size()) ||
        role < kGrantRole || role > kTradeRole) {
      *error = "a malformed race";
      return false;
    }
    outcomes_.push_back({slot, static_cast<Role>(role), ok});
  }
  return true;
}

std::vector<ClusterRaces::Tally> ClusterRaces::Check(
    TestDatabase* db, const std::function<void(std::string)>& violation) {
  std::vector<Tally> tallies(kKinds);
  CheckGrants(db, violation, &tallies[kGrant]);
  CheckFriendships(db, violation, &tallies[kFriendship]);
  return tallies;
}

void ClusterRaces::CheckGrants(TestDatabase* db,
                               const std::function<void(std::string)>& violation, Tally* tally) {
  std::map<int, std::vector<std::pair<std::string, std::string>>> rows;
  for (const auto& row : db->Query("SELECT nUserId, tAddTime, tDueTime FROM tblUserGoods "
                                   "WHERE nGoodsId = " + std::to_string(kTimeGoodsId))) {
    rows[ToInt(row[0])].emplace_back(row[1].value_or(""), row[2].value_or(""));
  }
  std::map<int, std::pair<int, int>> grants;  // slot: reported, failed
  for (const Outcome& o : outcomes_) {
    if (o.role == kGrantRole) ++(o.ok ? grants[o.slot].first : grants[o.slot].second);
  }
  for (const auto& [slot, counts] : grants) {
    const auto [reported, failed] = counts;
    if (reported == 2) ++tally->rounds;
    bool broken = false;
    CheckTimeGoods(GrantName(slot), rows[grant_ids_[slot]], reported, failed, failed,
                   [&](std::string text) {
                     broken = true;
                     violation("grant race " + std::to_string(slot) + ": " + text);
                   });
    if (broken) ++tally->violations;
  }
}

void ClusterRaces::CheckFriendships(TestDatabase* db,
                                    const std::function<void(std::string)>& violation,
                                    Tally* tally) {
  std::map<std::pair<int, int>, int> friendships, trades;  // by (smaller id, larger id)
  const auto key = [](int a, int b) { return std::make_pair(std::min(a, b), std::max(a, b)); };
  for (const auto& row : db->Query("SELECT nUserId, nFriendId FROM tblFriend")) {
    ++friendships[key(ToInt(row[0]), ToInt(row[1]))];
  }
  for (const auto& row : db->Query("SELECT nPlayUserId, nPlayedUserId FROM tblFriendTradeHistory")) {
    ++trades[key(ToInt(row[0]), ToInt(row[1]))];
  }
  std::map<int, std::pair<int, int>> sides;  // slot: ends, trades reported done
  std::map<int, int> run;                    // slot: requests made
  for (const Outcome& o : outcomes_) {
    if (o.role == kGrantRole) continue;
    ++run[o.slot];
    if (o.ok) ++(o.role == kEndRole ? sides[o.slot].first : sides[o.slot].second);
  }
  for (const auto& [slot, requests] : run) {
    if (requests == 2 && sides[slot].first == 1) ++tally->rounds;
    const auto pair = key(pair_ids_[slot].first, pair_ids_[slot].second);
    const bool friends = friendships[pair] > 0;
    std::string broken;
    if (trades[pair] > 0 && !friends) {
      broken = std::to_string(trades[pair]) + " trades recorded for a friendship that is gone";
    } else if (sides[slot].first > 0 && friends) {
      broken = "the end was reported done but the friendship is still there";
    }
    if (broken.empty()) continue;
    ++tally->violations;
    violation("friendship race " + std::to_string(slot) + ": " + broken);
  }
}

}  // namespace zelvar::test
