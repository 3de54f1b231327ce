#include "goods/grant_attempt.h"

#include "db/write_guard.h"
#include "goods/goods_order.h"
#include "util/error_log.h"

namespace zelvar::goods {

int RunGrant(int user_id, const std::function<int(db::Transaction&, GrantAttempt&)>& body,
             const OrderEntry* order) {
  try {
    GrantAttempt attempt;
    std::u16string error_text;
    const int result = db::RunTransaction(
        [&](db::Transaction& transaction) {
          attempt = GrantAttempt();
          std::u16string guard_error;
          if (db::WriteGuard(transaction, db::GuardKind::kPlayerGoods, user_id, 0,
                             &guard_error) != 0) {
            return attempt.Fail(u"the goods guard row (tblWriteGuard) can't be written: " +
                                guard_error);
          }
          if (order == nullptr) return body(transaction, attempt);
          const int claim = ClaimOrderEntry(transaction, *order, attempt);
          if (claim != 0) return claim;
          if (body(transaction, attempt) != 0) return -1;
          return RecordOrderEntry(transaction, *order, attempt);
        },
        &error_text);
    if (result == 0) return 0;
    if (result == kEntryRecorded || result == kOrderForeign) return result;
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
