// The module's replies read back into plain rows, with the CKParam class
// and the keys of keys.h, as a host reads them. Each reader checks that
// the reply is the one asked for and that its count entry is there.
//
// Pure functions; safe on any thread.
#ifndef ZELVAR_CODEC_REPLIES_H_
#define ZELVAR_CODEC_REPLIES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zelvar/kparam.h"

namespace zelvar::codec {

struct Trade {
  int32_t player = 0;   // who recorded the trade
  int32_t played = 0;   // the other party
  int32_t play_id = 0;
  int32_t time = 0;     // low 32 bits of seconds since 1970; 0 unreadable
  int32_t id = 0;
};

struct Friend {
  int position = 0;     // 1, 2, ...; positions of unreadable profiles are missing
  int32_t id = 0;
  std::u16string nick;
  int32_t sex = 0;
  std::u16string face;
  int32_t logged_in = 0;
};

// One catalogue item: the module's text and the fields read out of it.
struct Item {
  std::u16string text;
  bool parsed = false;  // false: the text is not in the module's form
  int32_t id = 0;
  std::u16string name, description;
  int32_t pacificate = 0;
  std::u16string image, small_image;
  double x = 0, y = 0;
};

struct Message {
  int32_t id = 0;
  int32_t from = 0;
  std::u16string content;
  int32_t time = 0;
};

struct Account {
  int32_t result = -1;
  std::optional<int32_t> id, sex, level;
  std::optional<std::u16string> nick;
};

struct GoodsSent {
  int32_t result = -1;
  int32_t granted = 0, amount1_sum = 0, amount2_sum = 0;
  // Key 400, answered only to a sending with an order id.
  std::optional<int32_t> order_repeated;
};

// Each returns false with `error` set when the reply is not the kind's.
bool ReadTrades(CKParam& reply, std::vector<Trade>* trades, std::string* error);
bool ReadFriends(CKParam& reply, std::vector<Friend>* friends, int32_t* server_time,
                 std::string* error);
bool ReadItems(CKParam& reply, std::vector<Item>* items, std::string* error);
bool ReadMessages(CKParam& reply, std::vector<Message>* messages, std::string* error);
bool ReadAccount(CKParam& reply, int data_id, Account* account, std::string* error);
bool ReadGoodsSent(CKParam& reply, GoodsSent* sent, std::string* error);

// The catalogue text id,..;name,..;desc,..;pacificate,..;image,..;
// smallImage,small..;x,..;y,..; taken apart (names and descriptions may
// hold commas and semicolons).
Item ParseItemText(const std::u16string& text);

}  // namespace zelvar::codec

#endif  // ZELVAR_CODEC_REPLIES_H_
