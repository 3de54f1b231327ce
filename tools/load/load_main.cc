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
  const long rss_start = ResidentKilobytes();
  const long heap_start = HeapKilobytes();
  std::atomic<bool> stop{false};
  std::atomic<int64_t> done{0};
  std::vector<Latency> latencies(static_cast<size_t>(threads));
  std::mutex failures_mutex;
  std::vector<std::string> first_failures;  // guarded by failures_mutex
  std::vector<std::thread> workers;
  const Clock::time_point start = Clock::now();
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::mt19937_64 random(static_cast<uint64_t>(t) * 104729 + 17);
      while (!stop.load(std::memory_order_relaxed)) {
        const Clock::time_point begin = Clock::now();
        const zelvar::test::LoadOutcome outcome = load.Run(t, random);
        latencies[static_cast<size_t>(t)].Add(Clock::now() - begin);
        done.fetch_add(1, std::memory_order_relaxed);
        if (!outcome.ok) {
          std::lock_guard<std::mutex> lock(failures_mutex);
          if (first_failures.size() < 20) {
            first_failures.push_back(std::string(LoadKindName(outcome.kind)) + " " +
                                     outcome.detail);
          }
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(std::min(10, seconds)));
  const long rss_warm = ResidentKilobytes();
  const long heap_warm = HeapKilobytes();
  const size_t ledger_warm = load.LedgerBytes() / 1024;
  int64_t last_done = done.load();
  Clock::time_point last = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(seconds)) {
    const auto left = std::chrono::seconds(seconds) - (Clock::now() - start);
    std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::seconds(report)));
    const int64_t now_done = done.load();
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
  stop = true;
  for (std::thread& worker : workers) worker.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const long rss_end = ResidentKilobytes();
  const long heap_end = HeapKilobytes();

  Latency latency;
  for (const Latency& each : latencies) latency.Merge(each);
  int64_t requests = 0, failures = 0;
  std::printf("\n%-24s %12s %10s\n", "kind", "requests", "failures");
  for (const auto& [kind, tally] : load.Tally()) {
    std::printf("%-24s %12lld %10lld\n", LoadKindName(kind), static_cast<long long>(tally.first),
                static_cast<long long>(tally.second));
    requests += tally.first;
    failures += tally.second;
  }
  std::printf("\nrequests: %lld in %.1f s = %.1f per second\n", static_cast<long long>(requests),
              elapsed, static_cast<double>(requests) / elapsed);
  std::printf("failures: %lld\n", static_cast<long long>(failures));
  for (const std::string& line : first_failures) std::printf("  %s\n", line.c_str());
  std::printf("latency: median under %.3f ms, 99%% under %.3f ms\n", latency.QuantileMs(0.5),
              latency.QuantileMs(0.99));
  std::printf("resident memory: %ld kB at start, %ld kB after 10 s, %ld kB at end\n", rss_start,
              rss_warm, rss_end);
  std::printf("heap in use:     %ld kB at start, %ld kB after 10 s, %ld kB at end\n", heap_start,
              heap_warm, heap_end);
  const size_t ledger_end = load.LedgerBytes() / 1024;
  std::printf("of which the load's own ledger: %zu kB after 10 s, %zu kB at end; heap growth "
              "beside it after 10 s: %ld kB\n",
              ledger_warm, ledger_end,
              (heap_end - heap_warm) - static_cast<long>(ledger_end - ledger_warm));

  zelvar::db::CloseIdleConnections();
  const std::vector<std::string> violations = load.Check(/*strict=*/true);
  std::printf("invariants: %s\n", violations.empty() ? "all hold" : "VIOLATED");
  for (const std::string& violation : violations) std::printf("  %s\n", violation.c_str());
  const long rss_checked = ResidentKilobytes();
  std::printf("resident memory after the checks: %ld kB\n", rss_checked);
  db.reset();
  return failures == 0 && violations.empty() ? 0 : 1;
}
