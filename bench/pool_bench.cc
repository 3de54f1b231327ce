// Throughput on PostgreSQL: how requests per second grow with host threads
// and host processes, each beside what bounds it, in one run.
//
//   threads/PostgreSQL/ours, threads:1 and threads:4
//       the mix of reads of requests_bench's threads case, through the
//       exports, as one host with one and with four threads;
//   threads/PostgreSQL/limit, threads:1 and threads:4
//       the same statements with the raw ODBC client, one connection per
//       thread, prepared once: what the machine and the server allow;
//   processes:8x4/PostgreSQL/direct and .../pgbouncer
//       eight host processes of four threads each running the mix, straight
//       to the server and through the PgBouncer of scripts/with-pgbouncer
//       (transaction pooling, a pool of four server sessions).
//
// Run it as scripts/with-postgres scripts/with-pgbouncer build-bench/bench/pool_bench;
// without the pooler the pgbouncer case is skipped. A process case starts
// this program again as a worker (pool_bench --worker STRING THREADS
// SECONDS) once per process, lets all of them connect and warm up, starts
// them together and counts the requests they answered in SECONDS
// (ZELVAR_POOL_BENCH_SECONDS, default 2). scripts/bench prints the ratios.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "codec/keys.h"
#include "codec/requests.h"
#include "kit/schema.h"
#include "request_cases.h"
#include "util/text.h"
#include "zelvar/zelvar.h"

extern char** environ;

namespace zelvar::bench {
namespace {

namespace w = world;
using Clock = std::chrono::steady_clock;

constexpr int kProcesses = 8;
constexpr int kThreadsPerProcess = 4;

// The mix of requests_bench's threads case, for host thread `slot`: its
// own player's friend list (ten friends), a trade history of five trades,
// and a look-up of an account of its own, in turn.
class ReadMix {
 public:
  explicit ReadMix(int slot)
      : player_(w::kThreadPlayers + slot % 16),
        lookup_([slot] {
          CKParam lookup = codec::AccountRequest(ToWide(w::UserName(w::kLookedUp + slot)));
          return Image(lookup);
        }()) {}

  bool Next() {
    switch (turn_++ % 3) {
      case 0:
        return AskQuery(player_, codec::kFriendListKind, nullptr);
      case 1:
        return AskQuery(w::TradePlayer(5), codec::kTradeHistoryKind, nullptr);
      default:
        return AskRecord(codec::kAccountLookup, lookup_, nullptr);
    }
  }

 private:
  int player_;
  std::string lookup_;
  int turn_ = 0;
};

// The world's database straight on the server, past the pooler.
class DirectWorld final : public World {
 public:
  explicit DirectWorld(World* world)
      : world_(world), direct_(kit::DirectPostgresString(world->connection_string())) {}
  const std::string& connection_string() const override { return direct_; }
  // The world's own string: with-pgbouncer's goes through the pooler.
  const std::string& pooled_string() const { return world_->connection_string(); }
  const std::string& path() const override { return world_->path(); }
  bool Exec(const std::string& sql) override { return world_->Exec(sql); }

