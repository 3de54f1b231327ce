// What the request commands share: the session with the users a command
// names resolved, and the module's replies read for their own checks.
//
// One thread at a time, as the tool runs.
#ifndef ZELVAR_TOOLS_ZELVAR_REQUEST_SUPPORT_H_
#define ZELVAR_TOOLS_ZELVAR_REQUEST_SUPPORT_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codec/replies.h"
#include "tools/zelvar/packet_view.h"
#include "tools/zelvar/session.h"
#include "zelvar/kparam.h"

namespace zelvar::cli {

// M, F or the number.
std::string SexText(int32_t sex);

// The entries of a packet image or packet; none when it is not a packet.
std::vector<PacketEntry> EntriesOf(const std::string& image);
std::vector<PacketEntry> EntriesOf(CKParam& packet);

// Opens the session and resolves the users a command names.
struct Start {
  std::unique_ptr<Session> session;
  std::vector<User> users;
  int exit_code = kExitOk;
  bool ok() const { return session != nullptr; }
};

// Opens the session and resolves `user_args`; on failure `session` is
// null and `exit_code` says why (already printed).
Start Begin(const GlobalOptions& options, const std::vector<std::string>& user_args);

// The friend list of `user` through the module, for checks before and
// after an update; nullopt when it can't be read.
std::optional<std::vector<codec::Friend>> FriendsOf(Session& session, const User& user);

// "; did you mean: lina, lin?" with the user names close to `user_name`,
// or empty when none is (or they can't be read).
std::string DidYouMean(const std::string& user_name);

}  // namespace zelvar::cli

#endif  // ZELVAR_TOOLS_ZELVAR_REQUEST_SUPPORT_H_
