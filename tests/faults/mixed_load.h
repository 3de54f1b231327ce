// A mixed load of every request on a small world of players, with a
// ledger of what each request reported and the checks that hold the
// database to it afterwards:
//   - every grant is either fully there (its goods row and its counter) or
//     fully absent, and the counters equal the grants reported;
//   - every message reported sent is stored, and every message is
//     delivered once or still unread (a message marked read was delivered;
//     a second delivery only after a delivery whose mark-read may have
//     been lost in a period of trouble);
//   - trades equal the trades reported, invitations are stored whole.
// Requests that failed may or may not have taken effect when the failure
// came from a lost link (the reply to a commit can be lost); Check takes
// the number of such requests as the allowed excess unless told to be
// strict.
//
// Several processes may share one world (a cluster's nodes, one process
// on each): each runs its own thread indices, writes its ledgers to a
// file, and one process reads them all back to check the database.
//
// Run and RunRound may be called from one thread per thread index at once;
// set-up, MarkTrouble, the ledger files and Check from one thread while no
// request runs.
#ifndef ZELVAR_TESTS_FAULTS_MIXED_LOAD_H_
#define ZELVAR_TESTS_FAULTS_MIXED_LOAD_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/test_db.h"

namespace zelvar::test {

enum class LoadKind {
  kMessage,        // 1500 between friends
  kReadMessages,   // 1620
  kTrade,          // 1510 between friends
  kHistory,        // 1605
  kFriends,        // 1610
  kItems,          // 1615
  kInvite,         // 1550, two rows
  kLookup,         // 1660
  kQuotaGrant,     // 1560, one quota entry
  kTimeGrant,      // 1560, one time-limited entry
  kEndStrangers,   // 1505 between players who were never friends
  kCount,
};

const char* LoadKindName(LoadKind kind);

// Holds the time-limited goods of one player (tAddTime, tDueTime of each
// row) to the grants of seven days reported: one row whose weeks are the
// grants; up to `excess` of the `failed` grants may have taken effect too.
void CheckTimeGoods(const std::string& who,
                    const std::vector<std::pair<std::string, std::string>>& goods, int reported,
                    int excess, int failed, const std::function<void(std::string)>& violation);

struct LoadOutcome {
  LoadKind kind = LoadKind::kMessage;
  bool ok = false;
  std::string detail;  // what was wrong with a reply, when not ok
};

class MixedLoad {
 public:
  using Clock = std::chrono::steady_clock;

  // Adds `players` players (an even number, at least 4), paired as
  // friends, and a catalogue to `db`, for `threads` threads of requests.
  // With `plant` false the world is already there (another process
  // planted it) and only its ids are read.
  MixedLoad(TestDatabase* db, int players, int threads, bool plant = true);

  // One request of a kind picked at random with the load's weights.
  LoadOutcome Run(int thread, std::mt19937_64& random);
  // One request of `kind`.
  LoadOutcome RunKind(int thread, LoadKind kind, std::mt19937_64& random);

  // A period in which failures are expected (an outage, faults injected):
  // a message delivered by a call that overlaps one may be delivered again.
  void MarkTrouble(Clock::time_point begin, Clock::time_point end);

  // The database that Check reads (a new session after the old one was
  // lost to a restart).
  void set_database(TestDatabase* db) { db_ = db; }

  // The violations of the invariants; empty when the database holds what
  // the requests reported. `strict`: failed requests took no effect.
  std::vector<std::string> Check(bool strict);

  // Trades of these players are checked elsewhere (their own load).
  void LeaveTradesOf(std::set<int> ids) { foreign_ids_ = std::move(ids); }

  // Writes the ledgers that hold requests, and the periods of trouble
  // (load_ledger_file.cc). The clock is the machine's monotonic one, the
  // same in every process of the machine.
  void WriteLedgers(std::ostream& out) const;
  // Reads what WriteLedgers wrote, into the ledgers of the same thread
  // indices; false with `error` filled on a malformed file or a thread
  // index that has requests already.
  bool ReadLedgers(std::istream& in, std::string* error);

  // The bytes the ledgers hold (a long load's own memory).
  size_t LedgerBytes() const;

  // Requests made and failed, by kind, over all threads.
  std::map<LoadKind, std::pair<int64_t, int64_t>> Tally() const;

 private:
  // Messages and invitations are named by a key: the thread in the top
  // bits, a sequence number below. Their texts follow from the key, so a
  // long load keeps only a few bytes for each.
  struct Delivery {
    uint64_t message;
    Clock::time_point begin;
    Clock::time_point end;
  };
  struct SentInvitation {
    uint64_t key;
    Clock::time_point begin;  // of the call that sent it
    Clock::time_point end;
  };
  // What one thread's requests reported; merged by Check.
  struct Ledger {
    std::vector<uint64_t> sent;
    std::vector<uint64_t> send_failed;
    std::vector<Delivery> deliveries;
    std::map<int, int> trades, trade_failed;          // by pair
    std::map<int, int> quota, quota_failed;           // by player
    std::map<int, int> time_grants, time_failed;      // by player
    std::vector<SentInvitation> invitations;
    uint64_t sequence = 0;
    int64_t requests[static_cast<int>(LoadKind::kCount)] = {};
    int64_t failures[static_cast<int>(LoadKind::kCount)] = {};
  };

  // Takes one violation of the invariants.
  using Report = std::function<void(std::string)>;
  void CheckMessages(bool strict, const Report& violation);
  void CheckTrades(bool strict, const Report& violation);
  void CheckGrants(bool strict, const Report& violation);
  void CheckInvitations(const Report& violation);

  uint64_t NextKey(int thread);
  // One read of the unread messages of player `id`; the deliveries go to
  // `ledger`.
  void ReadMessages(int id, Ledger& ledger, LoadOutcome* outcome);
  // Two invitation rows of player `id`, recorded in `ledger`; the
  // request's result.
  bool Invite(int thread, int id, Ledger& ledger);
  std::vector<std::vector<std::optional<std::string>>> Rows(const std::string& sql);

  TestDatabase* db_;
  std::vector<int> player_ids_;
  std::vector<std::string> player_names_;
  int item_count_ = 0;
  std::vector<Ledger> ledgers_;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> trouble_;
  std::set<int> foreign_ids_;
};

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_FAULTS_MIXED_LOAD_H_
