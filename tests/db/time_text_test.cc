#include "util/time_text.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/scoped_tz.h"

namespace zelvar {
namespace {

using test::ScopedTimeZone;

std::tm Local(int year, int month, int day, int hour, int minute, int second) {
  std::tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

std::string Format(const std::tm& t) {
  char buffer[20];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(FormatTimeText(&t, buffer), 0);
  EXPECT_EQ(buffer[19], '\0');
  return buffer;
}

TEST(TimeText, FormatsWithTwoDigitFields) {
  EXPECT_EQ(Format(Local(2011, 1, 2, 3, 4, 5)), "2011-01-02 03:04:05");
  EXPECT_EQ(Format(Local(2011, 12, 31, 23, 59, 59)), "2011-12-31 23:59:59");
  EXPECT_EQ(Format(Local(2050, 10, 9, 0, 0, 0)), "2050-10-09 00:00:00");
}

TEST(TimeText, NullTimeLeavesBufferAlone) {
  char buffer[20] = "untouched";
  EXPECT_EQ(FormatTimeText(nullptr, buffer), -1);
  EXPECT_STREQ(buffer, "untouched");
}

TEST(TimeText, AcceptsOneAndTwoCharacterFields) {
  ScopedTimeZone zone("UTC");
  EXPECT_EQ(ParseTimeText("2011-05-03 09:05:07"), 1304413507);
  EXPECT_EQ(ParseTimeText("2011-5-3 9:05:07"), 1304413507);
  EXPECT_EQ(ParseTimeText("2011-5-3 9:5:7"), 1304413507);
  // The separator after the year is not examined; the one after the month
  // is.
  EXPECT_EQ(ParseTimeText("2011/05-03 09:05:07"), 1304413507);
  EXPECT_EQ(ParseTimeText("2011/05/03 09:05:07"), 0);
}

TEST(TimeText, RejectsOtherShapes) {
  ScopedTimeZone zone("UTC");
  EXPECT_EQ(ParseTimeText("2011-05/03 12:34:56"), 0);
  EXPECT_EQ(ParseTimeText("2011-5-3"), 0);
  EXPECT_EQ(ParseTimeText("2011-05-03 12:34:56.000"), 0);
  EXPECT_EQ(ParseTimeText("2011-05-03T12:34:56"), 0);
  EXPECT_EQ(ParseTimeText("2011-05-03 12:34:"), 0);
  EXPECT_EQ(ParseTimeText("2011-05-03 123:34:56"), 0);
  EXPECT_EQ(ParseTimeText(""), 0);
  EXPECT_EQ(ParseTimeText("2011"), 0);
  EXPECT_EQ(ParseTimeText(nullptr), 0);
}

TEST(TimeText, NormalisesOutOfRangeFields) {
  ScopedTimeZone zone("UTC");
  EXPECT_EQ(ParseTimeText("2011-13-01 00:00:00"), ParseTimeText("2012-01-01 00:00:00"));
  EXPECT_EQ(ParseTimeText("2011-05-03 10:75:00"), ParseTimeText("2011-05-03 11:15:00"));
}

// Every formatted local time reads back as the same second, winter and
// summer, in zones with and without daylight saving time. The repeated hour
// when clocks go back names two instants with one text; it is left out.
class TimeTextRoundTrip : public testing::TestWithParam<const char*> {};

TEST_P(TimeTextRoundTrip, FormattedTimeParsesBackToItself) {
  ScopedTimeZone zone(GetParam());
  const int64_t start = 1767225600;  // 2026-01-01 00:00:00 UTC
  int checked = 0;
  for (int64_t t = start; t < start + 366 * 86400; t += 4337) {
    const std::string text = LocalTimeText(t);
    if (text == LocalTimeText(t - 3600) || text == LocalTimeText(t + 3600)) continue;
    ASSERT_EQ(ParseTimeText(text.c_str()), t) << text << " in " << GetParam();
    ++checked;
  }
  EXPECT_GT(checked, 7000);
}

INSTANTIATE_TEST_SUITE_P(Zones, TimeTextRoundTrip,
                         testing::Values("UTC", "Asia/Shanghai", "America/New_York"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (c == '/') c = '_';
                           }
                           return name;
                         });

TEST(TimeText, WinterTimeInDaylightZoneIsNotAnHourEarly) {
  ScopedTimeZone zone("America/New_York");
  // 2026-01-15 12:00:00 EST is 17:00:00 UTC.
  EXPECT_EQ(ParseTimeText("2026-01-15 12:00:00"), 1768496400);
  // 2026-07-15 12:00:00 EDT is 16:00:00 UTC.
  EXPECT_EQ(ParseTimeText("2026-07-15 12:00:00"), 1784131200);
}

}  // namespace
}  // namespace zelvar
