// zelvar_cluster_load: the mixed load spread over the nodes of a MariaDB
// Galera cluster, one process per node, each talking to its node only
// (scripts/with-galera exports the nodes' strings as ZELVAR_TEST_GALERA_i),
// with races between nodes that only a guard against write skew can
// settle (faults/cluster_races.h). Run it through scripts/cluster.
//
//   zelvar_cluster_load setup --world FILE [--players N] [--threads T]
//                             [--slots N]
//       creates a database through node 1 from schema/mariadb.sql, plants
//       the world and writes its name and instant to FILE
//   zelvar_cluster_load run --world FILE --node I --nodes N --seconds S
//                           --ledger FILE [--period-ms P]
//       T threads (setup's) of mixed requests and one thread of races through the
//       module on node I's string; writes what the requests reported
//   zelvar_cluster_load check --world FILE --nodes N --ledgers F...
//                             [--outage FROM_MS:TO_MS]
//       merges the ledgers and checks the invariants through every node's
//       string, and that every node holds the same rows
//
// Exit status: 0 when everything held; 1 when an invariant or a race
// failed, the nodes differ or a request failed outside the outage (wall
// clock milliseconds); 2 on bad use or when the cluster can't be reached.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "faults/cluster_races.h"
#include "faults/mixed_load.h"
#include "kit/raw_db.h"
#include "kit/schema.h"
#include "support/test_db.h"

namespace {

using zelvar::test::ClusterRaces;
using zelvar::test::MixedLoad;
using zelvar::test::TestDatabase;
using WallClock = std::chrono::system_clock;

// Command-line options: "--name value" pairs and "--ledgers" with a list.
struct Options {
  std::map<std::string, std::string> values;
  std::vector<std::string> ledgers;

  int Int(const char* name, int fallback) const {
    auto found = values.find(name);
    return found == values.end() ? fallback : std::atoi(found->second.c_str());
  }
  std::string Text(const char* name) const {
    auto found = values.find(name);
    return found == values.end() ? "" : found->second;
  }
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 2; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--ledgers") {
      while (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) options.ledgers.push_back(argv[++i]);
    } else if (name.rfind("--", 0) == 0 && i + 1 < argc) {
      options.values[name.substr(2)] = argv[++i];
    }
  }
  return options;
}

int64_t WallMs(WallClock::time_point at) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

// What setup planted, shared through the world file.
struct World {
  std::string database;
  int64_t epoch_ms = 0;
  int players = 0;
  int threads = 0;  // per process

  bool Read(const std::string& path) {
    std::ifstream in(path);
    std::string tag;
    return static_cast<bool>(in >> tag >> database >> tag >> epoch_ms >> tag >> players >> tag >>
                             threads);
  }
};

std::string NodeString(int node, const World& world) {
  const char* server = std::getenv(("ZELVAR_TEST_GALERA_" + std::to_string(node)).c_str());
  if (server == nullptr) return "";
  std::string text = server;
  if (!text.empty() && text.back() != ';') text += ';';
  return text + "Database=" + world.database + ";";
}

int Setup(const Options& options) {
  const std::string path = options.Text("world");
  const char* node1 = std::getenv("ZELVAR_TEST_GALERA_1");
  if (path.empty() || node1 == nullptr) {
    std::fprintf(stderr, "setup: --world FILE, and a cluster (scripts/with-galera)\n");
    return 2;
  }
  setenv("ZELVAR_TEST_MARIADB", node1, 1);
  std::string error;
  const std::string connection = zelvar::kit::CreateMariaDbDatabase(
      zelvar::kit::SchemaPath(zelvar::kit::Backend::kMariaDb), &error);
  if (connection.empty()) {
    std::fprintf(stderr, "setup: %s\n", error.c_str());
    return 2;
  }
  const size_t at = connection.rfind("Database=") + 9;
  World world;
  world.database = connection.substr(at, connection.find(';', at) - at);
  world.players = options.Int("players", 64);
  world.threads = options.Int("threads", 4);
  std::unique_ptr<TestDatabase> db =
      TestDatabase::Attach(zelvar::kit::Backend::kMariaDb, connection);
  if (db == nullptr) return 2;
  MixedLoad load(db.get(), world.players, 1);
  ClusterRaces::Plant(db.get(), options.Int("slots", 1300));
  world.epoch_ms = WallMs(WallClock::now());
  std::ofstream out(path);
  out << "database " << world.database << "\nepoch_ms " << world.epoch_ms << "\nplayers "
      << world.players << "\nthreads " << world.threads << '\n';
  std::printf("setup: database %s on node 1, %d players, %d race slots\n",
              world.database.c_str(), world.players, options.Int("slots", 1300));
  return out.good() ? 0 : 2;
}

