// Places in statement formats of every shape: the text sent and the text
// logged must follow one rule, checked here against a plain character by
// character reading of it on random formats.

#include <random>
#include <utility>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/sql.h"
#include "util/text.h"

namespace zelvar::test {
namespace {

using db::Sql;
using db::SqlValue;

// The rule read one character at a time: '%s' or '%d' between apostrophes
// is a quoted place, %s or %d a bare one, "%%" one "%"; only the first
// `values.size()` places count. Gives the text sent (places as "?") and the
// text logged (integers written in, quoted places keeping their
// apostrophes).
std::pair<std::string, std::string> Expected(const std::string& format,
                                             const std::vector<int>& values) {
  std::string sent, logged;
  size_t places = 0;
  for (size_t i = 0; i < format.size();) {
    const bool can = places < values.size();
    if (can && format[i] == '\'' && i + 3 < format.size() && format[i + 1] == '%' &&
        (format[i + 2] == 's' || format[i + 2] == 'd') && format[i + 3] == '\'') {
      sent += '?';
      logged += "'" + std::to_string(values[places++]) + "'";
      i += 4;
    } else if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '%') {
      sent += '%';
      logged += '%';
      i += 2;
    } else if (can && format[i] == '%' && i + 1 < format.size() &&
               (format[i + 1] == 'd' || format[i + 1] == 's')) {
      sent += '?';
      logged += std::to_string(values[places++]);
      i += 2;
    } else {
      sent += format[i];
      logged += format[i++];
    }
  }
  return {sent, logged};
}

TEST(SqlPlaces, RandomFormatsFollowTheRule) {
  std::mt19937 random(7);
  const char alphabet[] = {'\'', '%', 's', 'd', 'x', ' ', '%', '\''};
  for (int round = 0; round < 20000; ++round) {
    std::string format;
    const int length = static_cast<int>(random() % 14);
    for (int i = 0; i < length; ++i) format += alphabet[random() % sizeof alphabet];
    std::vector<int> numbers;
    std::vector<SqlValue> values;
    const int count = static_cast<int>(random() % 4);
    for (int i = 0; i < count; ++i) {
      numbers.push_back(i * 11 - 7);
      values.push_back(SqlValue::Integer(numbers.back()));
    }
    const Sql sql(format, values);
    const auto [sent, logged] = Expected(format, numbers);
    ASSERT_EQ(sql.parameterized(), sent) << "format [" << format << "]";
    ASSERT_EQ(ToNarrow(sql.Text()), logged) << "format [" << format << "]";
  }
}

}  // namespace
}  // namespace zelvar::test
