// The tool's parsers of what people type and of packet images: goods
// entries, invitation CSV files, packet JSON, catalogue texts, schema
// scripts and terminal widths.
#include <gtest/gtest.h>

#include "codec/replies.h"
#include "tools/zelvar/inputs.h"
#include "tools/zelvar/packet_view.h"
#include "tools/zelvar/text_util.h"
#include "util/sql_script.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

using zelvar::CreatedTables;
using zelvar::SplitSqlScript;

TEST(GoodsEntry, TakesTheModuleTextsAndTheirSpellings) {
  codec::GoodsEntry entry;
  std::string error;
  ASSERT_TRUE(ParseGoodsEntry("1001:30天:1", &entry, &error)) << error;
  EXPECT_EQ(entry.goods_id, 1001);
  EXPECT_EQ(entry.amount, u"30天");
  EXPECT_EQ(entry.type, 1);
  EXPECT_EQ(entry.amount1, 0);
  ASSERT_TRUE(ParseGoodsEntry("7:FOREVER:2:15:3", &entry, &error)) << error;
  EXPECT_EQ(entry.amount, u"永久");
  EXPECT_EQ(entry.amount1, 15);
  EXPECT_EQ(entry.amount2, 3);
  ASSERT_TRUE(ParseGoodsEntry("3999:6x:3999", &entry, &error)) << error;
  EXPECT_EQ(entry.amount, u"6个");
  ASSERT_TRUE(ParseGoodsEntry("3000:1个:3000", &entry, &error)) << error;
}

TEST(GoodsEntry, RefusesWhatTheModuleWouldSkipSilently) {
  codec::GoodsEntry entry;
  std::string error;
  for (const char* bad : {"1001:30天", "1001:30天:1:5", "x:30天:1", "1001:30天:one", "1001:3个:1", "1001:7d:3000",
                          "3100:7天:3100", "1001:7d:2999:1", "1001:7d:1:-1:0", "1001:7d:1:0:x", "99999999999:7d:1", ""}) {
    error.clear();
    EXPECT_FALSE(ParseGoodsEntry(bad, &entry, &error)) << bad;
    EXPECT_NE(error.find(std::string("'") + bad + "'"), std::string::npos) << error;
  }
  ParseGoodsEntry("1001:7d:4000:0:0", &entry, &error);  // 4000 is time-limited again
  EXPECT_EQ(entry.type, 4000);
}

TEST(InviteCsv, ReadsQuotedFieldsAndDefaults) {
  std::vector<codec::Invitation> rows;
  std::string error;
  ASSERT_TRUE(ParseInviteCsv("Email,sInviteCode,zone,note\n"
                             "a@x.org,A-1,3,\"one, two\"\n"
                             "\"b@x.org\",\"B-\"\"2\"\"\",,\"line\nbreak\"\n",
                             &rows, &error))
      << error;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].invited_email, u"a@x.org");
  EXPECT_EQ(rows[0].invite_code, u"A-1");
  EXPECT_EQ(rows[0].zone_id, 3);
  EXPECT_EQ(rows[0].note, u"one, two");
  EXPECT_EQ(rows[1].invite_code, u"B-\"2\"");
  EXPECT_EQ(rows[1].zone_id, 0);
  EXPECT_EQ(rows[1].note, u"line\nbreak");
}

TEST(InviteCsv, NamesTheLineOfEachProblem) {
  struct Case {
    const char* content;
    const char* says;
  };
  const Case cases[] = {
      {"", "empty"},
      {"code,colour\n", "unknown column 'colour'"},
      {"code,state\n", "at least the columns code and email"},
      {"code,email,code\n", "appears twice"},
      {"code,email\n", "holds no row"},
      {"code,email\nA,a@x\nB\n", "line 3: 1 fields where the header names 2"},
      {"code,email,reply\nA,a@x,\"1\nB,b@x,2\n", "never ends"},
      {"code,email,group\nA,a@x,2x\n", "line 2: '2x' is not a whole number"},
  };
  for (const Case& c : cases) {
    std::vector<codec::Invitation> rows;
    std::string error;
    EXPECT_FALSE(ParseInviteCsv(c.content, &rows, &error)) << c.content;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.content << " -> " << error;
  }
}

TEST(PacketView, ReadsEveryRecordInOrder) {
  CKParam packet;
  packet.SetInt(7, -5);
  packet.SetInt(7, 9);  // unreachable by a lookup, shown all the same
  packet.SetShortInt(-1, -2);
  packet.SetLong(3, 123456);
  packet.SetBoolean(4, true);
  packet.SetCString(5, u"é😀");
  packet.SetChar(6, "\x01\x02", 2);
  const std::string image(packet.GetBufferPtr(), packet.GetLength());
  PacketImage read;
  std::string error;
  ASSERT_TRUE(ReadPacket(image, &read, &error)) << error;
  ASSERT_EQ(read.entries.size(), 7u);
  EXPECT_EQ(read.crc, packet.GetPacketCrc());
  std::vector<std::string> values;
  for (const PacketEntry& entry : read.entries) values.push_back(TypeName(entry.type) + " " + ValueText(entry));
  EXPECT_EQ(values, (std::vector<std::string>{"int -5", "int 9", "short -2", "long 123456", "bool true",
                                              "text \"é😀\"", "bytes 0102"}));

  // JSON and back gives the same records.
  CKParam rebuilt;
  ASSERT_TRUE(PacketFromJson(PacketJson(read), &rebuilt, &error)) << error;
  EXPECT_EQ(std::string(rebuilt.GetBufferPtr(), rebuilt.GetLength()), image);
}