 private:
  World* world_;
  std::string direct_;
};

// The PostgreSQL world (made once, as in requests_bench) and its string
// straight to the server; null with the benchmark skipped when there is no
// server.
DirectWorld* Direct(benchmark::State& state) {
  // The threads of a case may be the first to ask.
  static std::mutex mutex;
  static std::unique_ptr<DirectWorld> direct;
  std::lock_guard<std::mutex> lock(mutex);
  std::string why;
  World* world = World::Get(Backend::kPostgres, &why);
  if (world == nullptr) {
    state.SkipWithError(why.c_str());
    return nullptr;
  }
  if (!direct) direct = std::make_unique<DirectWorld>(world);
  return direct.get();
}

// ------------------------------------------------------------ threads

void ThreadsOurs(benchmark::State& state) {
  DirectWorld* world = Direct(state);
  if (world == nullptr) return;
  // Once for all threads, before any of them asks.
  static std::once_flag opened;
  static bool open = false;
  std::call_once(opened, [world] { open = UseWorld(world); });
  if (!open) {
    state.SkipWithError("the module can't open the world");
    return;
  }
  ReadMix mix(state.thread_index());
  for (auto _ : state) {
    if (!mix.Next()) {
      state.SkipWithError("a request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// The limits of the mix's requests, on one raw connection of this thread.
std::vector<Step> LimitSteps(RawDb& db) {
  std::vector<Step> steps;
  for (const char* name : {"1610/friends:10", "1605/trades:5", "1660"}) {
    for (const Request& request : AllRequests()) {
      if (request.name == name) steps.push_back(request.limit(db));
    }
  }
  return steps;
}

void ThreadsLimit(benchmark::State& state) {
  DirectWorld* world = Direct(state);
  if (world == nullptr) return;
  std::unique_ptr<RawDb> db = RawDb::Open(Backend::kPostgres, world);
  if (db == nullptr) {
    state.SkipWithError("no raw connection");
    return;
  }
  std::vector<Step> steps = LimitSteps(*db);
  if (steps.size() != 3) {
    state.SkipWithError("a limit of the mix is missing");
    return;
  }
  size_t turn = 0;
  for (auto _ : state) {
    if (!steps[turn++ % steps.size()](nullptr)) {
      state.SkipWithError("a limit's statements failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// ---------------------------------------------------------- processes

double WindowSeconds() {
  const std::string text = Env("ZELVAR_POOL_BENCH_SECONDS");
  const double seconds = text.empty() ? 2.0 : std::atof(text.c_str());
  return seconds > 0 ? seconds : 2.0;
}

// One worker process: its pipes and its pid.
struct Worker {
  pid_t pid = -1;
  int to_worker = -1;    // the start signal
  int from_worker = -1;  // "ready", then the count
};

bool StartWorker(const std::string& connection_string, int index, Worker* worker) {
  int down[2], up[2];
  if (pipe(down) != 0) return false;
  if (pipe(up) != 0) {
    close(down[0]);
    close(down[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, down[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, up[1], STDOUT_FILENO);
  for (int fd : {down[0], down[1], up[0], up[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  const std::string threads = std::to_string(kThreadsPerProcess);
  const std::string first_slot = std::to_string(index * kThreadsPerProcess);
  const std::string seconds = std::to_string(WindowSeconds());
  std::vector<char*> argv = {const_cast<char*>("/proc/self/exe"), const_cast<char*>("--worker"),
                             const_cast<char*>(connection_string.c_str()),
                             const_cast<char*>(threads.c_str()),
                             const_cast<char*>(first_slot.c_str()),
                             const_cast<char*>(seconds.c_str()), nullptr};
  const int rc = posix_spawn(&worker->pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(down[0]);
  close(up[1]);
  worker->to_worker = down[1];
  worker->from_worker = up[0];
  return rc == 0;
}

// A line from the worker; empty at its end.
std::string ReadLine(int fd) {
  std::string line;
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

// Runs kProcesses workers on `connection_string` once; the requests per
// second of all of them together, or a negative figure with `error` set.
double RunProcesses(const std::string& connection_string, std::string* error) {
  std::vector<Worker> workers(kProcesses);
  bool started = true;
  for (int i = 0; i < kProcesses; ++i) started &= StartWorker(connection_string, i, &workers[i]);
  for (Worker& worker : workers) {
    if (started && worker.pid > 0 && ReadLine(worker.from_worker) != "ready") started = false;
  }
  for (Worker& worker : workers) {
    if (worker.to_worker >= 0) {
      const char go = started ? 'g' : 'q';
      (void)!write(worker.to_worker, &go, 1);
      close(worker.to_worker);
    }
  }
  double per_second = 0;
  for (Worker& worker : workers) {
    long long requests = 0;
    double seconds = 0;
    const std::string line = started ? ReadLine(worker.from_worker) : "";
    if (std::sscanf(line.c_str(), "%lld %lf", &requests, &seconds) == 2 && seconds > 0) {
      per_second += requests / seconds;
    } else {
      started = false;
    }
    close(worker.from_worker);
    int status = 0;
    if (worker.pid > 0) waitpid(worker.pid, &status, 0);
  }
  if (!started) {
    *error = "a worker process failed (it says why on stderr)";
    return -1;
  }
  return per_second;
}

void Processes(benchmark::State& state, bool pooled) {
  DirectWorld* world = Direct(state);
  if (world == nullptr) return;
  if (pooled && Env("ZELVAR_TEST_PGBOUNCER_PORT").empty()) {
    state.SkipWithError("no PgBouncer (run under scripts/with-postgres scripts/with-pgbouncer)");
    return;
  }
  const std::string connection_string =
      (pooled ? world->pooled_string() : world->connection_string()) + ";" +
      Env("ZELVAR_BENCH_OPTIONS");
  double total = 0;
  for (auto _ : state) {
    std::string error;
    const double per_second = RunProcesses(connection_string, &error);
    if (per_second < 0) {
      state.SkipWithError(error.c_str());
      return;
    }
    total += per_second;
    state.SetIterationTime(WindowSeconds());
  }
  state.counters["requests_per_second"] = total / static_cast<double>(state.iterations());
  if (pooled) state.counters["pool_size"] = std::atof(Env("ZELVAR_TEST_PGBOUNCER_POOL_SIZE").c_str());
}

// The worker's side: connect, warm up, say "ready", wait for the start,
// then run the mix on every thread for the window and print
// "REQUESTS SECONDS".
int WorkerMain(const std::string& connection_string, int threads, int first_slot,
               double seconds) {
  std::string text = connection_string;
  char* pointer = text.data();
  if (OpenDBFriend(&pointer) != 0) {
    std::fprintf(stderr, "pool_bench worker: the module can't open the database\n");
    return 1;
  }
  std::vector<ReadMix> mixes;
  for (int t = 0; t < threads; ++t) mixes.emplace_back(first_slot + t);
  for (ReadMix& mix : mixes) {
    for (int i = 0; i < 3; ++i) {
      if (!mix.Next()) {
        std::fprintf(stderr, "pool_bench worker: a request failed while warming up\n");
        return 1;
      }
    }
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char go = 0;
  if (read(STDIN_FILENO, &go, 1) != 1 || go != 'g') return 1;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(seconds));
  std::atomic<long long> requests{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> running;
  for (ReadMix& mix : mixes) {
    running.emplace_back([&mix, &requests, &failed, end] {
      long long mine = 0;
      while (Clock::now() < end) {
        if (!mix.Next()) {
          failed = true;
          break;
        }
        ++mine;
      }
      requests += mine;
    });
  }
  for (std::thread& thread : running) thread.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (failed) {
    std::fprintf(stderr, "pool_bench worker: a request failed\n");
    return 1;
  }
  std::printf("%lld %f\n", requests.load(), elapsed);
  std::fflush(stdout);
  return 0;
}

void Register() {
  // ZELVAR_BENCH_ITERATIONS fixes the iterations of the thread cases, for
  // counting what a request costs (perf stat: switches, system calls).
  const std::string fixed = Env("ZELVAR_BENCH_ITERATIONS");
  for (int threads : {1, 4}) {
    for (bool ours : {true, false}) {
      auto* b = benchmark::RegisterBenchmark(
          ours ? "threads/PostgreSQL/ours" : "threads/PostgreSQL/limit",
          ours ? ThreadsOurs : ThreadsLimit);
      b->Threads(threads)->UseRealTime()->Unit(benchmark::kMicrosecond);
      if (!fixed.empty()) b->Iterations(std::atoll(fixed.c_str()));
    }
  }
  for (bool pooled : {false, true}) {
    benchmark::RegisterBenchmark(
        pooled ? "processes:8x4/PostgreSQL/pgbouncer" : "processes:8x4/PostgreSQL/direct",
        [pooled](benchmark::State& state) { Processes(state, pooled); })
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace
}  // namespace zelvar::bench

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--worker") == 0) {
    signal(SIGPIPE, SIG_IGN);
    return zelvar::bench::WorkerMain(argv[2], std::atoi(argv[3]), std::atoi(argv[4]),
                                     std::atof(argv[5]));
  }
  zelvar::bench::Register();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