// Failed requests, by the wall clock, for telling the outage's failures
// from others: failures less than a second apart share one record.
struct Failure {
  int64_t begin_ms;
  int64_t end_ms;
  int64_t count;
  std::string what;  // the first one's kind and detail, no spaces
};

// Conflicts the node resolved by aborting a transaction (certification
// failures and brute-force aborts), summed over restarts of the node:
// each of them made the module run a transaction again.
class ConflictWatch {
 public:
  explicit ConflictWatch(std::string connection) : connection_(std::move(connection)) {}

  void Sample() {
    std::string error;
    if (db_ == nullptr) db_ = zelvar::kit::OpenOdbc(connection_, &error, 2);
    zelvar::kit::Rows rows;
    if (db_ == nullptr ||
        !db_->Query("SHOW GLOBAL STATUS WHERE Variable_name IN "
                    "('wsrep_local_cert_failures', 'wsrep_local_bf_aborts')",
                    {}, &rows, &error)) {
      db_.reset();
      return;
    }
    int64_t now = 0;
    for (const auto& row : rows) now += row.size() > 1 && row[1] ? std::atoll(row[1]->c_str()) : 0;
    if (last_ >= 0) total_ += now >= last_ ? now - last_ : now;  // a restart begins at 0
    last_ = now;
  }
  int64_t total() const { return total_; }

 private:
  std::string connection_;
  std::unique_ptr<zelvar::kit::RawDb> db_;
  int64_t last_ = -1;
  int64_t total_ = 0;
};

// The threads of one process's run and what they saw.
struct RunState {
  std::atomic<bool> stop{false};
  std::atomic<int64_t> requests{0};
  std::mutex mutex;
  std::vector<Failure> failures;                                         // guarded
  std::vector<std::pair<MixedLoad::Clock::time_point, MixedLoad::Clock::time_point>> trouble;  // guarded

  void Fail(std::string what, WallClock::time_point begin, MixedLoad::Clock::time_point steady_begin) {
    std::replace(what.begin(), what.end(), ' ', '_');
    const int64_t begin_ms = WallMs(begin), end_ms = WallMs(WallClock::now());
    const MixedLoad::Clock::time_point steady_end = MixedLoad::Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    if (!failures.empty() && begin_ms <= failures.back().end_ms + 1000) {
      failures.back().end_ms = std::max(failures.back().end_ms, end_ms);
      ++failures.back().count;
      trouble.back().first = std::min(trouble.back().first, steady_begin);
      trouble.back().second = std::max(trouble.back().second, steady_end);
      return;
    }
    failures.push_back({begin_ms, end_ms, 1, what.empty() ? "?" : what});
    trouble.emplace_back(steady_begin, steady_end);
  }
};

