// The host's side of every request, shared by the tests, the load program
// and the benchmarks: packets built by the request codec as a game server
// builds them, the exported functions called, reply images read record by
// record straight from their bytes (so a text keeps every code unit, a zero
// unit included). Thread-safe: each call works on its own packets.
#ifndef ZELVAR_TESTS_KIT_CLIENT_H_
#define ZELVAR_TESTS_KIT_CLIENT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/requests.h"

namespace zelvar::test {

struct ReplyRecord {
  short key = 0;
  short type = 0;
  std::string data;
};

// What a request that answers with a reply packet handed out.
struct Reply {
  int result = 0;
  bool handed_out = false;
  bool well_formed = true;  // the image's header and records agree
  std::vector<ReplyRecord> records;

  // The first record with `key`, if it is an integer (type 20) / a text
  // (type 40), as the host's packet reads it (a text whole, zero units too).
  std::optional<int32_t> Int(short key) const;
  std::optional<std::u16string> Text(short key) const;
};

// Reads a reply image; `well_formed` false when it is not a packet.
Reply ReadReply(int result, const char* image, int length);

// PutUserExtraDataFriend commands; the result of the call.
int SendMessage(int from, int to, const std::u16string& content);         // 1500
int EndFriendship(int user, int former_friend);                           // 1505
int RecordTrade(int user, int partner, int play_id);                      // 1510
using Invitation = codec::Invitation;
int StoreInvitations(int user, const std::vector<Invitation>& rows);       // 1550

// GetUserExtraDataFriend: kinds 1605, 1610, 1615, 1620.
Reply QueryFriendData(int user, unsigned kind);

// GetQueryExtraDataFriendRecord.
Reply LookUpAccount(int user, const std::u16string& name);                // 1660
using GoodsEntry = codec::GoodsEntry;
Reply SendGoods(int user, const std::u16string& account,
                const std::vector<GoodsEntry>& entries);                  // 1560

// The text as a handler receives it from a packet and the database gets
// it: up to the first zero code unit, with lone surrogates as "?".
std::u16string AsReceived(const std::u16string& sent);

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_KIT_CLIENT_H_
