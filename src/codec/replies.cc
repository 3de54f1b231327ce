// Reading the module's reply packets.
#include "codec/replies.h"

#include <cstdlib>

#include "codec/keys.h"

namespace zelvar::codec {
namespace {

bool CheckKind(CKParam& reply, unsigned kind, std::string* error) {
  int value = 0;
  if (reply.GetInt(kReplyKindKey, value) != 0 || static_cast<unsigned>(value) != kind) {
    *error = "the reply does not answer request " + std::to_string(kind);
    return false;
  }
  return true;
}

bool ReadCount(CKParam& reply, short key, int* count, std::string* error) {
  if (reply.GetInt(key, *count) != 0) {
    *error = "the reply has no count at key " + std::to_string(key);
    return false;
  }
  return true;
}

std::string MissingRow(const char* what, int row) {
  return "the reply counts more " + std::string(what) + " than it holds (" + what + " " +
         std::to_string(row) + " is incomplete)";
}

// The text from `start` up to the last `marker` before `end`.
size_t FindLastBefore(const std::u16string& text, const std::u16string& marker, size_t end) {
  if (end < marker.size()) return std::u16string::npos;
  return text.rfind(marker, end - marker.size());
}

// The text's ASCII characters; every other code unit becomes '?', which
// no number holds.
std::string AsciiOf(const std::u16string& text) {
  std::string ascii;
  ascii.reserve(text.size());
  for (char16_t unit : text) ascii.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return ascii;
}

}  // namespace

bool ReadTrades(CKParam& reply, std::vector<Trade>* trades, std::string* error) {
  int count = 0;
  if (!CheckKind(reply, kTradeHistoryKind, error) || !ReadCount(reply, kTradeCountKey, &count, error)) {
    return false;
  }
  trades->clear();
  for (int r = 1; r <= count; ++r) {
    Trade trade;
    if (reply.GetInt(TradeKey(r, kTradePlayerField), trade.player) != 0 ||
        reply.GetInt(TradeKey(r, kTradeOtherField), trade.played) != 0 ||
        reply.GetInt(TradeKey(r, kTradePlayIdField), trade.play_id) != 0 ||
        reply.GetInt(TradeKey(r, kTradeTimeField), trade.time) != 0 ||
        reply.GetInt(TradeKey(r, kTradeIdField), trade.id) != 0) {
      *error = MissingRow("trades", r);
      return false;
    }
    trades->push_back(trade);
  }
  return true;
}

bool ReadFriends(CKParam& reply, std::vector<Friend>* friends, int32_t* server_time,
                 std::string* error) {
  int count = 0;
  if (!CheckKind(reply, kFriendListKind, error) || !ReadCount(reply, kFriendCountKey, &count, error)) {
    return false;
  }
  if (reply.GetInt(kServerTimeKey, *server_time) != 0) {
    *error = "the reply has no server time at key -9999";
    return false;
  }
  friends->clear();
  // A friend whose profile could not be read leaves its position empty, so
  // positions are searched until every counted friend is found. The keys
  // repeat after 32768 positions.
  for (int i = 1; static_cast<int>(friends->size()) < count && i <= 32768; ++i) {
    Friend entry;
    entry.position = i;
    if (reply.GetInt(FriendKey(i, kFriendIdField), entry.id) != 0) continue;
    int logged_in = 0;
    if (reply.GetCString(FriendKey(i, kFriendNickField), entry.nick) != 0 ||
        reply.GetInt(FriendKey(i, kFriendSexField), entry.sex) != 0 ||
        reply.GetCString(FriendKey(i, kFriendFaceField), entry.face) != 0 ||
        reply.GetInt(FriendKey(i, kFriendLoginField), logged_in) != 0) {
      *error = MissingRow("friends", i);
      return false;
    }
    entry.logged_in = logged_in;
    friends->push_back(std::move(entry));
  }
  if (static_cast<int>(friends->size()) < count) {
    *error = "the reply counts " + std::to_string(count) + " friends but holds " +
             std::to_string(friends->size());
    return false;
  }
  return true;
}

Item ParseItemText(const std::u16string& text) {
  Item item;
  item.text = text;
  // Fixed-form fields are found from the ends inwards; only the name and
  // the description are free text.
  if (text.rfind(u"id,", 0) != 0 || text.empty() || text.back() != u';') return item;
  const size_t name = text.find(u";name,");
  const size_t y = FindLastBefore(text, u";y,", text.size());
  const size_t x = y == std::u16string::npos ? y : FindLastBefore(text, u";x,", y);
  const size_t small = x == std::u16string::npos ? x : FindLastBefore(text, u";smallImage,small", x);
  const size_t image = small == std::u16string::npos ? small : FindLastBefore(text, u";image,", small);
  const size_t pacificate = image == std::u16string::npos ? image : FindLastBefore(text, u";pacificate,", image);
  if (name == std::u16string::npos || pacificate == std::u16string::npos || name >= pacificate) return item;
  const size_t desc = text.find(u";desc,", name);
  if (desc == std::u16string::npos || desc >= pacificate) return item;
  auto piece = [&](size_t from, size_t marker_length, size_t to) {
    return text.substr(from + marker_length, to - from - marker_length);
  };
  auto number = [](const std::u16string& digits) { return AsciiOf(digits); };
  const std::string id = number(text.substr(3, name - 3));
  const std::string pac = number(piece(pacificate, 12, image));
  char* end = nullptr;
  item.id = static_cast<int32_t>(std::strtol(id.c_str(), &end, 10));
  if (id.empty() || *end != '\0') return item;
  item.pacificate = static_cast<int32_t>(std::strtol(pac.c_str(), &end, 10));
  if (pac.empty() || *end != '\0') return item;
  item.x = std::strtod(number(piece(x, 3, y)).c_str(), nullptr);
  item.y = std::strtod(number(piece(y, 3, text.size() - 1)).c_str(), nullptr);
  item.name = piece(name, 6, desc);
  item.description = piece(desc, 6, pacificate);
  item.image = piece(image, 7, small);
  item.small_image = u"small" + piece(small, 17, x);
  item.parsed = true;
  return item;
}

bool ReadItems(CKParam& reply, std::vector<Item>* items, std::string* error) {
  int count = 0;
  if (!CheckKind(reply, kTradeItemsKind, error) || !ReadCount(reply, kItemCountKey, &count, error)) {
    return false;
  }
  items->clear();
  for (int k = 1; k <= count; ++k) {
    std::u16string text;
    if (reply.GetCString(ItemKey(k), text) != 0) {
      *error = MissingRow("items", k);
      return false;
    }
    items->push_back(ParseItemText(text));
  }
  return true;
}

bool ReadMessages(CKParam& reply, std::vector<Message>* messages, std::string* error) {
  int count = 0;
  if (!CheckKind(reply, kUnreadMessagesKind, error) ||
      !ReadCount(reply, kMessageCountKey, &count, error)) {
    return false;
  }
  messages->clear();
  for (int m = 1; m <= count; ++m) {
    Message message;
    if (reply.GetInt(MessageKey(m, kMessageIdField), message.id) != 0 ||
        reply.GetInt(MessageKey(m, kMessageSenderField), message.from) != 0 ||
        reply.GetCString(MessageKey(m, kMessageContentField), message.content) != 0 ||
        reply.GetInt(MessageKey(m, kMessageTimeField), message.time) != 0) {
      *error = MissingRow("messages", m);
      return false;
    }
    messages->push_back(std::move(message));
  }
  return true;
}

bool ReadAccount(CKParam& reply, int data_id, Account* account, std::string* error) {
  int echoed = 0;
  if (reply.GetInt(kRecordDataIdKey, echoed) != 0 || echoed != data_id ||
      reply.GetInt(kRecordResultKey, account->result) != 0) {
    *error = "the reply does not answer request " + std::to_string(data_id);
    return false;
  }
  int value = 0;
  if (reply.GetInt(kAccountIdKey, value) == 0) account->id = value;
  if (reply.GetInt(kAccountSexKey, value) == 0) account->sex = value;
  if (reply.GetInt(kAccountLevelKey, value) == 0) account->level = value;
  std::u16string nick;
  if (reply.GetCString(kAccountNickKey, nick) == 0) account->nick = nick;
  return true;
}

bool ReadGoodsSent(CKParam& reply, GoodsSent* sent, std::string* error) {
  int echoed = 0;
  if (reply.GetInt(kRecordDataIdKey, echoed) != 0 || echoed != kGoodsSending ||
      reply.GetInt(kRecordResultKey, sent->result) != 0) {
    *error = "the reply does not answer request " + std::to_string(kGoodsSending);
    return false;
  }
  if (sent->result == 0 && (reply.GetInt(kGrantedKey, sent->granted) != 0 ||
                            reply.GetInt(kFirstSumKey, sent->amount1_sum) != 0 ||
                            reply.GetInt(kSecondSumKey, sent->amount2_sum) != 0)) {
    *error = "the reply to request 1560 lacks its counts";
    return false;
  }
  int repeated = 0;
  if (reply.GetInt(kOrderRepeatedKey, repeated) == 0) sent->order_repeated = repeated;
  return true;
}

}  // namespace zelvar::codec
