// The request cases of the request benchmarks: for each request how the
// module answers it (through the exports, as a host calls them), how its
// limit does (the same statements on a raw connection, the packets read and
// built as host and module do) and, where there is less, the least raw work
// that yields the same reply.
//
// The cases are made once per benchmark; a Step runs on one thread.
#ifndef ZELVAR_BENCH_REQUEST_CASES_H_
#define ZELVAR_BENCH_REQUEST_CASES_H_

#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "zelvar/kparam.h"

namespace zelvar::bench {

// One request: how the module answers it and how its limits do, each as a
// callable made once per benchmark run. A callable answers false on
// failure; with `digest` it records the reply for the comparison.
using Step = std::function<bool(std::string* digest)>;

struct Request {
  std::string name;                       // "1610/friends:100"
  std::function<Step()> ours;             // through the exports
  std::function<Step(RawDb&)> limit;      // its own statements, raw API on `db`
  // The least raw work that yields the byte-identical reply (fewer or
  // cheaper statements than the request's own). Unset where the request's
  // own statements are already the least.
  std::function<Step(RawDb&)> least;
  std::string reset_each;                 // run after every iteration (manual time)
  std::string cleanup;                    // run every kCleanupEvery iterations
  // The rows come in no set order (no ORDER BY), so replies are compared
  // as sets of values.
  bool unordered = false;
};

// Every request case, updates first.
std::vector<Request> AllRequests();
std::vector<Request> UpdateRequests();  // 1500, 1505, 1510, 1550
std::vector<Request> QueryRequests();   // 1605, 1610, 1615, 1620
std::vector<Request> RecordRequests();  // 1660, 1560

// The host's side: each call reads the reply as a host does (ReadReply),
// leaving out `skip_key` in the digest.
bool AskQuery(int user, unsigned kind, std::string* digest, int skip_key = 0x10000);
bool AskRecord(int data_id, const std::string& request, std::string* digest);
bool Put(int user, int data_id, CKParam& request, std::string* digest);

// The handler's side of a request: the host's bytes loaded into a packet
// of its own.
void Load(CKParam& packet, CKParam& request);

}  // namespace zelvar::bench

#endif  // ZELVAR_BENCH_REQUEST_CASES_H_
