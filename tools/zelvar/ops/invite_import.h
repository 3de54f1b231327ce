// Importing invitation records: many rows handed to the module request by
// request, each request's stored rows counted in the database, rows the
// user already has (by invitation code) skipped, and a stop between
// requests when Ctrl-C asks for one.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_INVITE_IMPORT_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_INVITE_IMPORT_H_

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "codec/requests.h"
#include "zelvar/kparam.h"

namespace zelvar::ops {

// Rows per invitation request. Row i's fields travel under the keys
// i*100+1 ... i*100+7, kept to 16 bits beside the keys 1, -100 and -300.
// Up to 327 rows the keys stay positive shorts (row 327's last key is
// 32,707); rows past 7,209 wrap onto row 1's keys (7,210*100+5 is 105 mod
// 65,536), so a request of 10,000 rows loses rows silently. 300 rows keep
// every key below 30,008 and distinct, and keep each request short enough
// that a stop between requests comes soon.
inline constexpr int kInvitationsPerRequest = 300;

// Leaves out of `rows` those whose code `user_id` already has stored (a
// re-run of an import that was cut short); `skipped` gets their count.
// False with `error` set when the stored codes can't be read.
bool SkipStoredInvitations(int32_t user_id, std::vector<codec::Invitation>* rows, int64_t* skipped,
                           std::string* error);

struct ImportResult {
  int64_t sent = 0;    // rows handed to the module
  int64_t stored = 0;  // rows counted in the database after each request
  int requests = 0;
  bool interrupted = false;  // stopped between requests
  std::string reason;        // the database's reason for the first row not stored
  std::string error;         // a count that could not be made (the import stopped there)
  nlohmann::ordered_json Json() const;
};

// Sends `rows` of `user_id` in requests of kInvitationsPerRequest rows;
// `put` hands one request to the module. Before each request it looks at
// `stop` and ends there when it is set.
ImportResult ImportInvitations(int32_t user_id, const std::vector<codec::Invitation>& rows, bool log_sql,
                               const std::function<int(CKParam&)>& put, const volatile std::sig_atomic_t* stop);

// While one lives, SIGINT only sets flag(); the handler in force before
// comes back when it goes. One at a time.
class InterruptFlag {
 public:
  InterruptFlag();
  ~InterruptFlag();
  InterruptFlag(const InterruptFlag&) = delete;
  InterruptFlag& operator=(const InterruptFlag&) = delete;
  const volatile std::sig_atomic_t* flag() const;

 private:
  struct sigaction previous_ {};
};

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_INVITE_IMPORT_H_
