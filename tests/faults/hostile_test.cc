// Hostile texts through every text key of every request, on each backend:
// each text is stored or looked up exactly as the handler received it, or
// refused whole where it does not fit its column; no other row changes.
//
// The checks read the database on connections of their own and compare
// texts as hexadecimal UTF-8, so neither the module's reading nor the
// test's own text conversion can hide a changed character. Rows that the
// test puts in place for the module to read are written from hexadecimal
// literals, so no hostile text is ever quoted by the test itself.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kit/client.h"
#include "support/test_db.h"
#include "util/text.h"
#include "zelvar/zelvar.h"

namespace zelvar::test {
namespace {

struct Hostile {
  const char* name;
  std::u16string text;
};

std::u16string Units(const char16_t* text, size_t length) { return std::u16string(text, length); }

std::vector<Hostile> HostileTexts() {
  return {
      {"apostrophe", u"'"},
      {"two apostrophes", u"''"},
      {"or true", u"' OR '1'='1"},
      {"or true with comment", u"' OR 1=1 -- "},
      {"stacked drop", u"'; DROP TABLE tblUser; --"},
      {"stacked delete after paren", u"x'); DELETE FROM tblUserGoods; --"},
      {"backslash", u"\\"},
      {"trailing backslash", u"abc\\"},
      {"escaped apostrophe", u"\\'"},
      {"backslash apostrophe or", u"\\' OR 1=1 #"},
      {"doubled backslash apostrophe", u"\\\\'; DELETE FROM tblFriend; #"},
      {"backslash escapes", u"\\0\\n\\r\\Z\\b\\t\\%\\_\\\\"},
      {"dash comment", u"-- "},
      {"block comment", u"/* x */ OR /*"},
      {"hash comment", u"# x"},
      {"double quotes", u"\"; DROP TABLE \"tblUser"},
      {"backticks", u"`tblUser`"},
      {"semicolons", u";;"},
      {"printf markers", u"%s%d%n%x%%'%s'"},
      {"placeholders", u"? ?? $1 :name @x"},
      {"like wildcards", u"%_%"},
      {"unicode quote look-alikes", u"\u2018\u2019\u02BC\uFF07\u201C\u201D"},
      {"unicode backslash look-alikes", u"\u00A5\u20A9\uFF3C\u2216"},
      {"overlong apostrophe as latin-1", u"\u00C0\u00A7'"},
      {"overlong slash as latin-1", u"\u00E0\u0080\u00AF"},
      {"overlong as replacement characters", u"\uFFFD\uFFFD'"},
      {"zero unit before a statement", Units(u"a\0'; DROP TABLE tblUser; --", 27)},
      {"zero unit first", Units(u"\0x", 2)},
      {"lone surrogate", u"\xD800'"},
      {"emoji and cjk", u"\U0001F600\u4E2D\u6587'"},
      {"control characters", u"\x01\x1B[31m\r\n\t"},
      {"bom zero width rtl", u"\uFEFF\u200B\u202E'"},
      {"subquery concatenation", u"'||(SELECT sUsername FROM tblUser)||'"},
      {"char function", u"CHAR(39)+0x27"},
      {"trailing blanks", u"alice  "},
      {"other case", u"ALICE"},
      {"name then zero unit", Units(u"alice\0x", 7)},
      {"64 apostrophes", std::u16string(64, u'\'')},
      {"4000 backslashes", std::u16string(4000, u'\\')},
      {"20000 apostrophes and backslashes", [] {
         std::u16string text;
         for (int i = 0; i < 10000; ++i) text += u"\\'";
         return text;
       }()},
  };
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char c : bytes) {
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 15]);
  }
  return hex;
}

// Characters (code points) of a text.
size_t Characters(const std::u16string& text) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      ++i;
    }
    ++count;
  }
  return count;
}

bool HasLoneSurrogate(const std::u16string& text) { return ThroughNarrow(text) != text; }

