// Shared pieces of the goods tests: a logger that records the module's
// lines, a reader of reply packets that keeps the order of their records,
// request builders, and a fixture with a fresh database per test on each
// backend.
#ifndef ZELVAR_TESTS_GOODS_GOODS_FIXTURE_H_
#define ZELVAR_TESTS_GOODS_GOODS_FIXTURE_H_

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kit/text.h"
#include "kit/world.h"
#include "support/test_db.h"
#include "util/text.h"
#include "zelvar/zelvar.h"

namespace zelvar::test {

// The lines the module writes through CTool, as UTF-8.
class LineRecorder {
 public:
  LineRecorder() : tool_(&LineRecorder::Receive, this) {}
  LineRecorder(const LineRecorder&) = delete;
  LineRecorder& operator=(const LineRecorder&) = delete;

  intptr_t handle() { return reinterpret_cast<intptr_t>(&tool_); }

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<int> Levels() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return levels_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
    levels_.clear();
  }

 private:
  static void Receive(void* context, int level, const char* line) {
    auto* self = static_cast<LineRecorder*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->levels_.push_back(level);
    self->lines_.emplace_back(line);
  }

  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<int> levels_;
  CTool tool_;
};

// One record of a packet image, read straight from the bytes.
struct Record {
  short key;
  short type;
  std::string data;

  int Int() const {
    int32_t value = 0;
    std::memcpy(&value, data.data(), sizeof value);
    return value;
  }
  std::u16string Text() const {
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), text.size() * 2);
    return text;
  }
};

inline std::vector<Record> ReadRecords(const char* bytes, int length) {
  std::vector<Record> records;
  auto read32 = [&](size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes + at, 4);
    return value;
  };
  auto read16 = [&](size_t at) {
    int16_t value = 0;
    std::memcpy(&value, bytes + at, 2);
    return value;
  };
  if (bytes == nullptr || length < 12) {
    ADD_FAILURE() << "no packet image";
    return records;
  }
  EXPECT_EQ(static_cast<uint32_t>(length), read32(0));
  const uint32_t count = read32(4);
  size_t at = 12;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 8 > static_cast<size_t>(length)) {
      ADD_FAILURE() << "record " << i << " runs past the image";
      break;
    }
    const uint32_t data_length = read32(at);
    Record record{read16(at + 4), read16(at + 6), std::string(bytes + at + 8, data_length)};
    records.push_back(std::move(record));
    at += 8 + data_length;
  }
  EXPECT_EQ(static_cast<size_t>(length), at);
  return records;
}

inline std::vector<short> Keys(const std::vector<Record>& records) {
  std::vector<short> keys;
  for (const Record& record : records) keys.push_back(record.key);
  return keys;
}

// The outcome of one GetQueryExtraDataFriendRecord call.
struct Response {
  int result = 0;
  bool handed_out = false;
  int length = 0;
  std::vector<Record> records;

  // The integer of the first record with `key`; fails the test when absent.
  int Int(short key) const {
    for (const Record& record : records) {
      if (record.key == key) {
        EXPECT_EQ(20, record.type) << "key " << key;
        return record.Int();
      }
    }
    ADD_FAILURE() << "no key " << key;
    return INT32_MIN;
  }
};

// Calls the export with the packet's bytes. `reply_on_entry` is what *reply
// holds on entry (the host normally passes null).
inline Response Call(int user_id, int data_id, CKParam& packet,
                     char* reply_on_entry = nullptr) {
  Response response;
  char* reply = reply_on_entry;
  int length = -12345;
  response.result = GetQueryExtraDataFriendRecord(user_id, data_id, packet.GetBufferPtr(),
                                                  packet.GetLength(), &reply, &length);
  response.handed_out = reply != reply_on_entry;
  if (response.handed_out) {
    response.length = length;
    response.records = ReadRecords(reply, length);
    MyDeletePtr(reply);
  }
  return response;
}

struct GoodsEntry {
  int goods_id;
  std::u16string amount;
  int goods_type;
  int first = 0;
  int second = 0;
};

// The keys of entry i, computed in 32 bits and cut to 16 as the host does.
inline short EntryKey(int base, int entry) { return static_cast<short>(base + 10000 * entry); }

