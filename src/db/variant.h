// Variant: one field value of a record set row, with its null state and the
// column's type code in ADO's numbering.
//
// Backends deliver integers (booleans as 0 or 1), reals and texts; a
// date-time is delivered as the text YYYY-MM-DD HH:MM:SS (no fractions).
#ifndef ZELVAR_DB_VARIANT_H_
#define ZELVAR_DB_VARIANT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelvar::db {

// Column type codes, ADO's numbering.
enum AdoType : int {
  kAdEmpty = 0,
  kAdSmallInt = 2,
  kAdInteger = 3,
  kAdDouble = 5,
  kAdBoolean = 11,
  kAdBigInt = 20,
  kAdChar = 129,
  kAdWChar = 130,
  kAdDBTimeStamp = 135,
  kAdVarChar = 200,
  kAdLongVarChar = 201,
  kAdVarWChar = 202,
  kAdLongVarWChar = 203,
};

class Variant {
 public:
  enum class Kind { kEmpty, kNull, kInteger, kReal, kText };

  Variant() = default;
  static Variant Null();
  static Variant Integer(int64_t value);
  static Variant Real(double value);
  static Variant Text(std::u16string value);

  Kind kind() const { return kind_; }
  bool IsNull() const { return kind_ == Kind::kNull; }

  // The whole-number rule: the value as a 32-bit integer whatever its kind
  // (low 32 bits of an integer, a real truncated, a text read as a decimal
  // number, 0 for null or empty).
  int32_t Int32() const;
  // A row id: the whole value of an integer (64 bits), a text read as a
  // decimal number, a real truncated; nullopt for null or empty, and for
  // a number beyond 64 bits, which no row id is.
  std::optional<int64_t> RowId() const;
  // Numbers as double; a text read as a decimal number; 0 for null.
  double Real() const;
  // The variant-to-text conversion: false (out untouched) for null or
  // empty, which have no text form.
  bool ToText(std::u16string* out) const;
  // The text of a text value, without a copy; empty for other kinds. Valid
  // while the variant lives unchanged.
  const std::u16string& text() const { return text_; }
  std::u16string_view text_view() const {
    return kind_ == Kind::kText ? std::u16string_view(text_) : std::u16string_view();
  }

  bool operator==(const Variant& other) const = default;

 private:
  Kind kind_ = Kind::kEmpty;
  int64_t integer_ = 0;
  double real_ = 0;
  std::u16string text_;
};

}  // namespace zelvar::db

#endif  // ZELVAR_DB_VARIANT_H_