void LoadThread(MixedLoad* load, int thread, WallClock::time_point until, RunState* state) {
  std::mt19937_64 random(static_cast<uint64_t>(thread) * 104729 + 17);
  while (!state->stop.load() && WallClock::now() < until) {
    const WallClock::time_point begin = WallClock::now();
    const MixedLoad::Clock::time_point steady_begin = MixedLoad::Clock::now();
    const zelvar::test::LoadOutcome outcome = load->Run(thread, random);
    state->requests.fetch_add(1);
    if (!outcome.ok) {
      state->Fail(std::string(zelvar::test::LoadKindName(outcome.kind)) + ":" + outcome.detail,
                  begin, steady_begin);
      // As a game server would, not at once again: a node that is down
      // fails requests at once.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

// Writes the process's ledger: its figures, failures, races and the mixed
// load's ledgers.
bool WriteLedger(const std::string& path, int node, double seconds, const RunState& state,
                 int64_t conflicts, const ClusterRaces& races, const MixedLoad& load) {
  std::ofstream out(path);
  const int64_t steady_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                MixedLoad::Clock::now().time_since_epoch())
                                .count();
  out << "node " << node << " seconds " << seconds << " requests " << state.requests.load()
      << " conflicts " << conflicts << " clock " << WallMs(WallClock::now()) << ' ' << steady_ns
      << "\nfailures " << state.failures.size() << '\n';
  for (const Failure& f : state.failures) {
    out << f.begin_ms << ' ' << f.end_ms << ' ' << f.count << ' ' << f.what << '\n';
  }
  races.Write(out);
  load.WriteLedgers(out);
  return out.good();
}

int Run(const Options& options) {
  World world;
  const int node = options.Int("node", 0);
  const int nodes = options.Int("nodes", 0);
  const int seconds = options.Int("seconds", 0);
  const std::string ledger = options.Text("ledger");
  if (!world.Read(options.Text("world")) || node < 1 || nodes < 2 || node > nodes ||
      seconds < 1 || ledger.empty() || NodeString(node, world).empty()) {
    std::fprintf(stderr, "run: --world FILE --node I --nodes N (2 or more) --seconds S --ledger FILE, "
                         "in a cluster of N nodes\n");
    return 2;
  }
  const std::string connection = NodeString(node, world);
  std::unique_ptr<TestDatabase> db = TestDatabase::Attach(zelvar::kit::Backend::kMariaDb, connection);
  if (db == nullptr) return 2;
  const int threads = world.threads;
  MixedLoad load(db.get(), world.players, nodes * threads, /*plant=*/false);
  ClusterRaces races(db.get());
  db->Use();

  RunState state;
  ConflictWatch conflicts(connection);
  conflicts.Sample();
  const WallClock::time_point start = WallClock::now();
  const WallClock::time_point until = start + std::chrono::seconds(seconds);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back(LoadThread, &load, (node - 1) * threads + t, until, &state);
  }
  int64_t race_requests = 0;
  workers.emplace_back([&] {
    races.Run(node, nodes, std::chrono::milliseconds(options.Int("period-ms", 250)),
              WallClock::time_point(std::chrono::milliseconds(world.epoch_ms)), until, state.stop,
              [&](const char* what, bool ok, WallClock::time_point begin, WallClock::time_point) {
                ++race_requests;
                if (!ok) state.Fail(std::string("race:") + what, begin, MixedLoad::Clock::now());
              });
  });
  while (WallClock::now() < until) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    conflicts.Sample();
  }
  for (std::thread& worker : workers) worker.join();
  conflicts.Sample();
  const double elapsed = std::chrono::duration<double>(WallClock::now() - start).count();
  state.requests += race_requests;
  for (const auto& [begin, end] : state.trouble) load.MarkTrouble(begin, end);
  if (!WriteLedger(ledger, node, elapsed, state, conflicts.total(), races, load)) return 2;
  int64_t failed = 0;
  for (const Failure& failure : state.failures) failed += failure.count;
  std::printf("node %d: %lld requests in %.1f s (%.1f/s), %lld failed, %lld conflicts resolved\n",
              node, static_cast<long long>(state.requests.load()), elapsed,
              static_cast<double>(state.requests.load()) / elapsed, static_cast<long long>(failed),
              static_cast<long long>(conflicts.total()));
  return 0;
}