inline void PutEntry(CKParam& packet, int index, const GoodsEntry& entry) {
  packet.SetInt(EntryKey(10010, index), entry.goods_id);
  packet.SetCString(EntryKey(10020, index), entry.amount);
  packet.SetInt(EntryKey(10030, index), entry.goods_type);
  packet.SetInt(EntryKey(10040, index), entry.first);
  packet.SetInt(EntryKey(10050, index), entry.second);
}

inline CKParam SendPacket(int send_num, const std::u16string& account,
                          const std::vector<GoodsEntry>& entries) {
  CKParam packet;
  packet.SetInt(100, send_num);
  packet.SetCString(110, account);
  for (size_t i = 0; i < entries.size(); ++i) PutEntry(packet, static_cast<int>(i), entries[i]);
  return packet;
}

// A fresh database and log folder per test, the module pointed at both and
// its lines recorded.
class GoodsTest : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<ScopedTempDir>();
    db_ = TestDatabase::Create(GetParam());
    if (db_ == nullptr) GTEST_SKIP() << "no database";
    db_->Use();
    OpenLog(log_.handle());
  }

  void TearDown() override {
    OpenLog(0);
    db_.reset();
    dir_.reset();
  }

  // Adds a player and returns its nId.
  int AddUser(const std::string& name, const std::string& face = "",
              const std::string& nick = "Nick", int sex = 1, int level = 9) {
    db_->Plant(std::vector<kit::Player>{{0, name, nick, sex, face, std::nullopt, level}});
    return static_cast<int>(
        db_->QueryInt("SELECT nId FROM tblUser WHERE sUsername = " + kit::Quote(name)));
  }

  std::string Face(int user_id) {
    const auto rows = db_->Query("SELECT sFacePic FROM tblUser WHERE nId = " +
                                 std::to_string(user_id));
    if (rows.size() != 1 || rows[0].size() != 1) {
      ADD_FAILURE() << "no user " << user_id;
      return {};
    }
    return rows[0][0].value_or("<null>");
  }

  // Rows of tblUserGoods of `user_id`, oldest first: nId, nType, nGoodsId,
  // tAddTime, tDueTime, nBuyDay, nLevel, nUsing, sHeadColor.
  std::vector<std::vector<std::optional<std::string>>> Goods(int user_id) {
    return db_->Query(
        "SELECT nId, nType, nGoodsId, tAddTime, tDueTime, nBuyDay, nLevel, nUsing, sHeadColor "
        "FROM tblUserGoods WHERE nUserId = " +
        std::to_string(user_id) + " ORDER BY nId");
  }

  // Adds a goods row due at `due` (a time text, or empty for NULL) with
  // nBuyDay `buy_day`, and `id` as its nId when given.
  void AddGoodsRow(int user_id, int goods_id, int goods_type, const std::string& due,
                   std::optional<int64_t> id = std::nullopt, int buy_day = 0) {
    kit::Goods row{id.value_or(0), goods_type, user_id, goods_id, "2011-01-01 00:00:00"};
    if (!due.empty()) row.due = due;
    row.buy_day = buy_day;
    db_->Plant(std::vector<kit::Goods>{row});
  }

  // The due time of the goods row `id`.
  std::string DueTime(int64_t id) {
    const auto rows =
        db_->Query("SELECT tDueTime FROM tblUserGoods WHERE nId = " + std::to_string(id));
    if (rows.size() != 1) {
      ADD_FAILURE() << "no goods row " << id;
      return {};
    }
    return rows[0][0].value_or("<null>");
  }

  // Makes every `event` (INSERT or UPDATE) on `table` fail in the database.
  void RefuseWrites(const std::string& table, const std::string& event) {
    db_->RefuseWrites(table, event, "write refused");
  }

  std::string ErrorLog() const { return dir_->ReadFile("ZelvarError.log"); }

  std::unique_ptr<ScopedTempDir> dir_;
  std::unique_ptr<TestDatabase> db_;
  LineRecorder log_;
};

}  // namespace zelvar::test

#endif  // ZELVAR_TESTS_GOODS_GOODS_FIXTURE_H_
