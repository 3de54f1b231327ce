// The transaction every goods grant runs in, and what one attempt at it
// ran into.
#ifndef ZELVAR_GOODS_GRANT_ATTEMPT_H_
#define ZELVAR_GOODS_GRANT_ATTEMPT_H_

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "db/transaction.h"

namespace zelvar::goods {

// A grant's body may run more than once (after a serialization failure),
// so it only records why it failed; the error log is written once, when
// the outcome is known.
struct GrantAttempt {
  bool failed = false;
  // What the error log receives for the failure; none for failures that
  // leave no record (a field that can't be read).
  std::optional<std::u16string> log_text;

  int Fail(std::u16string text) {
    failed = true;
    log_text = std::move(text);
    return -1;
  }
  int FailUnlogged() {
    failed = true;
    log_text.reset();
    return -1;
  }
};

struct OrderEntry;

// Runs `body` in one transaction, with a fresh attempt each time it runs,
// after the guard row of `user_id`'s goods (db/write_guard.h).
// 0 when committed. Otherwise -1, after one error-log record: the body's
// own, or, when the body never ran (no connection) or the commit failed,
// the transaction's text. Under an `order`, the entry is claimed before
// the body and recorded after it in the same transaction; kEntryRecorded
// or kOrderForeign (goods_order.h) when it may not be granted, with
// nothing done and nothing logged.
int RunGrant(int user_id, const std::function<int(db::Transaction&, GrantAttempt&)>& body,
             const OrderEntry* order = nullptr);

}  // namespace zelvar::goods

#endif  // ZELVAR_GOODS_GRANT_ATTEMPT_H_
