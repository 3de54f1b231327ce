// zelvar_load: a long mixed load on PostgreSQL, for the figures that a
// test can't give: requests per second, failures, and the resident memory
// of the process before and after. The invariants of the load are checked
// at the end. Run it through scripts/load (a PostgreSQL server of its own).
//
//   zelvar_load [--seconds N] [--threads N] [--players N] [--report N]
//
// Exit status 0 when no request failed and every invariant held.

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/runner.h"
#include "faults/mixed_load.h"
#include "support/postgres.h"
#include "support/test_db.h"

namespace {

using zelvar::test::LoadKind;
using zelvar::test::LoadKindName;
using zelvar::test::MixedLoad;
using Clock = std::chrono::steady_clock;

// Resident memory of this process in kB (VmRSS), 0 when unknown.
long ResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// Bytes the process holds allocated from the heap now, over all arenas:
// unlike the resident memory, this does not keep what was freed.
long HeapKilobytes() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

// Request durations in buckets of powers of two microseconds.
struct Latency {
  static constexpr int kBuckets = 32;
  int64_t counts[kBuckets] = {};

  void Add(Clock::duration duration) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    int bucket = 0;
    while (bucket + 1 < kBuckets && (int64_t{1} << (bucket + 1)) <= micros) ++bucket;
    ++counts[bucket];
  }
  void Merge(const Latency& other) {
    for (int i = 0; i < kBuckets; ++i) counts[i] += other.counts[i];
  }
  // The upper bound of the bucket that holds the `share` quantile, in ms.
  double QuantileMs(double share) const {
    int64_t total = 0;
    for (int64_t count : counts) total += count;
    int64_t seen = 0;
    for (int i = 0; i < kBuckets; ++i) {
      seen += counts[i];
      if (total > 0 && static_cast<double>(seen) >= share * static_cast<double>(total)) {
        return static_cast<double>(int64_t{1} << (i + 1)) / 1000.0;
      }
    }
    return 0;
  }
};

int Option(int argc, char** argv, const char* name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
  }
  return fallback;
}

// Memory figures at one moment of the run.
struct Memory {
  long resident = ResidentKilobytes();
  long heap = HeapKilobytes();
};

// The worker threads of one run and what they count.
class LoadRun {
 public:
  LoadRun(MixedLoad* load, int threads)
      : load_(load), latencies_(static_cast<size_t>(threads)) {
    for (int t = 0; t < threads; ++t) workers_.emplace_back([this, t] { Work(t); });
  }

  int64_t done() const { return done_.load(); }

  // Stops the workers and waits for them; the merged latencies.
  Latency Stop() {
    stop_ = true;
    for (std::thread& worker : workers_) worker.join();
    Latency latency;
    for (const Latency& each : latencies_) latency.Merge(each);
    return latency;
  }

  // The first failures seen, at most 20. Call after Stop.
  const std::vector<std::string>& first_failures() const { return first_failures_; }

 private:
  void Work(int t) {
    std::mt19937_64 random(static_cast<uint64_t>(t) * 104729 + 17);
    while (!stop_.load(std::memory_order_relaxed)) {
      const Clock::time_point begin = Clock::now();
      const zelvar::test::LoadOutcome outcome = load_->Run(t, random);
      latencies_[static_cast<size_t>(t)].Add(Clock::now() - begin);
      done_.fetch_add(1, std::memory_order_relaxed);
      if (!outcome.ok) {
        std::lock_guard<std::mutex> lock(failures_mutex_);
        if (first_failures_.size() < 20) {
          first_failures_.push_back(std::string(LoadKindName(outcome.kind)) + " " +
                                    outcome.detail);
        }
      }
    }
  }

  MixedLoad* const load_;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> done_{0};
  std::vector<Latency> latencies_;  // one per worker, written only by it
  std::mutex failures_mutex_;
  std::vector<std::string> first_failures_;  // guarded by failures_mutex_
  std::vector<std::thread> workers_;
};

