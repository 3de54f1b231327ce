// The mixed load's ledgers as text (mixed_load.h): one process writes
// what its requests reported, another reads the ledgers of every process
// back to check the database they shared. Times are nanoseconds of the
// monotonic clock.
//
// A file is a sequence of records, each a tag and its numbers:
//   ledger THREAD
//   sent N KEY...            send_failed N KEY...
//   deliveries N (KEY BEGIN END)...
//   trades N (PAIR COUNT)... and alike trade_failed, quota, quota_failed,
//     time_grants, time_failed (by player)
//   invitations N (KEY BEGIN END)...
//   sequence NEXT            counts (REQUESTS FAILURES) per kind
//   trouble N (BEGIN END)...
//   end

#include <istream>
#include <ostream>

#include "faults/mixed_load.h"

namespace zelvar::test {
namespace {

using Clock = MixedLoad::Clock;

int64_t Nanos(Clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

Clock::time_point AtNanos(int64_t nanos) {
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(nanos)));
}

void WriteKeys(std::ostream& out, const char* tag, const std::vector<uint64_t>& keys) {
  out << tag << ' ' << keys.size();
  for (uint64_t key : keys) out << ' ' << key;
  out << '\n';
}

void WriteCounts(std::ostream& out, const char* tag, const std::map<int, int>& counts) {
  out << tag << ' ' << counts.size();
  for (const auto& [what, count] : counts) out << ' ' << what << ' ' << count;
  out << '\n';
}

// Reads the tag `tag` and its count; false when another tag stands there.
bool Expect(std::istream& in, const char* tag, size_t* count) {
  std::string word;
  return static_cast<bool>(in >> word) && word == tag && (count == nullptr || in >> *count);
}

bool ReadKeys(std::istream& in, const char* tag, std::vector<uint64_t>* keys) {
  size_t count = 0;
  if (!Expect(in, tag, &count)) return false;
  keys->resize(count);
  for (uint64_t& key : *keys) {
    if (!(in >> key)) return false;
  }
  return true;
}

bool ReadCounts(std::istream& in, const char* tag, std::map<int, int>* counts) {
  size_t count = 0;
  if (!Expect(in, tag, &count)) return false;
  for (size_t i = 0; i < count; ++i) {
    int what = 0, n = 0;
    if (!(in >> what >> n)) return false;
    (*counts)[what] += n;
  }
  return true;
}

// Reads N (KEY BEGIN END) triples into `rows`, made by `make`.
template <typename Row, typename Make>
bool ReadTimed(std::istream& in, const char* tag, std::vector<Row>* rows, Make make) {
  size_t count = 0;
  if (!Expect(in, tag, &count)) return false;
  for (size_t i = 0; i < count; ++i) {
    uint64_t key = 0;
    int64_t begin = 0, end = 0;
    if (!(in >> key >> begin >> end)) return false;
    rows->push_back(make(key, AtNanos(begin), AtNanos(end)));
  }
  return true;
}

}  // namespace

void MixedLoad::WriteLedgers(std::ostream& out) const {
  constexpr int kKinds = static_cast<int>(LoadKind::kCount);
  for (size_t thread = 0; thread < ledgers_.size(); ++thread) {
    const Ledger& ledger = ledgers_[thread];
    int64_t requests = 0;
    for (int kind = 0; kind < kKinds; ++kind) requests += ledger.requests[kind];
    if (requests == 0) continue;
    out << "ledger " << thread << '\n';
    WriteKeys(out, "sent", ledger.sent);
    WriteKeys(out, "send_failed", ledger.send_failed);
    out << "deliveries " << ledger.deliveries.size();
    for (const Delivery& d : ledger.deliveries) {
      out << ' ' << d.message << ' ' << Nanos(d.begin) << ' ' << Nanos(d.end);
    }
    out << '\n';
    WriteCounts(out, "trades", ledger.trades);
    WriteCounts(out, "trade_failed", ledger.trade_failed);
    WriteCounts(out, "quota", ledger.quota);
    WriteCounts(out, "quota_failed", ledger.quota_failed);
    WriteCounts(out, "time_grants", ledger.time_grants);
    WriteCounts(out, "time_failed", ledger.time_failed);
    out << "invitations " << ledger.invitations.size();
    for (const SentInvitation& i : ledger.invitations) {
      out << ' ' << i.key << ' ' << Nanos(i.begin) << ' ' << Nanos(i.end);
    }
    out << "\nsequence " << ledger.sequence << "\ncounts";
    for (int kind = 0; kind < kKinds; ++kind) {
      out << ' ' << ledger.requests[kind] << ' ' << ledger.failures[kind];
    }
    out << '\n';
  }
  out << "trouble " << trouble_.size();
  for (const auto& [begin, end] : trouble_) out << ' ' << Nanos(begin) << ' ' << Nanos(end);
  out << "\nend\n";
}

bool MixedLoad::ReadLedgers(std::istream& in, std::string* error) {
  std::string word;
  while (in >> word && word == "ledger") {
    size_t thread = 0;
    if (!(in >> thread) || thread >= ledgers_.size()) {
      *error = "a ledger of a thread the load does not have";
      return false;
    }
    Ledger& ledger = ledgers_[thread];
    int64_t requests = 0;
    for (int64_t count : ledger.requests) requests += count;
    if (requests != 0) {
      *error = "thread " + std::to_string(thread) + " has two ledgers";
      return false;
    }
    bool ok = ReadKeys(in, "sent", &ledger.sent) && ReadKeys(in, "send_failed", &ledger.send_failed) &&
              ReadTimed(in, "deliveries", &ledger.deliveries,
                        [](uint64_t key, Clock::time_point b, Clock::time_point e) {
                          return Delivery{key, b, e};
                        }) &&
              ReadCounts(in, "trades", &ledger.trades) &&
              ReadCounts(in, "trade_failed", &ledger.trade_failed) &&
              ReadCounts(in, "quota", &ledger.quota) &&
              ReadCounts(in, "quota_failed", &ledger.quota_failed) &&
              ReadCounts(in, "time_grants", &ledger.time_grants) &&
              ReadCounts(in, "time_failed", &ledger.time_failed) &&
              ReadTimed(in, "invitations", &ledger.invitations,
                        [](uint64_t key, Clock::time_point b, Clock::time_point e) {
                          return SentInvitation{key, b, e};
                        }) &&
              Expect(in, "sequence", nullptr) && static_cast<bool>(in >> ledger.sequence) &&
              Expect(in, "counts", nullptr);
    for (int kind = 0; ok && kind < static_cast<int>(LoadKind::kCount); ++kind) {
      ok = static_cast<bool>(in >> ledger.requests[kind] >> ledger.failures[kind]);
    }
    if (!ok) {
      *error = "a malformed ledger of thread " + std::to_string(thread);
      return false;
    }
  }
  size_t count = 0;
  bool ok = word == "trouble" && static_cast<bool>(in >> count);
  for (size_t i = 0; ok && i < count; ++i) {
    int64_t begin = 0, end = 0;
    ok = static_cast<bool>(in >> begin >> end);
    if (ok) trouble_.emplace_back(AtNanos(begin), AtNanos(end));
  }
  if (!ok || !Expect(in, "end", nullptr)) {
    *error = "a malformed list of periods of trouble";
    return false;
  }
  return true;
}

}  // namespace zelvar::test
