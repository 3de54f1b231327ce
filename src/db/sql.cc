// Sql: statement texts with their values kept apart from the text.

#include "db/sql.h"

#include <charconv>
#include <string_view>

#include "util/text.h"

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
  const auto flush = [&](size_t end) {
    if (end > literal_start) emit(Piece{format.substr(literal_start, end - literal_start)});
  };
  // Every place and every "%%" starts at a "%": the text between them is
  // literal, so the scan jumps from one "%" to the next.
  size_t i = format.find('%');
  while (i != std::string_view::npos) {
    const bool can_place = places < max_places;
    const bool kind = i + 1 < format.size() && (format[i + 1] == 's' || format[i + 1] == 'd');
    if (can_place && kind && i >= literal_start + 1 && format[i - 1] == '\'' &&
        i + 2 < format.size() && format[i + 2] == '\'') {
      // A quoted place: its apostrophes belong to it.
      flush(i - 1);
      emit(Piece{{}, true, true});
      ++places;
      literal_start = i + 3;
    } else if (i + 1 < format.size() && format[i + 1] == '%') {
      flush(i + 1);  // keeps one "%"
      literal_start = i + 2;
    } else if (can_place && kind) {
      flush(i);
      emit(Piece{{}, true, false});
      ++places;
      literal_start = i + 2;
    } else {
      i = format.find('%', i + 1);
      continue;
    }
    i = format.find('%', literal_start);
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
  text.reserve(format_.size() + 16);
  size_t next = 0;
  ScanFormat(format_, values_.size(), [&](const Piece& piece) {
    if (!piece.is_place) {
      AppendWide(piece.literal, &text);
      return;
    }
    const SqlValue& value = values_[next++];
    if (piece.quoted) text.push_back(u'\'');
    switch (value.kind()) {
      case SqlValue::Kind::kInteger: {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value.integer()).ptr;
        AppendWide(std::string_view(digits, static_cast<size_t>(end - digits)), &text);
        break;
      }
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
