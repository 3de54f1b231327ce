// A player's messages and invitation records read straight from their
// tables, changing nothing: unlike the unread-message request, reading
// here marks no message read. Results are values; nothing is printed. One
// thread at a time, after Session::Open has set the connection.
#ifndef ZELVAR_TOOLS_ZELVAR_OPS_MAILBOX_H_
#define ZELVAR_TOOLS_ZELVAR_OPS_MAILBOX_H_

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zelvar::ops {

struct MessageRow {
  int64_t id = 0;
  int32_t from = 0;
  std::string from_name;  // empty when the sender is no longer in tblUser
  std::string from_nick;
  std::string content;
  std::string time;  // local time text as stored
  bool read = false;

  nlohmann::ordered_json Json() const;
};

struct MessagePeek {
  int64_t unread_total = 0;
  std::vector<MessageRow> unread;  // oldest first, as the module delivers them
  std::vector<MessageRow> read;    // newest first (by time)
};

// The user's unread messages (at most `limit`; `unread_total` counts them
// all) and the `limit` newest read ones.
bool PeekMessages(int32_t user_id, int limit, MessagePeek* peek, std::string* error);

struct InvitationRow {
  int64_t id = 0;
  std::string code;
  std::string email;
  int32_t state = 0;
  int32_t group = 0;
  std::string note;
  int32_t zone = 0;
  int32_t reply = 0;
  std::string time;  // local time text as stored

  nlohmann::ordered_json Json() const;
};

// The invitation records the user stored, by row id.
bool ReadInvitations(int32_t user_id, std::vector<InvitationRow>* rows, std::string* error);

}  // namespace zelvar::ops

#endif  // ZELVAR_TOOLS_ZELVAR_OPS_MAILBOX_H_
