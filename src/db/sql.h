// Sql: one statement text of the module with its values kept apart.
//
// The handlers' statement texts keep their printf-style places: %d for an
// integer, '%s' for a text or a date-time between apostrophes, '%d' for an
// integer between apostrophes. Each place takes the next value in order.
// The backends send the text with every place turned into a bound
// parameter, so no value can change a statement; Text() shows the
// statement with the values written in, for the logs.
#ifndef ZELVAR_DB_SQL_H_
#define ZELVAR_DB_SQL_H_

#include <cstdint>
#include <string>
#include <vector>

namespace zelvar::db {

class SqlValue {
 public:
  enum class Kind { kInteger, kText, kDateTime };

  static SqlValue Integer(int64_t value);
  // Wide text; lone surrogates reach the database as "?".
  static SqlValue Text(std::u16string value);
  // A local time text YYYY-MM-DD HH:MM:SS, bound as the server's date-time.
  static SqlValue DateTime(std::string text);

  Kind kind() const { return kind_; }
  int64_t integer() const { return integer_; }
  const std::u16string& text() const { return text_; }
  const std::string& date_time() const { return date_time_; }

 private:
  Kind kind_ = Kind::kInteger;
  int64_t integer_ = 0;
  std::u16string text_;
  std::string date_time_;
};

class Sql {
 public:
  // REQUIRES: `format` holds exactly values.size() places.
  Sql(std::string format, std::vector<SqlValue> values = {});

  const std::string& format() const { return format_; }
  const std::vector<SqlValue>& values() const { return values_; }

  // The text sent to a backend: each place, its apostrophes included,
  // replaced by "?" ("x = '%s'" becomes "x = ?").
  const std::string& parameterized() const { return parameterized_; }

  // The statement with its values written in: integers in decimal, texts
  // and date-times as they are between the format's apostrophes, with each
  // apostrophe of a value doubled.
  std::u16string Text() const;

 private:
  std::string format_;
  std::vector<SqlValue> values_;
  std::string parameterized_;
};

}  // namespace zelvar::db

#endif  // ZELVAR_DB_SQL_H_
