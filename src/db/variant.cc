// Variant: field values and the rules by which the handlers take them apart.

#include "db/variant.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "util/text.h"

namespace zelvar::db {
namespace {

// The leading decimal number of `text` (blanks skipped, a sign allowed),
// as the low 32 bits of its value; 0 when there is none.
int32_t LeadingInteger(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
    negative = text[i] == u'-';
    ++i;
  }
  uint32_t value = 0;  // unsigned: wraps instead of overflowing
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10u + static_cast<uint32_t>(text[i] - u'0');
  }
  return static_cast<int32_t>(negative ? 0u - value : value);
}

double LeadingReal(std::u16string_view text) {
  // Only ASCII can belong to a number, so the narrow form is exact here.
  std::string narrow;
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
  if (i < text.size() && text[i] == u'+') ++i;
  for (; i < text.size() && text[i] < 0x80; ++i) narrow.push_back(static_cast<char>(text[i]));
  double value = 0;
  std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
  return value;
}

int32_t TruncateToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace

Variant Variant::Null() {
  Variant v;
  v.kind_ = Kind::kNull;
  return v;
}

Variant Variant::Integer(int64_t value) {
  Variant v;
  v.kind_ = Kind::kInteger;
  v.integer_ = value;
  return v;
}

Variant Variant::Real(double value) {
  Variant v;
  v.kind_ = Kind::kReal;
  v.real_ = value;
  return v;
}

Variant Variant::Text(std::u16string value) {
  Variant v;
  v.kind_ = Kind::kText;
  v.text_ = std::move(value);
  return v;
}

int32_t Variant::Int32() const {
  switch (kind_) {
    case Kind::kInteger:
      return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(integer_)));
    case Kind::kReal:
      return TruncateToInt32(real_);
    case Kind::kText:
      return LeadingInteger(text_);
    case Kind::kEmpty:
    case Kind::kNull:
      break;
  }
  return 0;
}

std::optional<int64_t> Variant::RowId() const {
  switch (kind_) {
    case Kind::kInteger:
      return integer_;
    case Kind::kReal:
      if (!(real_ > -9.2e18 && real_ < 9.2e18)) return std::nullopt;
      return static_cast<int64_t>(real_);
    case Kind::kText: {
      size_t i = 0;
      while (i < text_.size() && (text_[i] == u' ' || text_[i] == u'\t')) ++i;
      const bool negative = i < text_.size() && text_[i] == u'-';
      if (i < text_.size() && (text_[i] == u'-' || text_[i] == u'+')) ++i;
      uint64_t value = 0;
      for (; i < text_.size() && text_[i] >= u'0' && text_[i] <= u'9'; ++i) {
        const auto digit = static_cast<uint64_t>(text_[i] - u'0');
        if (value > (uint64_t{INT64_MAX} - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
      }
      return negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
    }
    case Kind::kEmpty:
    case Kind::kNull:
      break;
  }
  return std::nullopt;
}

double Variant::Real() const {
  switch (kind_) {
    case Kind::kInteger:
      return static_cast<double>(integer_);
    case Kind::kReal:
      return real_;
    case Kind::kText:
      return LeadingReal(text_);
    case Kind::kEmpty:
    case Kind::kNull:
      break;
  }
  return 0;
}

bool Variant::ToText(std::u16string* out) const {
  char buffer[64];
  switch (kind_) {
    case Kind::kText:
      *out = text_;
      return true;
    case Kind::kInteger: {
      auto end = std::to_chars(buffer, buffer + sizeof(buffer), integer_).ptr;
      *out = ToWide(std::string_view(buffer, end - buffer));
      return true;
    }
    case Kind::kReal: {
      // Fifteen significant digits, the shortest form that shows them.
      auto end = std::to_chars(buffer, buffer + sizeof(buffer), real_,
                               std::chars_format::general, 15).ptr;
      *out = ToWide(std::string_view(buffer, end - buffer));
      return true;
    }
    case Kind::kEmpty:
    case Kind::kNull:
      break;
  }
  return false;
}

}  // namespace zelvar::db
