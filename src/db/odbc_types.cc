// The ODBC backend's values: the ADO type code and reading of each SQL
// type, values bound to a statement's places, and columns described and
// fetched.

#include <algorithm>
#include <cstdio>
#include <optional>

#include "db/odbc_internal.h"
#include "util/text.h"

namespace zelvar::db {
namespace {

// Texts are read in pieces of this many UTF-16 units (terminator included).
constexpr size_t kTextPieceUnits = 2048;

// ADO's numbering for the types that no enumerator of variant.h names.
constexpr int kAdNumeric = 131;
constexpr int kAdDBDate = 133;
constexpr int kAdDBTime = 134;
constexpr int kAdGuid = 72;
constexpr int kAdBinary = 128;
constexpr int kAdVarBinary = 204;
constexpr int kAdLongVarBinary = 205;

struct TypeReading {
  SQLSMALLINT sql_type;
  int ado_type;
  ReadAs read;
};

constexpr TypeReading kTypeReadings[] = {
    {SQL_INTEGER, kAdInteger, ReadAs::kInteger},
    {SQL_SMALLINT, kAdSmallInt, ReadAs::kInteger},
    {SQL_TINYINT, kAdSmallInt, ReadAs::kInteger},
    {SQL_BIGINT, kAdBigInt, ReadAs::kInteger},
    {SQL_BIT, kAdBoolean, ReadAs::kBit},
    {SQL_DOUBLE, kAdDouble, ReadAs::kReal},
    {SQL_FLOAT, kAdDouble, ReadAs::kReal},
    {SQL_REAL, kAdDouble, ReadAs::kReal},
    {SQL_NUMERIC, kAdNumeric, ReadAs::kReal},
    {SQL_DECIMAL, kAdNumeric, ReadAs::kReal},
    {SQL_TYPE_TIMESTAMP, kAdDBTimeStamp, ReadAs::kTimestamp},
    {SQL_TIMESTAMP, kAdDBTimeStamp, ReadAs::kTimestamp},
    {-155, kAdDBTimeStamp, ReadAs::kTimestamp},  // SQL Server datetimeoffset
    {SQL_TYPE_DATE, kAdDBDate, ReadAs::kTimestamp},
    {SQL_DATE, kAdDBDate, ReadAs::kTimestamp},
    {SQL_TYPE_TIME, kAdDBTime, ReadAs::kText},
    {SQL_TIME, kAdDBTime, ReadAs::kText},
    {-154, kAdDBTime, ReadAs::kText},  // SQL Server time
    {SQL_CHAR, kAdChar, ReadAs::kText},
    {SQL_WCHAR, kAdWChar, ReadAs::kText},
    {SQL_VARCHAR, kAdVarChar, ReadAs::kText},
    {SQL_WVARCHAR, kAdVarWChar, ReadAs::kText},
    {SQL_LONGVARCHAR, kAdLongVarChar, ReadAs::kText},
    {SQL_WLONGVARCHAR, kAdLongVarWChar, ReadAs::kText},
    {SQL_GUID, kAdGuid, ReadAs::kText},
    {SQL_BINARY, kAdBinary, ReadAs::kText},
    {SQL_VARBINARY, kAdVarBinary, ReadAs::kText},
    {SQL_LONGVARBINARY, kAdLongVarBinary, ReadAs::kText},
};

std::string TimestampText(const SQL_TIMESTAMP_STRUCT& t) {
  char text[32];
  std::snprintf(text, sizeof(text), "%04d-%02u-%02u %02u:%02u:%02u", static_cast<int>(t.year),
                static_cast<unsigned>(t.month) % 100, static_cast<unsigned>(t.day) % 100,
                static_cast<unsigned>(t.hour) % 100, static_cast<unsigned>(t.minute) % 100,
                static_cast<unsigned>(t.second) % 100);
  return text;
}

// Reads YYYY-MM-DD HH:MM:SS (one- or two-digit fields after the year).
std::optional<SQL_TIMESTAMP_STRUCT> ParseTimestamp(const std::string& text) {
  int year, month, day, hour, minute, second;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &year, &month, &day, &hour, &minute,
                  &second, &tail) != 6) {
    return std::nullopt;
  }
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return std::nullopt;
  }
  SQL_TIMESTAMP_STRUCT t{};
  t.year = static_cast<SQLSMALLINT>(year);
  t.month = static_cast<SQLUSMALLINT>(month);
  t.day = static_cast<SQLUSMALLINT>(day);
  t.hour = static_cast<SQLUSMALLINT>(hour);
  t.minute = static_cast<SQLUSMALLINT>(minute);
  t.second = static_cast<SQLUSMALLINT>(second);
  return t;
}