// Compares hexadecimal texts without printing long ones whole.
testing::AssertionResult SameHex(const std::string& expected,
                                 const std::optional<std::string>& actual) {
  if (actual == expected) return testing::AssertionSuccess();
  if (!actual) return testing::AssertionFailure() << "no such row";
  size_t at = 0;
  while (at < expected.size() && at < actual->size() && expected[at] == (*actual)[at]) ++at;
  return testing::AssertionFailure() << "stored bytes (" << actual->size() / 2 << ") differ from "
                                     << expected.size() / 2 << " sent at byte " << at / 2
                                     << ": expected " << expected.substr(at, 40) << ", got "
                                     << actual->substr(at, 40);
}

// Compares texts without printing long ones whole.
testing::AssertionResult SameText(const std::optional<std::u16string>& expected,
                                  const std::optional<std::u16string>& actual) {
  if (expected == actual) return testing::AssertionSuccess();
  if (!expected || !actual) {
    return testing::AssertionFailure() << (actual ? "unexpected text" : "no text");
  }
  size_t at = 0;
  while (at < expected->size() && at < actual->size() && (*expected)[at] == (*actual)[at]) ++at;
  return testing::AssertionFailure()
         << "texts of " << expected->size() << " and " << actual->size()
         << " code units differ from unit " << at << " on: expected "
         << ToNarrow(expected->substr(at, 40)) << ", got " << ToNarrow(actual->substr(at, 40));
}

// Column widths of the server schemas (SQLite keeps any length).
constexpr size_t kContentWidth = 4000;
constexpr size_t kCodeWidth = 256;
constexpr size_t kEmailWidth = 256;
constexpr size_t kNoteWidth = 1024;
constexpr size_t kNameWidth = 64;
constexpr size_t kFaceWidth = 4000;
constexpr size_t kItemNameWidth = 256;
constexpr size_t kItemDescWidth = 1024;

constexpr char16_t kQuotaEntry[] = u"Speak:1,0,0,0,0,0,0,0,0,0;";

