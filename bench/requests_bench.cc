// Every request through the exported functions, each beside its limits in
// the same run: the request's own statements prepared once on one open
// connection of the raw client API (sqlite3, ODBC), values bound, plus
// building and reading the request's packets as host and module do; and,
// where a case names it, the least raw work that yields the same reply.
// Before a limit is timed, it and the module answer once and their replies
// must agree.
//
// Names: <request>/<backend>/ours, <request>/<backend>/limit and
// <request>/<backend>/least (only where the case has less work than its own
// statements), where the request is its code and the work it carries
// (friends:100, trades:50, rows:10). PostgreSQL cases run when
// ZELVAR_TEST_PG_ADMIN names a server, MariaDB cases when
// ZELVAR_TEST_MARIADB does:
//
//   scripts/with-postgres scripts/with-mariadb build-bench/bench/requests_bench
//
// scripts/bench runs them all and prints the table. ZELVAR_BENCH_ITERATIONS
// fixes the iterations of every request case (for callgrind). Requests that change
// data leave the world as they found it: what they add is deleted every
// kCleanupEvery iterations outside the timed region, and where a request
// undoes its own precondition (1505 ends the friendship, 1620 marks the
// messages read) it is put back after every iteration and the request
// timed by itself (manual time). The cases stand in request_cases.h.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "codec/keys.h"
#include "codec/requests.h"
#include "request_cases.h"
#include "util/text.h"

namespace zelvar::bench {
namespace {

namespace w = world;

constexpr int kCleanupEvery = 500;

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

// A raw side of the request: `make` is its limit or its least work.
void RunRaw(benchmark::State& state, Backend backend, const Request& request,
            const std::function<Step(RawDb&)>& make, const char* side) {
  World* world = nullptr;
  if (!Prepare(state, backend, &world)) return;
  std::unique_ptr<RawDb> db = RawDb::Open(backend, world);
  if (db == nullptr) {
    state.SkipWithError("no raw connection");
    return;
  }
  Step raw = make(*db);
  // Both answer once, from the same state, before anything is timed.
  std::string ours_digest, raw_digest;
  if (!request.ours()(&ours_digest)) {
    state.SkipWithError("the module's request failed");
    return;
  }
  if (!request.reset_each.empty()) world->Exec(request.reset_each);
  if (!raw(&raw_digest)) {
    state.SkipWithError((std::string("the ") + side + "'s statements failed").c_str());
    return;
  }
  if (!request.reset_each.empty()) world->Exec(request.reset_each);
  if (request.unordered) {
    ours_digest = Unordered(ours_digest);
    raw_digest = Unordered(raw_digest);
  }
  if (ours_digest != raw_digest) {
    std::fprintf(stderr, "%s: ours %s\n%s %s\n", request.name.c_str(),
                 ours_digest.substr(0, 400).c_str(), side, raw_digest.substr(0, 400).c_str());
    state.SkipWithError((std::string("the module and the ") + side + " answer differently").c_str());
    return;
  }
  Run(state, raw, world, request);
}

// ------------------------------------------------ threads and packets

// A mix of reads, each thread for players of its own.
void Threads(benchmark::State& state, Backend backend) {
  World* world = nullptr;
  if (!Prepare(state, backend, &world)) return;
  CKParam lookup = codec::AccountRequest(ToWide(w::UserName(w::kLookedUp + state.thread_index())));
  const std::string lookup_image = Image(lookup);
  const int player = w::kThreadPlayers + state.thread_index();
  int turn = 0;
  for (auto _ : state) {
    bool ok = false;
    switch (turn++ % 3) {
      case 0:
        ok = AskQuery(player, codec::kFriendListKind, nullptr);
        break;
      case 1:
        ok = AskQuery(w::TradePlayer(5), codec::kTradeHistoryKind, nullptr);
        break;
      default:
        ok = AskRecord(codec::kAccountLookup, lookup_image, nullptr);
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
  for (Backend backend : {Backend::kSqlite, Backend::kPostgres, Backend::kMariaDb}) {
    for (const Request& request : AllRequests()) {
      const std::string prefix = request.name + "/" + BackendName(backend);
      for (const char* side : {"ours", "limit", "least"}) {
        const std::string which = side;
        if (which == "least" && !request.least) continue;
        auto* b = benchmark::RegisterBenchmark(
            (prefix + "/" + which).c_str(), [backend, request, which](benchmark::State& state) {
              if (which == "ours") {
                RunOurs(state, backend, request);
              } else {
                RunRaw(state, backend, request, which == "limit" ? request.limit : request.least,
                       which.c_str());
              }
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