void SetWideText(std::u16string text, BoundValue* bound) {
  bound->c_type = SQL_C_WCHAR;
  bound->sql_type = SQL_WVARCHAR;
  bound->text = std::move(text);
  bound->indicator = static_cast<SQLLEN>(bound->text.size() * sizeof(SQLWCHAR));
}

// Fills `bound` for `value`: integers as 32 bits when they fit, date-times
// of the usual shape as timestamps, texts as UTF-16.
void SetBoundValue(const SqlValue& value, BoundValue* bound) {
  bound->text.clear();
  switch (value.kind()) {
    case SqlValue::Kind::kInteger:
      if (value.integer() >= INT32_MIN && value.integer() <= INT32_MAX) {
        bound->c_type = SQL_C_SLONG;
        bound->sql_type = SQL_INTEGER;
        bound->int32 = static_cast<SQLINTEGER>(value.integer());
      } else {
        bound->c_type = SQL_C_SBIGINT;
        bound->sql_type = SQL_BIGINT;
        bound->int64 = value.integer();
      }
      bound->indicator = 0;
      break;
    case SqlValue::Kind::kDateTime:
      if (std::optional<SQL_TIMESTAMP_STRUCT> t = ParseTimestamp(value.date_time())) {
        bound->c_type = SQL_C_TYPE_TIMESTAMP;
        bound->sql_type = SQL_TYPE_TIMESTAMP;
        bound->timestamp = *t;
        bound->indicator = sizeof(SQL_TIMESTAMP_STRUCT);
        break;
      }
      // Text of another shape goes as text; the server judges it.
      SetWideText(ToWide(value.date_time()), bound);
      break;
    case SqlValue::Kind::kText:
      SetWideText(ThroughNarrow(value.text()), bound);
      break;
  }
}

SQLRETURN BindParameter(SQLHSTMT statement, SQLUSMALLINT number, BoundValue& bound) {
  switch (bound.c_type) {
    case SQL_C_SLONG:
      return SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0,
                              &bound.int32, 0, &bound.indicator);
    case SQL_C_SBIGINT:
      return SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 19, 0,
                              &bound.int64, 0, &bound.indicator);
    case SQL_C_TYPE_TIMESTAMP:
      return SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP,
                              SQL_TYPE_TIMESTAMP, 19, 0, &bound.timestamp, sizeof(bound.timestamp),
                              &bound.indicator);
    case SQL_C_WCHAR:
      // The column size may not be 0 for some drivers, even for "".
      return SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                              std::max<SQLULEN>(bound.text.size(), 1), 0, Wide(bound.text),
                              bound.indicator, &bound.indicator);
  }
  return SQL_ERROR;
}

// A boolean read as text (psqlODBC's "1"/"0", or "t"/"f" and the like).
Variant BoolOfText(const Variant& text_value) {
  std::u16string text;
  text_value.ToText(&text);
  const bool truth = text == u"1" || text == u"t" || text == u"true" || text == u"T" ||
                     text == u"TRUE" || text == u"-1";
  return Variant::Integer(truth ? 1 : 0);
}

// Reads a fixed-size value of C type `c_type` into `read` and makes it a
// Variant with `make` (NULL as null).
template <typename T, typename Make>
SQLRETURN ReadFixed(SQLHSTMT statement, SQLUSMALLINT column, SQLSMALLINT c_type, Make make,
                    Variant* value) {
  T read{};
  SQLLEN indicator = 0;
  const SQLRETURN rc = SQLGetData(statement, column, c_type, &read, sizeof(read), &indicator);
  if (SQL_SUCCEEDED(rc)) *value = indicator == SQL_NULL_DATA ? Variant::Null() : make(read);
  return rc;
}

}  // namespace