class HostileInput : public testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<ScopedTempDir>();
    db_ = TestDatabase::Create(GetParam());
    if (db_ == nullptr) GTEST_SKIP() << "no database";
    db_->Use();
    // Rows no request of the test may touch.
    alice_ = AddUser(u"alice", u"Alice", u"A:1;");
    bob_ = AddUser(u"bob", u"Bob", u"");
    victim_ = AddUser(u"victim", u"Victim", u"Speak:5,0,0,0,0,0,0,0,0,0;");
    AddFriendship(alice_, bob_);
    AddFriendship(victim_, alice_);
    db_->Exec("INSERT INTO tblUserMsg (nUserId, sContent, tAddTime, nRead, nFromUserId, nAll) "
              "VALUES (" + std::to_string(victim_) + ", 'keep', '2011-05-03 09:05:07', 0, " +
              std::to_string(alice_) + ", 0)");
    db_->Exec("INSERT INTO tblUserGoods (nType, nUserId, nGoodsId, tAddTime, tDueTime, nBuyDay) "
              "VALUES (3100, " + std::to_string(victim_) +
              ", 9, '2011-01-01 00:00:00', '2050-10-12 19:02:00', 5)");
    db_->Exec("INSERT INTO tblFriendTradeHistory (nPlayUserId, nPlayedUserId, nPlayId, tTime, "
              "tDuration) VALUES (" + std::to_string(victim_) + ", " + std::to_string(alice_) +
              ", 4, '2011-05-03 09:05:07', 10)");
    db_->Exec("INSERT INTO tblInviteRecord (nUserid, nGroup, sInviteCode, sInvitedEmail, nState, "
              "tAddtime, nZoneId, sNote, nReply) VALUES (" + std::to_string(victim_) +
              ", 1, 'code', 'v@example.com', 0, '2011-05-03 09:05:07', 2, 'note', 0)");
    db_->Exec("INSERT INTO tblFriendTradeItem (sTradeName, sTradeDesc, nPacificate, sTradeImage, "
              "nHeadX, nHeadY) VALUES ('Rose', 'A red rose', 10, 'rose.png', 12.5, -4)");
    for (const char* table : kTables) initial_max_[table] = MaxId(table);
    initial_ = Snapshot();
  }

  void TearDown() override {
    db_.reset();
    dir_.reset();
  }

  bool OnServer() const { return GetParam() != Backend::kSqlite; }

  // Whether a text of `characters` fits a column of `width`.
  bool Fits(size_t characters, size_t width) const { return !OnServer() || characters <= width; }

  // Whether the test can put `text` into the database itself: a server
  // column holds no lone surrogate, and PostgreSQL no zero character.
  bool Storable(const std::u16string& text, size_t width) const {
    if (HasLoneSurrogate(text)) return false;
    if (GetParam() == Backend::kPostgres && text.find(u'\0') != std::u16string::npos) return false;
    return Fits(Characters(text), width);
  }

  // An SQL expression for the UTF-8 text `text`, written in hexadecimal.
  std::string Literal(const std::u16string& text) const {
    const std::string hex = Hex(ToNarrow(text));
    switch (GetParam()) {
      case Backend::kSqlite:
        return "CAST(X'" + hex + "' AS TEXT)";
      case Backend::kPostgres:
        return "convert_from(decode('" + hex + "', 'hex'), 'UTF8')";
      case Backend::kMariaDb:
        return "CONVERT(X'" + hex + "' USING utf8mb4)";
    }
    return "";
  }

  // An SQL expression for `column`'s UTF-8 bytes in upper-case hexadecimal.
  std::string HexOf(const std::string& column) const {
    switch (GetParam()) {
      case Backend::kSqlite:
        return "hex(" + column + ")";
      case Backend::kPostgres:
        return "upper(encode(convert_to(" + column + ", 'UTF8'), 'hex'))";
      case Backend::kMariaDb:
        return "HEX(" + column + ")";
    }
    return "";
  }

  int AddUser(const std::u16string& name, const std::u16string& nick, const std::u16string& face) {
    db_->Exec("INSERT INTO tblUser (sUsername, sNick, nSex, sFacePic, bLogined, nLevel) VALUES (" +
              Literal(name) + ", " + Literal(nick) + ", 1, " + Literal(face) + ", TRUE, 3)");
    return static_cast<int>(db_->QueryInt("SELECT MAX(nId) FROM tblUser"));
  }

  void AddFriendship(int user, int other) {
    db_->Exec("INSERT INTO tblFriend (nUserId, nFriendId) VALUES (" + std::to_string(user) + ", " +
              std::to_string(other) + ")");
  }

  int64_t MaxId(const std::string& table) {
    const auto rows = db_->Query("SELECT MAX(nId) FROM " + table);
    if (rows.size() != 1 || !rows[0][0]) return 0;
    return std::strtoll(rows[0][0]->c_str(), nullptr, 10);
  }

  int64_t Count(const std::string& table, const std::string& where = "1 = 1") {
    return db_->QueryInt("SELECT COUNT(*) FROM " + table + " WHERE " + where);
  }

  // One column of one row in hexadecimal, or nullopt when the row is gone.
  std::optional<std::string> HexValue(const std::string& table, const std::string& column,
                                      int64_t id) {
    const auto rows = db_->Query("SELECT " + HexOf(column) + " FROM " + table +
                                 " WHERE nId = " + std::to_string(id));
    if (rows.size() != 1) return std::nullopt;
    return rows[0][0].value_or("<null>");
  }

  static constexpr const char* kTables[] = {"tblUser",           "tblFriend",
                                            "tblUserMsg",        "tblFriendTradeHistory",
                                            "tblFriendTradeItem", "tblInviteRecord",
                                            "tblUserGoods"};

  // Every row that the fixture put in place, column by column.
  std::map<std::string, std::vector<std::vector<std::optional<std::string>>>> Snapshot() {
    std::map<std::string, std::vector<std::vector<std::optional<std::string>>>> tables;
    for (const char* table : kTables) {
      tables[table] = db_->Query(std::string("SELECT * FROM ") + table + " WHERE nId <= " +
                                 std::to_string(initial_max_[table]) + " ORDER BY nId");
    }
    return tables;
  }

  void ExpectInitialRowsUnchanged(const Hostile& hostile) {
    const auto now = Snapshot();
    for (const auto& [table, rows] : initial_) {
      const auto& current = now.at(table);
      if (current.size() != rows.size()) {
        ADD_FAILURE() << table << " lost rows of the fixture after \"" << hostile.name << "\"";
        continue;
      }
      for (size_t i = 0; i < rows.size(); ++i) {
        if (current[i] == rows[i]) continue;
        std::string was, is;
        for (const auto& value : rows[i]) was += value.value_or("NULL") + "|";
        for (const auto& value : current[i]) is += value.value_or("NULL") + "|";
        ADD_FAILURE() << table << " row " << i + 1 << " changed after \"" << hostile.name
                      << "\": " << was << " became " << is;
      }
    }
  }

  std::unique_ptr<ScopedTempDir> dir_;
  std::unique_ptr<TestDatabase> db_;
  int alice_ = 0;
  int bob_ = 0;
  int victim_ = 0;
  std::map<std::string, int64_t> initial_max_;
  std::map<std::string, std::vector<std::vector<std::optional<std::string>>>> initial_;
};

