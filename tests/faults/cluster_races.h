// Races between the processes of a cluster's nodes, where each side's
// decision rests on rows it read and a node's certification of writes
// alone would let both commit (write skew). At every boundary of a period
// of the wall clock, two processes on two different nodes act at once:
//   - grant rounds: both grant the same time-limited goods to a player who
//     has none yet; afterwards the player holds one row whose weeks are
//     the grants reported;
//   - friendship rounds: one ends a friendship while the other records a
//     trade for that pair; afterwards no trade row of the pair outlives
//     its friendship, and an end reported done left no friendship.
// Each round takes a player or a pair of its own (a slot), planted fresh,
// so that what one round left stays for the check.
//
// One thread per process runs the rounds; set-up, the ledger files and the
// check from one thread while no round runs.
#ifndef ZELVAR_TESTS_FAULTS_CLUSTER_RACES_H_
#define ZELVAR_TESTS_FAULTS_CLUSTER_RACES_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <set>
#include <string>
#include <vector>

#include "support/test_db.h"

namespace zelvar::test {

class ClusterRaces {
 public:
  using WallClock = std::chrono::system_clock;
  enum Kind { kGrant, kFriendship, kKinds };

  // Plants `slots` players for grant rounds and `slots` friend pairs.
  static void Plant(TestDatabase* db, int slots);
  // Finds the players that Plant planted.
  explicit ClusterRaces(TestDatabase* db);

  // The players of every slot (their trades are checked here).
  std::set<int> PlayerIds() const;

  // One request of a round, as it ended.
  using Observe = std::function<void(const char* what, bool ok, WallClock::time_point begin,
                                     WallClock::time_point end)>;
  // Runs the rounds of node `node` of `nodes` (numbered from 1; at least
  // 2), one each `period`, until `stop` or `until`. Round k (counted from
  // the wall clock's epoch) is a grant round when k is even; its nodes
  // are a = (k / 2) mod nodes and a + 1; its slot is k / 2 less that of
  // `epoch`, the instant the world was planted. No round past the slots.
  void Run(int node, int nodes, std::chrono::milliseconds period, WallClock::time_point epoch,
           WallClock::time_point until, const std::atomic<bool>& stop, const Observe& observe);

  void Write(std::ostream& out) const;
  // Adds the rounds that Write wrote; false with `error` on a bad record.
  bool Read(std::istream& in, std::string* error);

  struct Tally {
    int rounds = 0;      // slots both sides ran, the grants or the end done
    int violations = 0;  // slots whose rows break the rule
  };
  // Holds `db`'s rows to the rounds run; one line per violation.
  std::vector<Tally> Check(TestDatabase* db, const std::function<void(std::string)>& violation);

 private:
  enum Role { kGrantRole, kEndRole, kTradeRole };
  struct Outcome {
    int slot;
    Role role;
    bool ok;
  };

  void CheckGrants(TestDatabase* db, const std::function<void(std::string)>& violation,
                   Tally* tally);
  void CheckFriendships(TestDatabase* db, const std::function<void(std::string)>& violation,
                        Tally* tally);

  std::vector<int> grant_ids_;
  std::vector<std::pair<int, int>> pair_ids_;
  std::vector<Outcome> outcomes_;
};

const char* RaceKindName(ClusterRaces::Kind kind);

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_FAULTS_CLUSTER_RACES_H_