Column DescribeType(SQLSMALLINT sql_type, const std::u16string& type_name) {
  Column column;
  for (const TypeReading& reading : kTypeReadings) {
    if (reading.sql_type == sql_type) {
      column.ado_type = reading.ado_type;
      column.read = reading.read;
      break;
    }
  }
  if (column.read == ReadAs::kText && (type_name == u"bool" || type_name == u"boolean")) {
    column.ado_type = kAdBoolean;
    column.read = ReadAs::kBoolText;
  }
  return column;
}

Status OdbcConnection::Bind(Prepared* prepared, const std::vector<SqlValue>& values,
                            bool* other_types) {
  *other_types = false;
  bound_.resize(values.size());
  std::vector<std::pair<SQLSMALLINT, SQLSMALLINT>> signature;
  signature.reserve(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    SetBoundValue(values[i], &bound_[i]);
    signature.emplace_back(bound_[i].c_type, bound_[i].sql_type);
  }
  SQLHSTMT statement = prepared->handle.get();
  // A statement prepared for other parameter types is prepared again
  // rather than trusting every driver to adapt.
  if (prepared->prepared && prepared->signature != signature) {
    SQLFreeStmt(statement, SQL_CLOSE);
    SQLFreeStmt(statement, SQL_RESET_PARAMS);
    *other_types = true;
    return Status::OK();
  }
  prepared->signature = std::move(signature);
  for (size_t i = 0; i < values.size(); ++i) {
    if (!SQL_SUCCEEDED(BindParameter(statement, static_cast<SQLUSMALLINT>(i + 1), bound_[i]))) {
      Status status = Fail(SQL_HANDLE_STMT, statement, u"a value could not be bound");
      SQLFreeStmt(statement, SQL_RESET_PARAMS);
      return status;
    }
  }
  return Status::OK();
}

Status OdbcConnection::Describe(Prepared* prepared) {
  Status status = DescribeColumns(prepared->handle.get(), &prepared->columns);
  prepared->described = status.ok();
  return status;
}

Status OdbcConnection::DescribeColumns(SQLHSTMT statement, std::vector<Column>* columns) {
  SQLSMALLINT count = 0;
  if (!SQL_SUCCEEDED(SQLNumResultCols(statement, &count))) {
    return Fail(SQL_HANDLE_STMT, statement, u"the result could not be described");
  }
  columns->clear();
  for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
    SQLWCHAR name[256] = {0};
    SQLSMALLINT name_length = 0;
    SQLSMALLINT sql_type = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = 0;
    if (!SQL_SUCCEEDED(SQLDescribeColW(statement, i, name, 256, &name_length, &sql_type, &size,
                                       &digits, &nullable))) {
      return Fail(SQL_HANDLE_STMT, statement, u"a column could not be described");
    }
    std::u16string type_name;
    if (sql_type == SQL_VARCHAR || sql_type == SQL_WVARCHAR || sql_type == SQL_CHAR ||
        sql_type == SQL_WCHAR) {
      SQLWCHAR type[64] = {0};
      SQLSMALLINT type_length = 0;
      if (SQL_SUCCEEDED(SQLColAttributeW(statement, i, SQL_DESC_TYPE_NAME, type, sizeof(type),
                                         &type_length, nullptr))) {
        size_t units = 0;
        while (units < 63 && type[units] != 0) ++units;
        type_name = FromWide(type, units);
      }
    }
    Column column = DescribeType(sql_type, type_name);
    size_t units = std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(name_length, 0)), 255);
    column.name = ToNarrow(FromWide(name, units));
    columns->push_back(std::move(column));
  }
  return Status::OK();
}