// 1500 content, read back by 1620.
TEST_P(HostileInput, MessageContentStoredAndDeliveredExactly) {
  for (const Hostile& hostile : HostileTexts()) {
    SCOPED_TRACE(hostile.name);
    const std::u16string received = AsReceived(hostile.text);
    const bool fits = Fits(Characters(received), kContentWidth);
    const int64_t before = MaxId("tblUserMsg");
    const int result = SendMessage(alice_, bob_, hostile.text);
    EXPECT_EQ(fits ? 0 : -1, result);
    EXPECT_EQ(fits ? 1 : 0, Count("tblUserMsg", "nId > " + std::to_string(before)));
    if (fits) {
      const int64_t id = MaxId("tblUserMsg");
      EXPECT_TRUE(SameHex(Hex(ToNarrow(received)), HexValue("tblUserMsg", "sContent", id)));
      const Reply reply = QueryFriendData(bob_, 1620);
      ASSERT_EQ(0, reply.result);
      EXPECT_EQ(1, reply.Int(10000));
      EXPECT_EQ(id, reply.Int(10101));
      EXPECT_EQ(alice_, reply.Int(10102));
      EXPECT_TRUE(SameText(received, reply.Text(10103)));
    }
    ExpectInitialRowsUnchanged(hostile);
  }
}

// 1550 invite code, e-mail and note, each in a row of its own.
TEST_P(HostileInput, InvitationTextsStoredExactly) {
  int round = 0;
  for (const Hostile& hostile : HostileTexts()) {
    SCOPED_TRACE(hostile.name);
    ++round;
    const std::u16string received = AsReceived(hostile.text);
    const std::u16string plain = u"plain" + ToWide(std::to_string(round));
    std::vector<Invitation> rows(3);
    for (Invitation& row : rows) {
      row.invite_code = row.invited_email = row.note = plain;
      row.zone_id = round;
    }
    rows[0].invite_code = hostile.text;
    rows[1].invited_email = hostile.text;
    rows[2].note = hostile.text;
    const size_t widths[] = {kCodeWidth, kEmailWidth, kNoteWidth};
    const char* columns[] = {"sInviteCode", "sInvitedEmail", "sNote"};
    for (int i = 0; i < 3; ++i) rows[i].state = i;

    const int64_t before = MaxId("tblInviteRecord");
    EXPECT_EQ(0, StoreInvitations(alice_, rows));
    const std::string where_new = "nId > " + std::to_string(before) + " AND nState = ";
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE(columns[i]);
      // An empty note becomes the module's own remark.
      std::u16string expected = received;
      if (i == 2 && expected.empty()) expected = u"缺失remark";
      const bool fits = Fits(Characters(expected), widths[i]);
      const auto stored = db_->Query("SELECT nId, " + HexOf(columns[i]) + ", " +
                                     HexOf(columns[(i + 1) % 3]) +
                                     " FROM tblInviteRecord WHERE " + where_new +
                                     std::to_string(i));
      ASSERT_EQ(fits ? 1u : 0u, stored.size());
      if (!fits) continue;
      EXPECT_TRUE(SameHex(Hex(ToNarrow(expected)), stored[0][1]));
      EXPECT_TRUE(SameHex(Hex(ToNarrow(plain)), stored[0][2]));
    }
    ExpectInitialRowsUnchanged(hostile);
  }
}

