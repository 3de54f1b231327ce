// The request commands' shared steps.
#include "tools/zelvar/request_support.h"

#include "codec/keys.h"
#include "tools/zelvar/ops/accounts.h"

namespace zelvar::cli {

std::string SexText(int32_t sex) {
  if (sex == 1) return "M";
  if (sex == 0) return "F";
  return std::to_string(sex);
}

std::vector<PacketEntry> EntriesOf(const std::string& image) {
  PacketImage packet;
  std::string error;
  if (!ReadPacket(image, &packet, &error)) return {};
  return packet.entries;
}

std::vector<PacketEntry> EntriesOf(CKParam& packet) {
  return EntriesOf(std::string(packet.GetBufferPtr(), static_cast<size_t>(packet.GetLength())));
}

Start Begin(const GlobalOptions& options, const std::vector<std::string>& user_args) {
  Start start;
  start.session = Session::Open(options, &start.exit_code);
  if (!start.session) return start;
  for (const std::string& arg : user_args) {
    auto user = start.session->ResolveUser(arg, &start.exit_code);
    if (!user) {
      start.session.reset();
      return start;
    }
    start.users.push_back(*user);
  }
  return start;
}

std::optional<std::vector<codec::Friend>> FriendsOf(Session& session, const User& user) {
  std::string image;
  if (session.module().Query(user.id, codec::kFriendListKind, &image) != 0) return std::nullopt;
  CKParam reply;
  std::vector<codec::Friend> friends;
  int32_t server_time = 0;
  std::string error;
  if (reply.SetBufferPtr(image.data(), static_cast<int>(image.size())) != 0 ||
      !codec::ReadFriends(reply, &friends, &server_time, &error)) {
    return std::nullopt;
  }
  return friends;
}

std::string DidYouMean(const std::string& user_name) {
  std::vector<std::string> names;
  std::string error;
  if (!ops::SuggestUserNames(user_name, &names, &error) || names.empty()) return "";
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
  return "; did you mean: " + list + "?";
}

}  // namespace zelvar::cli