Status OdbcConnection::ReadUtf8Text(SQLHSTMT statement, SQLUSMALLINT column, Variant* value) {
  std::string bytes;
  char piece[4 * kTextPieceUnits];
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(statement, column, SQL_C_BINARY, piece, sizeof(piece), &indicator);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) return Fail(SQL_HANDLE_STMT, statement, u"a text could not be read");
    if (indicator == SQL_NULL_DATA) {
      *value = Variant::Null();
      return Status::OK();
    }
    // Binary pieces carry no terminator: a full piece means more follow.
    if (indicator == SQL_NO_TOTAL || static_cast<size_t>(indicator) > sizeof(piece)) {
      bytes.append(piece, sizeof(piece));
      continue;
    }
    bytes.append(piece, static_cast<size_t>(indicator));
    break;
  }
  *value = Variant::Text(ToWide(bytes));
  return Status::OK();
}

Status OdbcConnection::ReadText(SQLHSTMT statement, SQLUSMALLINT column, Variant* value) {
  if (texts_as_utf8_) return ReadUtf8Text(statement, column, value);
  std::u16string text;
  SQLWCHAR piece[kTextPieceUnits];
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(statement, column, SQL_C_WCHAR, piece, sizeof(piece), &indicator);
    if (rc == SQL_NO_DATA) break;  // the previous piece was the last
    if (!SQL_SUCCEEDED(rc)) return Fail(SQL_HANDLE_STMT, statement, u"a text could not be read");
    if (indicator == SQL_NULL_DATA) {
      *value = Variant::Null();
      return Status::OK();
    }
    const size_t room = kTextPieceUnits - 1;  // the driver ends each piece with a zero
    if (indicator == SQL_NO_TOTAL || static_cast<size_t>(indicator) / sizeof(SQLWCHAR) > room) {
      text.append(reinterpret_cast<const char16_t*>(piece), room);
      continue;
    }
    text.append(reinterpret_cast<const char16_t*>(piece),
                static_cast<size_t>(indicator) / sizeof(SQLWCHAR));
    break;
  }
  *value = Variant::Text(std::move(text));
  return Status::OK();
}

Status OdbcConnection::ReadField(SQLHSTMT statement, SQLUSMALLINT column, ReadAs read,
                                 Variant* value) {
  SQLRETURN rc = SQL_SUCCESS;
  switch (read) {
    case ReadAs::kInteger:
      rc = ReadFixed<SQLBIGINT>(statement, column, SQL_C_SBIGINT,
                                [](SQLBIGINT integer) { return Variant::Integer(integer); }, value);
      break;
    case ReadAs::kBit:
      rc = ReadFixed<unsigned char>(
          statement, column, SQL_C_BIT,
          [](unsigned char bit) { return Variant::Integer(bit ? 1 : 0); }, value);
      break;
    case ReadAs::kReal:
      rc = ReadFixed<double>(statement, column, SQL_C_DOUBLE,
                             [](double real) { return Variant::Real(real); }, value);
      break;
    case ReadAs::kTimestamp:
      rc = ReadFixed<SQL_TIMESTAMP_STRUCT>(
          statement, column, SQL_C_TYPE_TIMESTAMP,
          [](const SQL_TIMESTAMP_STRUCT& t) { return Variant::Text(ToWide(TimestampText(t))); },
          value);
      break;
    case ReadAs::kBoolText:
    case ReadAs::kText: {
      Status status = ReadText(statement, column, value);
      if (status.ok() && read == ReadAs::kBoolText && !value->IsNull()) {
        *value = BoolOfText(*value);
      }
      return status;
    }
  }
  if (!SQL_SUCCEEDED(rc)) return Fail(SQL_HANDLE_STMT, statement, u"a field could not be read");
  return Status::OK();
}

Status OdbcConnection::Fetch(SQLHSTMT statement, const std::vector<Column>& columns,
                             ResultSet* rows) {
  for (;;) {
    SQLRETURN rc = SQLFetch(statement);
    if (rc == SQL_NO_DATA) return Status::OK();
    if (!SQL_SUCCEEDED(rc)) return Fail(SQL_HANDLE_STMT, statement, u"a row could not be fetched");
    std::vector<Variant> row;
    row.reserve(columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
      Variant value;
      Status status = ReadField(statement, static_cast<SQLUSMALLINT>(i + 1), columns[i].read, &value);
      if (!status.ok()) return status;
      row.push_back(std::move(value));
    }
    rows->rows.push_back(std::move(row));
  }
}

}  // namespace zelvar::db
