#include "goods/grant_attempt.h"

#include "util/error_log.h"

namespace zelvar::goods {

int RunGrant(const std::function<int(db::Transaction&, GrantAttempt&)>& body) {
  try {
    GrantAttempt attempt;
    std::u16string error_text;
    const int result = db::RunTransaction(
        [&](db::Transaction& transaction) {
          attempt = GrantAttempt();
          return body(transaction, attempt);
        },
        &error_text);
    if (result == 0) return 0;
    if (!attempt.failed) {
      WriteErrorLog(error_text);
    } else if (attempt.log_text) {
      WriteErrorLog(*attempt.log_text);
    }
    return -1;
  } catch (...) {
    return -1;
  }
}

}  // namespace zelvar::goods