// One process's ledger as read back.
struct NodeLedger {
  int node = 0;
  double seconds = 0;
  int64_t requests = 0;
  int64_t conflicts = 0;
  int64_t wall_ms = 0;    // one instant by both clocks,
  int64_t steady_ns = 0;  // to place the outage among the steady times
  std::vector<Failure> failures;
};

bool ReadLedger(const std::string& path, ClusterRaces* races, MixedLoad* load, NodeLedger* out,
                std::string* error) {
  std::ifstream in(path);
  std::string tag;
  size_t count = 0;
  if (!(in >> tag >> out->node >> tag >> out->seconds >> tag >> out->requests >> tag >>
        out->conflicts >> tag >> out->wall_ms >> out->steady_ns >> tag >> count)) {
    *error = "no figures";
    return false;
  }
  out->failures.resize(count);
  for (Failure& failure : out->failures) {
    if (!(in >> failure.begin_ms >> failure.end_ms >> failure.count >> failure.what)) {
      *error = "a malformed failure";
      return false;
    }
  }
  return races->Read(in, error) && load->ReadLedgers(in, error);
}

// Every table's checksum on one node, as "table checksum" lines.
std::string Checksums(TestDatabase* db) {
  std::string text;
  for (const auto& table : db->Query("SHOW TABLES")) {
    for (const auto& row : db->Query("CHECKSUM TABLE `" + table[0].value_or("") + "`")) {
      text += table[0].value_or("") + " " + row.at(1).value_or("NULL") + "\n";
    }
  }
  return text;
}

// Checks the rows of node `node` against the ledgers; the number of
// violations, and the node's checksums in `checksums`.
int CheckNode(int node, const World& world, MixedLoad* load, ClusterRaces* races,
              std::string* checksums) {
  std::unique_ptr<TestDatabase> db =
      TestDatabase::Attach(zelvar::kit::Backend::kMariaDb, NodeString(node, world));
  if (db == nullptr) return 1;
  // Reads wait until the node has applied what the cluster committed.
  db->Exec("SET SESSION wsrep_sync_wait = 15");
  load->set_database(db.get());
  const std::vector<std::string> violations = load->Check(/*strict=*/false);
  int lines = 0;
  const auto report = [&](std::string text) {
    if (++lines <= 10) std::printf("    %s\n", text.c_str());
  };
  const std::vector<ClusterRaces::Tally> tallies = races->Check(db.get(), report);
  std::printf("  node %d: mixed load invariants %s\n", node,
              violations.empty() ? "all hold" : "VIOLATED");
  for (size_t i = 0; i < violations.size() && i < 10; ++i) {
    std::printf("    %s\n", violations[i].c_str());
  }
  int broken = static_cast<int>(violations.size());
  for (int kind = 0; kind < ClusterRaces::kKinds; ++kind) {
    const ClusterRaces::Tally& tally = tallies[static_cast<size_t>(kind)];
    std::printf("  node %d: %s: %d violations in %d rounds\n", node,
                zelvar::test::RaceKindName(static_cast<ClusterRaces::Kind>(kind)),
                tally.violations, tally.rounds);
    broken += tally.violations;
  }
  *checksums = Checksums(db.get());
  load->set_database(nullptr);
  return broken;
}

