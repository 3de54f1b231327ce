// How much text the writes can carry: the width of each text column they
// fill and the length a packet text keeps. Text past a limit is refused
// before anything is sent, since the module would store it cut short (a
// packet text keeps its length mod 65,536) or the database would refuse it.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_LIMITS_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_LIMITS_H_

#include <string>
#include <string_view>

#include "codec/keys.h"
#include "codec/requests.h"

namespace zelvar::ops {

struct TextLimit {
  const char* what;    // "message text"
  const char* column;  // where it is stored
  int max_chars;
};

// The text columns as the schema files declare them (schema/*.sql); keep
// the two in step. PostgreSQL and MariaDB count code points, SQL Server
// UTF-16 units: a text must fit in both counts.
inline constexpr TextLimit kMessageText{"message text", "tblUserMsg.sContent", 4000};
inline constexpr TextLimit kInviteCode{"invitation code", "tblInviteRecord.sInviteCode", 256};
inline constexpr TextLimit kInvitedEmail{"e-mail address", "tblInviteRecord.sInvitedEmail", 256};
inline constexpr TextLimit kInviteNote{"note", "tblInviteRecord.sNote", 1024};
inline constexpr TextLimit kOrderId{"order id", "tblGoodsOrder.sOrderId", codec::kMaxOrderIdLength};

// A packet text keeps its length in 16 bits.
inline constexpr size_t kMaxPacketTextUnits = 65535;

// Empty when `text` fits `limit`; otherwise why not, naming the limit
// ("the message text is 5000 characters long; tblUserMsg.sContent holds
// at most 4000").
std::string CheckTextLimit(const TextLimit& limit, std::u16string_view text);
// The same for a text with no column behind it (`what` names it).
std::string CheckPacketText(std::string_view what, std::u16string_view text);
// The first of an invitation's texts that does not fit, or empty.
std::string CheckInvitationLimits(const codec::Invitation& invitation);

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_LIMITS_H_