// 1660 user name, and 1560 account name: a name finds the account of that
// exact name or none; a nick read back by 1660 and 1610, a face text read
// back by 1610 and rewritten by a quota grant.
TEST_P(HostileInput, AccountNamesFindOnlyTheirOwnAccount) {
  std::map<std::u16string, int> accounts = {{u"alice", alice_}, {u"bob", bob_},
                                            {u"victim", victim_}};
  for (const Hostile& hostile : HostileTexts()) {
    SCOPED_TRACE(hostile.name);
    const std::u16string received = AsReceived(hostile.text);
    const auto known = [&]() -> std::optional<int> {
      auto found = accounts.find(received);
      if (found == accounts.end()) return std::nullopt;
      return found->second;
    };
    const int64_t goods_before = Count("tblUserGoods");

    // No account holds the text yet (unless the handler gets a known name).
    {
      const Reply lookup = LookUpAccount(alice_, hostile.text);
      ASSERT_TRUE(lookup.handed_out);
      EXPECT_EQ(known(), lookup.Int(50));
      EXPECT_EQ(known() ? 0 : -1, lookup.Int(0));
    }
    if (!known()) {
      const Reply sent = SendGoods(alice_, hostile.text, {{7, u"1个", 3100, 1, 2}});
      EXPECT_EQ(-1, sent.Int(0));
      EXPECT_EQ(goods_before, Count("tblUserGoods"));
    }

    if (!Storable(hostile.text, kNameWidth) || received != hostile.text || known()) {
      ExpectInitialRowsUnchanged(hostile);
      continue;
    }
    const int target = AddUser(hostile.text, hostile.text, hostile.text);
    accounts[hostile.text] = target;
    AddFriendship(alice_, target);

    const Reply lookup = LookUpAccount(alice_, hostile.text);
    EXPECT_EQ(0, lookup.Int(0));
    EXPECT_EQ(target, lookup.Int(50));
    EXPECT_TRUE(SameText(hostile.text, lookup.Text(100)));

    // Alice's friends: bob, victim and every account added so far.
    const Reply friends = QueryFriendData(alice_, 1610);
    ASSERT_EQ(0, friends.result);
    bool listed = false;
    for (int i = 1; i <= friends.Int(-10000).value_or(0); ++i) {
      const short base = static_cast<short>(-10 * i - 10001);
      if (friends.Int(base) != target) continue;
      listed = true;
      EXPECT_TRUE(SameText(hostile.text, friends.Text(base - 1)));
      EXPECT_TRUE(SameText(hostile.text, friends.Text(base - 3)));
    }
    EXPECT_TRUE(listed);

    // A quota grant appends its entry to the face text or, where the text
    // would outgrow its column, is refused whole.
    const Reply granted = SendGoods(alice_, hostile.text, {{7, u"1个", 3100, 1, 2}});
    EXPECT_EQ(0, granted.Int(0));
    const std::u16string face = hostile.text + kQuotaEntry;
    const bool fits = Fits(Characters(face), kFaceWidth);
    EXPECT_EQ(fits ? 1 : 0, granted.Int(100));
    EXPECT_EQ(fits ? 1 : 0, Count("tblUserGoods", "nUserId = " + std::to_string(target)));
    EXPECT_EQ(goods_before + (fits ? 1 : 0), Count("tblUserGoods"));
    EXPECT_TRUE(SameHex(Hex(ToNarrow(fits ? face : hostile.text)), HexValue("tblUser", "sFacePic", target)));
    EXPECT_TRUE(SameHex(Hex(ToNarrow(hostile.text)), HexValue("tblUser", "sUsername", target)));
    ExpectInitialRowsUnchanged(hostile);
  }
}