// Prints the rate and memory every `report` seconds until `seconds` have
// passed since `start`.
void ReportUntil(const LoadRun& run, Clock::time_point start, int seconds, int report) {
  int64_t last_done = run.done();
  Clock::time_point last = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(seconds)) {
    const auto left = std::chrono::seconds(seconds) - (Clock::now() - start);
    std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::seconds(report)));
    const int64_t now_done = run.done();
    const Clock::time_point now = Clock::now();
    std::printf("  %4.0f s: %8.1f requests/s, resident %ld kB, heap %ld kB\n",
                std::chrono::duration<double>(now - start).count(),
                static_cast<double>(now_done - last_done) /
                    std::chrono::duration<double>(now - last).count(),
                ResidentKilobytes(), HeapKilobytes());
    std::fflush(stdout);
    last_done = now_done;
    last = now;
  }
}

// Prints the tally per kind and the failures; the number of failures.
int64_t PrintTally(MixedLoad& load, double elapsed, const std::vector<std::string>& failures) {
  int64_t requests = 0, failed = 0;
  std::printf("\n%-24s %12s %10s\n", "kind", "requests", "failures");
  for (const auto& [kind, tally] : load.Tally()) {
    std::printf("%-24s %12lld %10lld\n", LoadKindName(kind), static_cast<long long>(tally.first),
                static_cast<long long>(tally.second));
    requests += tally.first;
    failed += tally.second;
  }
  std::printf("\nrequests: %lld in %.1f s = %.1f per second\n", static_cast<long long>(requests),
              elapsed, static_cast<double>(requests) / elapsed);
  std::printf("failures: %lld\n", static_cast<long long>(failed));
  for (const std::string& line : failures) std::printf("  %s\n", line.c_str());
  return failed;
}

void PrintMemory(const Memory& start, const Memory& warm, const Memory& end,
                 size_t ledger_warm, size_t ledger_end) {
  std::printf("resident memory: %ld kB at start, %ld kB after 10 s, %ld kB at end\n",
              start.resident, warm.resident, end.resident);
  std::printf("heap in use:     %ld kB at start, %ld kB after 10 s, %ld kB at end\n", start.heap,
              warm.heap, end.heap);
  std::printf("of which the load's own ledger: %zu kB after 10 s, %zu kB at end; heap growth "
              "beside it after 10 s: %ld kB\n",
              ledger_warm, ledger_end,
              (end.heap - warm.heap) - static_cast<long>(ledger_end - ledger_warm));
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = Option(argc, argv, "--seconds", 600);
  const int threads = Option(argc, argv, "--threads", 8);
  const int players = Option(argc, argv, "--players", 64);
  const int report = Option(argc, argv, "--report", 60);
  if (!zelvar::test::PostgresAvailable()) {
    std::fprintf(stderr, "zelvar_load: no PostgreSQL server; run it through scripts/load\n");
    return 2;
  }
  // The module's log files go to a folder of the run's own.
  char folder[] = "/tmp/zelvar-load-XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) return 2;

  std::unique_ptr<zelvar::test::TestDatabase> db =
      zelvar::test::TestDatabase::Create(zelvar::test::Backend::kPostgres);
  if (db == nullptr) return 2;
  MixedLoad load(db.get(), players, threads);
  db->Use();

  std::printf("load: %d threads, %d players, %d s on PostgreSQL\n", threads, players, seconds);
  const Memory start_memory;
  const Clock::time_point start = Clock::now();
  LoadRun run(&load, threads);
  std::this_thread::sleep_for(std::chrono::seconds(std::min(10, seconds)));
  const Memory warm_memory;
  const size_t ledger_warm = load.LedgerBytes() / 1024;
  ReportUntil(run, start, seconds, report);
  const Latency latency = run.Stop();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const Memory end_memory;

  const int64_t failures = PrintTally(load, elapsed, run.first_failures());
  std::printf("latency: median under %.3f ms, 99%% under %.3f ms\n", latency.QuantileMs(0.5),
              latency.QuantileMs(0.99));
  PrintMemory(start_memory, warm_memory, end_memory, ledger_warm, load.LedgerBytes() / 1024);

  zelvar::db::CloseIdleConnections();
  const std::vector<std::string> violations = load.Check(/*strict=*/true);
  std::printf("invariants: %s\n", violations.empty() ? "all hold" : "VIOLATED");
  for (const std::string& violation : violations) std::printf("  %s\n", violation.c_str());
  std::printf("resident memory after the checks: %ld kB\n", ResidentKilobytes());
  db.reset();
  return failures == 0 && violations.empty() ? 0 : 1;
}
