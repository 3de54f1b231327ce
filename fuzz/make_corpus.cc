// Writes the seed corpora of the request fuzzers: valid requests for every
// command, query kind and request code, and the near misses next to them
// (wrong types, missing keys, refused lengths), in the input layouts of
// fuzz_input.h.
//
//   make_corpus <folder>    writes <folder>/<fuzzer>/<seed>, replacing
//                           files of the same name
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "codec/keys.h"
#include "codec/requests.h"
#include "fuzz_input.h"
#include "zelvar/kparam.h"

namespace {

using zelvar::fuzz::AppendWord32;
using zelvar::fuzz::CodeChoice;
using zelvar::fuzz::kFixHeader;
using zelvar::fuzz::kNoLength;
using zelvar::fuzz::kNullImage;
using zelvar::fuzz::kReplyHeld;
using zelvar::fuzz::kShortLength;
using zelvar::fuzz::UserChoice;
namespace codec = zelvar::codec;

std::filesystem::path root;
int written = 0;

void Write(const std::string& fuzzer, const std::string& name, const std::string& bytes) {
  const std::filesystem::path folder = root / fuzzer;
  std::filesystem::create_directories(folder);
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ++written;
}

std::string Image(CKParam& packet) {
  return std::string(packet.GetBufferPtr(), static_cast<size_t>(packet.GetLength()));
}

std::string Image(CKParam&& packet) { return Image(packet); }

std::string Image(const std::function<void(CKParam&)>& fill) {
  CKParam packet;
  fill(packet);
  return Image(packet);
}

// flags, user choice, code choice, image.
std::string Request(uint8_t flags, int user, int code_index, const std::string& image) {
  std::string input;
  input.push_back(static_cast<char>(flags));
  input.push_back(static_cast<char>(UserChoice(user)));
  input.push_back(static_cast<char>(CodeChoice(code_index)));
  return input + image;
}

// Indexes into kUpdateCodes and kRecordCodes.
constexpr int k1550 = 0, k1500 = 1, k1505 = 2, k1510 = 3;
constexpr int k1660 = 0, k1560 = 1, kOtherRecord = 2;

const char kUpdates[] = "put_user_extra_data";

void Messages() {
  const std::string f = kUpdates;
  auto message = [](int to, const CString& text) { return Image(codec::MessageRequest(to, text)); };
  Write(f, "message_to_friend", Request(0, 1, k1500, message(2, u"今晚八点一起打副本吗？ 🌹")));
  Write(f, "message_friendship_stored_reversed", Request(0, 1, k1500, message(3, u"hi")));
  Write(f, "message_not_friends", Request(0, 2, k1500, message(5, u"hi")));
  Write(f, "message_with_quotes",
        Request(0, 1, k1500, message(2, u"it's O'Brien's'); DROP TABLE tblUser; -- \\' \u2019")));
  Write(f, "message_empty", Request(0, 1, k1500, message(2, u"")));
  Write(f, "message_lone_surrogate", Request(0, 1, k1500, message(2, CString(u"a\xD800z"))));
  Write(f, "message_embedded_zero", Request(0, 1, k1500, message(2, CString(u"ab\0cd", 5))));
  Write(f, "message_under_invitation_code", Request(0, 1, k1550, message(2, u"DataId ignored")));
  Write(f, "message_command_as_long", Request(0, 1, k1500, Image([](CKParam& p) {
                                                 p.SetLong(codec::kCommandKey, codec::kSendMessage);
                                                 p.SetInt(codec::kMessageRecipientKey, 2);
                                                 p.SetCString(codec::kMessageContentKey, u"x");
                                               })));
  Write(f, "message_command_as_short", Request(0, 1, k1500, Image([](CKParam& p) {
                                                  p.SetShortInt(codec::kCommandKey, codec::kSendMessage);
                                                  p.SetInt(codec::kMessageRecipientKey, 2);
                                                  p.SetCString(codec::kMessageContentKey, u"x");
                                                })));
  Write(f, "message_without_text", Request(0, 1, k1500, Image([](CKParam& p) {
                                              p.SetInt(codec::kCommandKey, codec::kSendMessage);
                                              p.SetInt(codec::kMessageRecipientKey, 2);
                                            })));
  Write(f, "message_text_as_bytes", Request(0, 1, k1500, Image([](CKParam& p) {
                                               p.SetInt(codec::kCommandKey, codec::kSendMessage);
                                               p.SetInt(codec::kMessageRecipientKey, 2);
                                               p.SetChar(codec::kMessageContentKey, "abc", 3);
                                             })));
  Write(f, "message_header_fixed", Request(kFixHeader, 1, k1500, message(2, u"fixed")));
  Write(f, "message_length_short", Request(kShortLength, 1, k1500, message(2, u"short")));
  Write(f, "message_null_image", Request(kNullImage, 1, k1500, message(2, u"null")));
}

void FriendshipsAndTrades() {
  const std::string f = kUpdates;
  auto end = [](int former) { return Image(codec::EndFriendshipRequest(former)); };
  Write(f, "end_friendship", Request(0, 1, k1505, end(2)));
  Write(f, "end_friendship_stored_reversed", Request(0, 1, k1505, end(3)));
  Write(f, "end_friendship_of_strangers", Request(0, 1, k1505, end(7)));
  Write(f, "end_friendship_with_self", Request(0, 1, k1505, end(1)));

  auto trade = [](int partner, int play) { return Image(codec::TradeRequest(partner, play)); };
  Write(f, "trade_between_friends", Request(0, 1, k1510, trade(4, 77)));
  Write(f, "trade_stored_reversed", Request(0, 8, k1510, trade(7, -1)));
  Write(f, "trade_not_friends", Request(0, 4, k1510, trade(5, 3)));
  Write(f, "trade_without_play_id", Request(0, 1, k1510, Image([](CKParam& p) {
                                               p.SetInt(codec::kCommandKey, codec::kRecordTrade);
                                               p.SetInt(codec::kTradePartnerKey, 2);
                                             })));
  Write(f, "unknown_command", Request(0, 1, k1500, Image([](CKParam& p) { p.SetInt(codec::kCommandKey, 1600); })));
  Write(f, "header_only", Request(0, 1, k1500, Image([](CKParam&) {})));
  Write(f, "image_shorter_than_header", Request(0, 1, k1500, std::string("\x0c\x00\x00\x00", 4)));
}

void Invitations() {
  const std::string f = kUpdates;
  auto row = [](CKParam& p, int i, const CString& code, const CString& email,
                const CString& note) { codec::SetInvitation(p, i, {code, i % 2, email, 1, note, 3, 0}); };
  Write(f, "invitations_second_row_incomplete", Request(0, 1, k1550, Image([&](CKParam& p) {
          p.SetInt(codec::kCommandKey, codec::kStoreInvitations);
          p.SetInt(codec::kInvitationCountKey, 3);
          row(p, 1, u"LINA-1", u"a@example.com", u"大学室友");
          p.SetCString(codec::InvitationKey(2, codec::kInviteCodeField), u"LINA-2");
          p.SetInt(codec::InvitationKey(2, codec::kInviteStateField), 0);
          row(p, 3, u"LINA-3", u"c@example.com", u"third");
        })));
  Write(f, "invitations_logged", Request(0, 2, k1550, Image([&](CKParam& p) {
          p.SetInt(codec::kCommandKey, codec::kStoreInvitations);
          p.SetInt(codec::kInvitationCountKey, 2);
          p.SetBoolean(codec::kInvitationLogKey, true);
          row(p, 1, u"M'1", u"o'neil@example.com", u"");
          row(p, 2, u"M-2", u"x@example.com", u"note; --");
        })));
  Write(f, "invitations_wrong_code", Request(0, 1, k1500, Image([&](CKParam& p) {
          p.SetInt(codec::kCommandKey, codec::kStoreInvitations);
          p.SetInt(codec::kInvitationCountKey, 1);
          row(p, 1, u"X", u"y", u"z");
        })));
  Write(f, "invitations_without_count", Request(0, 1, k1550, Image([&](CKParam& p) {
          p.SetInt(codec::kCommandKey, codec::kStoreInvitations);
          row(p, 1, u"X", u"y", u"z");
        })));
  Write(f, "invitations_rows_with_wrapped_keys", Request(0, 3, k1550, Image([&](CKParam& p) {
          p.SetInt(codec::kCommandKey, codec::kStoreInvitations);
          p.SetInt(codec::kInvitationCountKey, 330);
          row(p, 327, u"R327", u"e", u"n");
          row(p, 328, u"R328", u"e", u"n");
          row(p, 329, u"R329", u"e", u"n");
        })));
}

// Operations of the query fuzzer.
std::string Ask(int user, int kind_index) {
  return std::string{6, static_cast<char>(UserChoice(user)), static_cast<char>(CodeChoice(kind_index))};
}
std::string Many(int what, int count_byte, int user) {
  return std::string{5, static_cast<char>(what), static_cast<char>(count_byte),
                     static_cast<char>(UserChoice(user))};
}
std::string Null() { return std::string(1, 0); }
std::string Int(int value) {
  std::string v(1, 1);
  AppendWord32(&v, static_cast<uint32_t>(value));
  return v;
}
std::string Real(uint64_t bits) {
  std::string v(1, 3);
  AppendWord32(&v, static_cast<uint32_t>(bits));
  AppendWord32(&v, static_cast<uint32_t>(bits >> 32));
  return v;
}
std::string Text(const std::string& text) {
  return std::string{4, static_cast<char>(text.size())} + text;
}
std::string Blob(const std::string& bytes) {
  return std::string{5, static_cast<char>(bytes.size())} + bytes;
}
std::string Time(int year, int month, int day, int hour, int minute, int second) {
  return std::string{6, static_cast<char>(year & 0xFF), static_cast<char>(year >> 8),
                     static_cast<char>(month), static_cast<char>(day), static_cast<char>(hour),
                     static_cast<char>(minute), static_cast<char>(second)};
}

void Queries() {
  const std::string f = "get_user_extra_data";
  const char* kinds[] = {"trade_history", "friend_list", "trade_items", "unread_messages",
                         "reserved_kind", "unknown_kind"};
  for (int k = 0; k < 6; ++k) Write(f, std::string("ask_") + kinds[k], Ask(1, k));
  Write(f, "ask_every_kind_twice", Ask(1, 0) + Ask(1, 1) + Ask(1, 2) + Ask(1, 3) + Ask(1, 3));
  Write(f, "ask_for_a_stranger", Ask(10, 0) + Ask(10, 1) + Ask(10, 3));
  {
    std::string raw = {6, static_cast<char>(0xF0)};
    AppendWord32(&raw, 0x80000000u);
    raw.push_back(static_cast<char>(0xF0));
    AppendWord32(&raw, codec::kTradeHistoryKind + 0x10000u);
    Write(f, "ask_with_raw_values", raw);
  }
  // Messages with odd columns, then the unread messages.
  Write(f, "message_with_null_content_and_time",
        std::string{0, static_cast<char>(UserChoice(1)), static_cast<char>(UserChoice(2))} +
            Null() + Null() + Int(0) + Ask(1, 3));
  Write(f, "message_not_utf8",
        std::string{0, static_cast<char>(UserChoice(1)), static_cast<char>(UserChoice(2))} +
            Text("\xff\xfe\xc0\x80\xed\xa0\x80 ok") + Time(2011, 5, 3, 9, 5, 7) + Int(0) +
            Ask(1, 3));
  Write(f, "message_time_out_of_range",
        std::string{0, static_cast<char>(UserChoice(2)), static_cast<char>(UserChoice(1))} +
            Blob(std::string("a\0b", 3)) + Time(9999, 13, 32, 25, 61, 61) + Text("0") + Ask(2, 3));
  // Trades whose columns hold what a number column should not.
  Write(f, "trade_with_odd_values",
        std::string{1, static_cast<char>(UserChoice(1)), static_cast<char>(UserChoice(3))} +
            Real(0x7FF8000000000000ull) + Text("2011-05-03T09:05:07.123") + Null() +
            std::string{1, static_cast<char>(UserChoice(3)), static_cast<char>(UserChoice(1))} +
            Real(0x7E37E43C8800759Cull) + Time(1899, 12, 31, 23, 59, 59) + Int(10) + Ask(1, 0));
  Write(f, "item_with_odd_values",
        std::string{2} + Blob("\xff\x00name") + Null() + Real(0xFFF0000000000000ull) +
            Text("image,;smallImage,small;") + Real(0x7FF8000000000000ull) +
            Real(0x7E37E43C8800759Cull) + Ask(1, 2));
  Write(f, "new_player_as_friend",
        std::string{3} + Text("newbie") + Null() + Text("x") + Null() + Real(0x3FF0000000000000ull) +
            Int(-5) + std::string{4, static_cast<char>(UserChoice(9)), static_cast<char>(UserChoice(1))} +
            Ask(1, 1) + Ask(9, 1));
  // Enough rows to carry the reply keys past 16 bits.
  Write(f, "many_unread_messages", Many(0, 77, 2) + Ask(2, 3));
  Write(f, "many_trades", Many(1, 110, 3) + Ask(3, 0));
  Write(f, "many_items", Many(2, 110, 1) + Ask(1, 2));
  Write(f, "many_friends", Many(3, 200, 6) + Ask(6, 1));
}

std::string Lookup(const CString& name) { return Image(codec::AccountRequest(name)); }

// A goods sending whose count `send_num` need not match its entries.
std::string Goods(int send_num, const CString& account,
                  const std::vector<codec::GoodsEntry>& entries) {
  return Image([&](CKParam& p) {
    p.SetInt(codec::kSendCountKey, send_num);
    p.SetCString(codec::kSendAccountKey, account);
    for (size_t i = 0; i < entries.size(); ++i) codec::SetGoodsEntry(p, static_cast<int>(i), entries[i]);
  });
}

void Records() {
  const std::string f = "get_query_extra_data";
  Write(f, "lookup", Request(0, 1, k1660, Lookup(u"lina")));
  Write(f, "lookup_with_quote", Request(0, 1, k1660, Lookup(u"o'brien")));
  Write(f, "lookup_chinese_name_null_fields", Request(0, 1, k1660, Lookup(u"关羽")));
  Write(f, "lookup_missing", Request(0, 1, k1660, Lookup(u"nobody' OR '1'='1")));
  Write(f, "lookup_empty_name", Request(0, 1, k1660, Lookup(u"")));
  Write(f, "lookup_name_as_int", Request(0, 1, k1660, Image([](CKParam& p) { p.SetInt(codec::kLookupNameKey, 1); })));
  Write(f, "lookup_not_a_packet", Request(0, 1, k1660, "not a packet at all"));
  Write(f, "lookup_reply_held", Request(kReplyHeld, 1, k1660, Lookup(u"mira")));
  Write(f, "lookup_no_length", Request(kNoLength, 1, k1660, Lookup(u"mira")));
  Write(f, "lookup_null_image", Request(kNullImage, 1, k1660, Lookup(u"mira")));
  Write(f, "other_request_code", Request(0, 1, kOtherRecord, Lookup(u"lina")));

  Write(f, "goods_time_limited", Request(0, 1, k1560, Goods(3, u"mira", {{1003, u"7天", 1, 10, 2},
                                                                          {1004, u"30天", 1, 20, 0},
                                                                          {2002, u"永久", 2, 0, 5}})));
  Write(f, "goods_quota", Request(0, 1, k1560, Goods(3, u"lina", {{3100, u"1个", 3100, 1, 1},
                                                                  {3150, u"2个", 3150, 2, 2},
                                                                  {3210, u"6个", 3210, 6, 6}})));
  Write(f, "goods_quota_to_faces", Request(0, 1, k1560, Goods(2, u"kai", {{3253, u"1个", 3253, 0, 0},
                                                                          {3256, u"6个", 3256, 0, 0}})));
  Write(f, "goods_quota_to_unfinished_entry",
        Request(0, 1, k1560, Goods(1, u"bochen", {{3100, u"1个", 3100, 0, 0}})));
  Write(f, "goods_quota_to_null_face",
        Request(0, 1, k1560, Goods(1, u"yue", {{3150, u"2个", 3150, 0, 0}})));
  Write(f, "goods_wrong_amount_texts", Request(0, 1, k1560, Goods(3, u"mira", {{1, u"1个", 1, 0, 0},
                                                                               {3100, u"7天", 3100, 0, 0},
                                                                               {5, u"7天 ", 1, 0, 0}})));
  Write(f, "goods_negative_amounts", Request(0, 1, k1560, Goods(2, u"mira", {{1, u"7天", 1, -1, 0},
                                                                             {1, u"7天", 1, 0, -1}})));
  Write(f, "goods_wrapping_keys",
        Request(0, 1, k1560, Goods(5, u"ayla", {{1, u"7天", 1, 1, 1}, {2, u"7天", 1, 1, 1},
                                                {3, u"7天", 1, 1, 1}, {4, u"30天", 1, 1, 1},
                                                {5, u"永久", 1, 0x7FFFFFFF, 0x7FFFFFFF}})));
  Write(f, "goods_count_beyond_entries", Request(0, 1, k1560, Goods(4097, u"mira", {{1, u"7天", 1, 0, 0}})));
  Write(f, "goods_none_to_send", Request(0, 1, k1560, Goods(0, u"mira", {})));
  Write(f, "goods_unknown_account", Request(0, 1, k1560, Goods(1, u"'; DELETE FROM tblUserGoods; --", {{1, u"7天", 1, 0, 0}})));
  Write(f, "goods_reply_held", Request(kReplyHeld, 1, k1560, Goods(1, u"mira", {{1, u"7天", 1, 0, 0}})));
  Write(f, "goods_header_fixed", Request(kFixHeader, 1, k1560, Goods(1, u"mira", {{1, u"30天", 1, 0, 0}})));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_corpus <folder>\n");
    return 2;
  }
  root = argv[1];
  Messages();
  FriendshipsAndTrades();
  Invitations();
  Queries();
  Records();
  std::printf("make_corpus: %d seeds under %s\n", written, root.c_str());
  return 0;
}