// Texts stored in the database by others and read back: message contents
// (1620) and the trade item catalogue (1615), every code unit kept.
TEST_P(HostileInput, StoredTextsReadBackExactly) {
  for (const Hostile& hostile : HostileTexts()) {
    SCOPED_TRACE(hostile.name);
    if (Storable(hostile.text, kContentWidth)) {
      db_->Exec("INSERT INTO tblUserMsg (nUserId, sContent, tAddTime, nRead, nFromUserId, nAll) "
                "VALUES (" + std::to_string(bob_) + ", " + Literal(hostile.text) +
                ", '2011-05-03 09:05:07', 0, " + std::to_string(alice_) + ", 0)");
      const Reply messages = QueryFriendData(bob_, 1620);
      ASSERT_EQ(0, messages.result);
      EXPECT_EQ(1, messages.Int(10000));
      EXPECT_TRUE(SameText(hostile.text, messages.Text(10103)));
    }
    // A packet record holds at most 65535 code units of text.
    if (Storable(hostile.text, kItemNameWidth) && Storable(hostile.text, kItemDescWidth) &&
        hostile.text.size() * 4 + 100 < 65536) {
      db_->Exec("DELETE FROM tblFriendTradeItem WHERE nId > " +
                std::to_string(initial_max_["tblFriendTradeItem"]));
      db_->Exec("INSERT INTO tblFriendTradeItem (sTradeName, sTradeDesc, nPacificate, "
                "sTradeImage, nHeadX, nHeadY) VALUES (" + Literal(hostile.text) + ", " +
                Literal(hostile.text) + ", 7, " + Literal(hostile.text) + ", 1.5, -2)");
      const int64_t id = MaxId("tblFriendTradeItem");
      const Reply items = QueryFriendData(bob_, 1615);
      ASSERT_EQ(0, items.result);
      EXPECT_EQ(2, items.Int(-10));
      std::optional<std::u16string> item;
      for (short key : {-100, -200}) {
        std::optional<std::u16string> text = items.Text(key);
        if (text && text->rfind(u"id," + ToWide(std::to_string(id)) + u";", 0) == 0) item = text;
      }
      EXPECT_TRUE(SameText(u"id," + ToWide(std::to_string(id)) + u";name," + hostile.text +
                               u";desc," + hostile.text + u";pacificate,7;image," + hostile.text +
                               u";smallImage,small" + hostile.text + u";x,1.500000;y,-2.000000;",
                           item));
    }
    ExpectInitialRowsUnchanged(hostile);
  }
}

// 1560 amount texts: only the exact amount texts grant anything.
TEST_P(HostileInput, AmountTextsGrantOnlyWhenExact) {
  const int carol = AddUser(u"carol", u"Carol", u"");
  for (const Hostile& hostile : HostileTexts()) {
    SCOPED_TRACE(hostile.name);
    const Reply reply =
        SendGoods(alice_, u"carol", {{7, hostile.text, 3100, 1, 1}, {8, hostile.text, 20, 1, 1}});
    EXPECT_EQ(0, reply.Int(0));
    EXPECT_EQ(0, reply.Int(100));
    EXPECT_EQ(0, Count("tblUserGoods", "nUserId = " + std::to_string(carol)));
    ExpectInitialRowsUnchanged(hostile);
  }
  // Texts that differ from an amount only where it can't be seen.
  for (const std::u16string& amount :
       {std::u16string(u"1个 "), std::u16string(u" 1个"), std::u16string(u"１个"),
        std::u16string(u"7天'"), std::u16string(u"7\u5929\u200B"), std::u16string(u"永久\\")}) {
    const Reply reply = SendGoods(alice_, u"carol", {{7, amount, 3100, 1, 1}, {8, amount, 20, 1, 1}});
    EXPECT_EQ(0, reply.Int(100));
  }
  EXPECT_EQ(0, Count("tblUserGoods", "nUserId = " + std::to_string(carol)));
  // The handler reads a text up to its first zero unit, so this is "1个".
  const Reply reply = SendGoods(alice_, u"carol", {{7, Units(u"1个\0x", 4), 3100, 1, 1}});
  EXPECT_EQ(1, reply.Int(100));
}

const std::vector<Backend> kBackends = {Backend::kSqlite, Backend::kPostgres, Backend::kMariaDb};

INSTANTIATE_TEST_SUITE_P(Backends, HostileInput, testing::ValuesIn(kBackends), BackendParamName);

}  // namespace
}  // namespace zelvar::test