TEST(PacketView, ShowsRecordsOfTheWrongWidthAsBytes) {
  CKParam packet;
  packet.SetChar(1, "abc", 3);
  std::string image(packet.GetBufferPtr(), packet.GetLength());
  image[12 + 6] = 20;  // the type code: an int of three bytes
  PacketImage read;
  std::string error;
  ASSERT_TRUE(ReadPacket(image, &read, &error)) << error;
  EXPECT_EQ(ValueText(read.entries[0]), "(3 bytes) 616263");
  EXPECT_TRUE(EntryJson(read.entries[0])["value"].is_null());
}

TEST(PacketView, RefusesJsonEntriesItCannotStore) {
  struct Case {
    const char* json;
    const char* says;
  };
  const Case cases[] = {
      {R"({"records": []})", "no \"entries\""},
      {R"([{"key": 1, "value": 2}])", "entry 1: needs"},
      {R"([{"key": -32769, "type": "int", "value": 2}])", "from -32768 to 32767"},
      {R"([{"key": 1, "type": "short", "value": 40000}])", "from -32768 to 32767"},
      {R"([{"key": 1, "type": "int", "value": 2147483648}])", "whole number from"},
      {R"([{"key": 1, "type": "int", "value": 1.5}])", "whole number from"},
      {R"([{"key": 1, "type": "bool", "value": 1}])", "true or false"},
      {R"([{"key": 1, "type": "bytes", "value": "abc"}])", "hex digits"},
      {R"([{"key": 1, "type": "float", "value": 1}])", "one of short"},
      {R"([{"key": 1, "type": "int", "value": 1}, {"key": 2, "type": "text", "value": 3}])", "entry 2: a text value"},
  };
  for (const Case& c : cases) {
    CKParam packet;
    std::string error;
    EXPECT_FALSE(PacketFromJson(nlohmann::ordered_json::parse(c.json), &packet, &error)) << c.json;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.json << " -> " << error;
  }
}

TEST(ItemText, TakesNamesWithSeparatorsApart) {
  const codec::Item item = codec::ParseItemText(
      u"id,12;name,Rose; red, big;desc,A rose;x,1;pacificate,10;image,a;b.png;smallImage,smalla;b.png;x,12.500000;y,-4.000000;");
  ASSERT_TRUE(item.parsed);
  EXPECT_EQ(item.id, 12);
  EXPECT_EQ(item.name, u"Rose; red, big");
  EXPECT_EQ(item.description, u"A rose;x,1");
  EXPECT_EQ(item.pacificate, 10);
  EXPECT_EQ(item.image, u"a;b.png");
  EXPECT_EQ(item.small_image, u"smalla;b.png");
  EXPECT_DOUBLE_EQ(item.x, 12.5);
  EXPECT_DOUBLE_EQ(item.y, -4);

  const codec::Item empty_image = codec::ParseItemText(u"id,1;name,;desc,;pacificate,0;image,;smallImage,small;x,0.000000;y,0.000000;");
  ASSERT_TRUE(empty_image.parsed);
  EXPECT_EQ(empty_image.small_image, u"small");
  for (const char16_t* bad : {u"", u"name,x;", u"id,x;name,;desc,;pacificate,0;image,;smallImage,small;x,0;y,0;",
                              u"id,1;name,;desc,;pacificate,0;image,;smallImage,small;x,0;y,0"}) {
    EXPECT_FALSE(codec::ParseItemText(bad).parsed) << ToNarrow(bad);
  }
}

TEST(SqlScript, SplitsAtSemicolonsOutsideQuotesAndAtGo) {
  const auto statements = SplitSqlScript(
      "-- a comment; not a statement\n"
      "CREATE TABLE tblA (s VARCHAR(9) DEFAULT 'a;b');\n"
      "/* block; comment */ CREATE TABLE [dbo].[tblB] (n INT)\n"
      "GO\n"
      "CREATE INDEX tblB_n ON tblB (n);;\n");
  ASSERT_EQ(statements.size(), 3u);
  EXPECT_EQ(statements[0], "CREATE TABLE tblA (s VARCHAR(9) DEFAULT 'a;b')");
  EXPECT_EQ(statements[2], "CREATE INDEX tblB_n ON tblB (n)");
  EXPECT_EQ(CreatedTables("CREATE TABLE IF NOT EXISTS \"tblA\" (n INT);\ncreate table dbo.tblB (n int);\nCREATE INDEX i ON tblA (n);"),
            (std::vector<std::string>{"tblA", "tblB"}));
}

TEST(TextUtil, WidthsAndNumbers) {
  EXPECT_EQ(DisplayWidth("Mira"), 4);
  EXPECT_EQ(DisplayWidth("琳娜"), 4);
  EXPECT_EQ(DisplayWidth("é"), 1);
  EXPECT_EQ(DisplayWidth("\xff"), 1);  // a broken byte is one column
  EXPECT_EQ(FitWidth("一朵红玫瑰", 6), "一朵…");
  EXPECT_EQ(FitWidth("short", 6), "short");
  EXPECT_EQ(ParseInt32("+12"), 12);
  EXPECT_EQ(ParseInt32("-2147483648"), INT32_MIN);
  EXPECT_FALSE(ParseInt32("2147483648"));
  EXPECT_FALSE(ParseInt32("12 "));
  EXPECT_FALSE(ParseInt32(""));
  // Packet times are the low 32 bits: the permanent due time of 2050 reads
  // back, not as a time before 1970.
  EXPECT_EQ(PacketTimeSeconds(static_cast<int32_t>(2524608000LL)), 2524608000LL);
  EXPECT_EQ(PacketTimeText(0), "-");
  EXPECT_EQ(MaskPassword("Driver={PostgreSQL Unicode};Uid=a;PWD=secret;"),
            "Driver={PostgreSQL Unicode};Uid=a;PWD=***;");
}

}  // namespace
}  // namespace zelvar::cli