// Prints each process's figures; the number of failures outside the
// outage [from, to] (wall clock ms).
int64_t PrintFigures(const std::vector<NodeLedger>& ledgers, int64_t from, int64_t to) {
  int64_t outside = 0;
  for (const NodeLedger& ledger : ledgers) {
    int64_t during = 0, failed = 0;
    int shown = 0;
    for (const Failure& failure : ledger.failures) {
      failed += failure.count;
      const bool in_outage = failure.begin_ms <= to && failure.end_ms >= from;
      (in_outage ? during : outside) += failure.count;
      if (++shown <= 5) {
        std::printf("    node %d: %lld failed %s the outage over %.1f s, the first: %s\n",
                    ledger.node, static_cast<long long>(failure.count),
                    in_outage ? "during" : "OUTSIDE",
                    static_cast<double>(failure.end_ms - failure.begin_ms) / 1000,
                    failure.what.c_str());
      }
    }
    // Requests done: a node that is down fails requests at once.
    std::printf("  node %d: %.1f requests/s done, %lld conflicts retried, %lld failures during "
                "the outage, %lld outside it\n",
                ledger.node,
                static_cast<double>(ledger.requests - failed) / std::max(ledger.seconds, 1.0),
                static_cast<long long>(ledger.conflicts), static_cast<long long>(during),
                static_cast<long long>(failed - during));
  }
  return outside;
}

int CheckCluster(const Options& options) {
  World world;
  const int nodes = options.Int("nodes", 0);
  if (!world.Read(options.Text("world")) || nodes < 1 || options.ledgers.empty()) {
    std::fprintf(stderr, "check: --world FILE --nodes N --ledgers FILE... [--outage FROM:TO]\n");
    return 2;
  }
  const std::string outage = options.Text("outage");
  const int64_t from = outage.empty() ? 0 : std::atoll(outage.c_str());
  const int64_t to = outage.empty() ? -1 : std::atoll(outage.c_str() + outage.find(':') + 1);
  std::unique_ptr<TestDatabase> first =
      TestDatabase::Attach(zelvar::kit::Backend::kMariaDb, NodeString(1, world));
  if (first == nullptr) return 2;
  MixedLoad load(first.get(), world.players, nodes * world.threads, /*plant=*/false);
  ClusterRaces races(first.get());
  load.LeaveTradesOf(races.PlayerIds());
  first.reset();
  std::vector<NodeLedger> ledgers(options.ledgers.size());
  for (size_t i = 0; i < ledgers.size(); ++i) {
    std::string error;
    if (!ReadLedger(options.ledgers[i], &races, &load, &ledgers[i], &error)) {
      std::fprintf(stderr, "check: %s: %s\n", options.ledgers[i].c_str(), error.c_str());
      return 2;
    }
  }
  // Invitations report success whether or not they were stored: those of
  // the outage may be missing.
  if (to >= from) {
    const auto steady = [&](int64_t ms) {
      return MixedLoad::Clock::time_point(std::chrono::duration_cast<MixedLoad::Clock::duration>(
          std::chrono::nanoseconds(ledgers[0].steady_ns + (ms - ledgers[0].wall_ms) * 1000000)));
    };
    load.MarkTrouble(steady(from), steady(to));
  }
  std::printf("figures:\n");
  const int64_t outside = PrintFigures(ledgers, from, to);
  std::printf("invariants:\n");
  int violations = 0;
  std::vector<std::string> checksums(static_cast<size_t>(nodes));
  for (int node = 1; node <= nodes; ++node) {
    violations += CheckNode(node, world, &load, &races, &checksums[static_cast<size_t>(node - 1)]);
  }
  bool same = true;
  for (int node = 2; node <= nodes; ++node) same = same && checksums[static_cast<size_t>(node - 1)] == checksums[0];
  std::printf("  every node holds the same rows: %s\n", same ? "yes" : "NO");
  if (!same) {
    for (int node = 1; node <= nodes; ++node) {
      std::printf("  node %d:\n%s", node, checksums[static_cast<size_t>(node - 1)].c_str());
    }
  }
  const bool held = violations == 0 && same && outside == 0;
  std::printf("result: %s\n", held ? "all invariants hold" : "FAILED");
  return held ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const Options options = ParseOptions(argc, argv);
  if (mode == "setup") return Setup(options);
  if (mode == "run") return Run(options);
  if (mode == "check") return CheckCluster(options);
  std::fprintf(stderr, "usage: %s setup|run|check OPTIONS (see scripts/cluster)\n", argv[0]);
  return 2;
}
