// ParseTimeText on fields that are not plain digits, and its wide form:
// each field reads as atoi reads it, and wide text reads as its narrow form.

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "support/scoped_tz.h"
#include "util/text.h"
#include "util/time_text.h"

namespace zelvar::test {
namespace {

// The seconds of six fields as atoi reads each, with the daylight-saving
// flag left to the library.
int64_t Expected(const char* year, const char* month, const char* day, const char* hour,
                 const char* minute, const char* second) {
  std::tm tm{};
  tm.tm_year = std::atoi(year) - 1900;
  tm.tm_mon = std::atoi(month) - 1;
  tm.tm_mday = std::atoi(day);
  tm.tm_hour = std::atoi(hour);
  tm.tm_min = std::atoi(minute);
  tm.tm_sec = std::atoi(second);
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm));
}

TEST(TimeTextFields, FieldsReadAsAtoiReadsThem) {
  struct Case {
    const char* text;
    const char* fields[6];
  };
  const Case cases[] = {
      {"2011-05-03 12:34:56", {"2011", "05", "03", "12", "34", "56"}},
      {"2011/5-3 9:5:7", {"2011", "5", "3", "9", "5", "7"}},
      {"2011- 5- 3  9: 5: 7", {"2011", " 5", " 3", " 9", " 5", " 7"}},
      {"2011-+5-+3 +9:+5:+7", {"2011", "+5", "+3", "+9", "+5", "+7"}},
      {"2011--1-0 -1:75:-5", {"2011", "-1", "0", "-1", "75", "-5"}},
      {"2011-5x-3y 1z:2w:3v", {"2011", "5x", "3y", "1z", "2w", "3v"}},
      {"x011-ab-cd ef:gh:ij", {"x011", "ab", "cd", "ef", "gh", "ij"}},
      {" 999-12-31 23:59:59", {" 999", "12", "31", "23", "59", "59"}},
  };
  for (const char* zone : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
    ScopedTimeZone tz(zone);
    for (const Case& c : cases) {
      const int64_t expected = Expected(c.fields[0], c.fields[1], c.fields[2], c.fields[3],
                                        c.fields[4], c.fields[5]);
      EXPECT_EQ(ParseTimeText(c.text), expected) << c.text << " in " << zone;
      EXPECT_EQ(ParseTimeText(ToWide(c.text)), expected) << c.text << " in " << zone;
    }
  }
}

TEST(TimeTextFields, WideTextReadsAsItsNarrowForm) {
  ScopedTimeZone tz("UTC0");
  // Text that is not ASCII, or too long for the short way, goes the long way
  // with the same result; a zero unit ends the text as it ends a narrow one.
  const std::u16string texts[] = {
      u"2011-05-03 12:34:56", u"2011年05-03 12:34:56", u"2011-05-03 12:34:56.000",
      std::u16string(u"2011-05-03 12:34:56\0junk", 24), std::u16string(70, u'1'), u""};
  for (const std::u16string& text : texts) {
    EXPECT_EQ(ParseTimeText(text), ParseTimeText(ToNarrow(text).c_str()));
  }
  EXPECT_EQ(ParseTimeText(u"2011年05-03 12:34:56"), 0);  // the year is not four characters
  EXPECT_EQ(ParseTimeText(std::u16string(u"2011-05-03 12:34:56\0junk", 24)), 1304426096);
}

}  // namespace
}  // namespace zelvar::test
