// Sql: statement texts with their values kept apart from the text.

#include "db/sql.h"

#include <string_view>

#include "db/text.h"

namespace zelvar::db {
namespace {

// One piece of a statement format: literal text, or a place for a value.
struct Piece {
  std::string_view literal;  // when !is_place
  bool is_place = false;
  bool quoted = false;  // the place stood between apostrophes
};

// Walks `format` and calls `emit` for every piece, in order. Places are
// '%s', '%d' (apostrophes included), %d and %s; "%%" is a literal "%".
// Only the first `max_places` places count as places; later ones stay
// literal text, so a value that is missing shows up as a faulty statement
// rather than as a value out of order.
template <typename Emit>
void ScanFormat(std::string_view format, size_t max_places, Emit emit) {
  size_t places = 0;
  size_t literal_start = 0;
  size_t i = 0;
  const auto flush = [&](size_t end) {
    if (end > literal_start) emit(Piece{format.substr(literal_start, end - literal_start)});
  };
  while (i < format.size()) {
    const bool can_place = places < max_places;
    if (can_place && format[i] == '\'' && i + 3 < format.size() && format[i + 1] == '%' &&
        (format[i + 2] == 's' || format[i + 2] == 'd') && format[i + 3] == '\'') {
      flush(i);
      emit(Piece{{}, true, true});
      ++places;
      i += 4;
      literal_start = i;
    } else if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '%') {
      flush(i + 1);  // keeps one "%"
      i += 2;
      literal_start = i;
    } else if (can_place && format[i] == '%' && i + 1 < format.size() &&
               (format[i + 1] == 'd' || format[i + 1] == 's')) {
      flush(i);
      emit(Piece{{}, true, false});
      ++places;
      i += 2;
      literal_start = i;
    } else {
      ++i;
    }
  }
  flush(format.size());
}

}  // namespace

SqlValue SqlValue::Integer(int64_t value) {
  SqlValue v;
  v.kind_ = Kind::kInteger;
  v.integer_ = value;
  return v;
}

SqlValue SqlValue::Text(std::u16string value) {
  SqlValue v;
  v.kind_ = Kind::kText;
  v.text_ = std::move(value);
  return v;
}

SqlValue SqlValue::DateTime(std::string text) {
  SqlValue v;
  v.kind_ = Kind::kDateTime;
  v.date_time_ = std::move(text);
  return v;
}

Sql::Sql(std::string format, std::vector<SqlValue> values)
    : format_(std::move(format)), values_(std::move(values)) {
  parameterized_.reserve(format_.size());
  size_t places = 0;
  ScanFormat(format_, values_.size(), [&](const Piece& piece) {
    if (piece.is_place) {
      parameterized_.push_back('?');
      ++places;
    } else {
      parameterized_.append(piece.literal);
    }
  });
  // Values beyond the places have nowhere to go; binding them would only
  // make the backend refuse the statement for a count it can't see.
  values_.resize(places);
}

std::u16string Sql::Text() const {
  std::u16string text;
  size_t next = 0;
  ScanFormat(format_, values_.size(), [&](const Piece& piece) {
    if (!piece.is_place) {
      text += ToWide(piece.literal);
      return;
    }
    const SqlValue& value = values_[next++];
    if (piece.quoted) text.push_back(u'\'');
    switch (value.kind()) {
      case SqlValue::Kind::kInteger:
        text += ToWide(std::to_string(value.integer()));
        break;
      case SqlValue::Kind::kText:
        for (char16_t unit : value.text()) {
          if (unit == u'\'' && piece.quoted) text.push_back(u'\'');
          text.push_back(unit);
        }
        break;
      case SqlValue::Kind::kDateTime:
        for (char16_t unit : ToWide(value.date_time())) {
          if (unit == u'\'' && piece.quoted) text.push_back(u'\'');
          text.push_back(unit);
        }
        break;
    }
    if (piece.quoted) text.push_back(u'\'');
  });
  return text;
}

}  // namespace zelvar::db
