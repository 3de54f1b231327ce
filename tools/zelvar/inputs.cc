// Goods entries and invitation CSV files.
#include "tools/zelvar/inputs.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <optional>

#include "codec/keys.h"
#include "tools/zelvar/text_util.h"
#include "util/text.h"

namespace zelvar::cli {
namespace {

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

struct AmountSpelling {
  const char* module_text;
  std::array<const char*, 3> aliases;
  bool quota;
};

constexpr AmountSpelling kAmounts[] = {
    {"7天", {"7d", "7days", "7day"}, false},
    {"30天", {"30d", "30days", "30day"}, false},
    {"永久", {"forever", "permanent", "perm"}, false},
    {"1个", {"1x", "x1", "one"}, true},
    {"2个", {"2x", "x2", "two"}, true},
    {"6个", {"6x", "x6", "six"}, true},
};

const AmountSpelling* FindAmount(std::string_view text) {
  const std::string lower = Lower(text);
  for (const AmountSpelling& amount : kAmounts) {
    if (text == amount.module_text) return &amount;
    for (const char* alias : amount.aliases) {
      if (lower == alias) return &amount;
    }
  }
  return nullptr;
}

// One CSV record starting at `*pos`; false at the end of the content.
// `line` counts physical lines for messages.
bool NextCsvRecord(std::string_view content, size_t* pos, int* line,
                   std::vector<std::string>* fields, std::string* error) {
  fields->clear();
  if (*pos >= content.size()) return false;
  std::string field;
  bool quoted = false, was_quoted = false;
  while (*pos < content.size()) {
    const char c = content[(*pos)++];
    if (quoted) {
      if (c == '"') {
        if (*pos < content.size() && content[*pos] == '"') {
          field.push_back('"');
          ++*pos;
        } else {
          quoted = false;
        }
      } else {
        if (c == '\n') ++*line;
        field.push_back(c);
      }
    } else if (c == '"' && field.empty() && !was_quoted) {
      quoted = was_quoted = true;
    } else if (c == ',') {
      fields->push_back(std::move(field));
      field.clear();
      was_quoted = false;
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && *pos < content.size() && content[*pos] == '\n') ++*pos;
      ++*line;
      fields->push_back(std::move(field));
      return true;
    } else {
      field.push_back(c);
    }
  }
  if (quoted) {
    *error = "a quoted field that starts by line " + std::to_string(*line) + " never ends";
    fields->clear();
    return false;
  }
  fields->push_back(std::move(field));
  return true;
}

enum Column { kCode, kState, kEmail, kGroup, kNote, kZone, kReply };

std::optional<Column> ColumnNamed(std::string_view name) {
  static const std::map<std::string, Column> kNames = {
      {"code", kCode},   {"invitecode", kCode},     {"sinvitecode", kCode},
      {"state", kState}, {"nstate", kState},        {"email", kEmail},
      {"invitedemail", kEmail},                     {"sinvitedemail", kEmail},
      {"group", kGroup}, {"ngroup", kGroup},        {"note", kNote},
      {"snote", kNote},  {"zone", kZone},           {"zoneid", kZone},
      {"nzoneid", kZone}, {"reply", kReply},        {"nreply", kReply}};
  std::string key = Lower(name);
  key.erase(std::remove_if(key.begin(), key.end(), [](char c) { return c == ' ' || c == '_'; }),
            key.end());
  const auto it = kNames.find(key);
  if (it == kNames.end()) return std::nullopt;
  return it->second;
}

// The columns that the header line `names` names; false with `error` for
// an unknown or repeated column or one of code and email missing.
bool ReadCsvHeader(const std::vector<std::string>& names, std::vector<Column>* columns,
                   std::string* error) {
  bool seen[kReply + 1] = {};
  for (const std::string& name : names) {
    const auto column = ColumnNamed(name);
    if (!column) {
      *error = "line 1: unknown column '" + name + "' (columns: code, state, email, group, note, zone, reply)";
      return false;
    }
    if (seen[*column]) {
      *error = "line 1: the column '" + name + "' appears twice";
      return false;
    }
    seen[*column] = true;
    columns->push_back(*column);
  }
  if (!seen[kCode] || !seen[kEmail]) {
    *error = "line 1 must name at least the columns code and email";
    return false;
  }
  return true;
}

// The invitation in the fields of line `record_line`; false with `error`
// for a number that is not one.
bool ReadCsvRow(const std::vector<Column>& columns, const std::vector<std::string>& fields,
                int record_line, codec::Invitation* row, std::string* error) {
  for (size_t i = 0; i < columns.size(); ++i) {
    const std::string& field = fields[i];
    int32_t* number = nullptr;
    switch (columns[i]) {
      case kCode: row->invite_code = ToWide(field); break;
      case kEmail: row->invited_email = ToWide(field); break;
      case kNote: row->note = ToWide(field); break;
      case kState: number = &row->state; break;
      case kGroup: number = &row->group; break;
      case kZone: number = &row->zone_id; break;
      case kReply: number = &row->reply; break;
    }
    if (number != nullptr && !field.empty()) {
      const auto value = ParseInt32(field);
      if (!value) {
        *error = "line " + std::to_string(record_line) + ": '" + field + "' is not a whole number";
        return false;
      }
      *number = *value;
    }
  }
  return true;
}

}  // namespace

bool ParseGoodsEntry(std::string_view text, codec::GoodsEntry* entry, std::string* error) {
  const std::string quoted = "'" + std::string(text) + "'";
  const std::vector<std::string_view> parts = Split(text, ':');
  if (parts.size() != 3 && parts.size() != 5) {
    *error = "goods entry " + quoted + " must be GOODS:AMOUNT:TYPE or GOODS:AMOUNT:TYPE:A1:A2";
    return false;
  }
  const auto goods_id = ParseInt32(parts[0]);
  if (!goods_id) {
    *error = "goods entry " + quoted + ": the goods id '" + std::string(parts[0]) + "' is not a number";
    return false;
  }
  const auto type = ParseInt32(parts[2]);
  if (!type) {
    *error = "goods entry " + quoted + ": the goods type '" + std::string(parts[2]) + "' is not a number";
    return false;
  }
  const AmountSpelling* amount = FindAmount(parts[1]);
  if (amount == nullptr) {
    *error = "goods entry " + quoted + ": the amount '" + std::string(parts[1]) +
             "' is none of 7天 (7d), 30天 (30d), 永久 (forever), 1个 (1x), 2个 (2x), 6个 (6x)";
    return false;
  }
  if (amount->quota != codec::IsQuotaType(*type)) {
    *error = "goods entry " + quoted + ": goods type " + std::to_string(*type) +
             (codec::IsQuotaType(*type) ? " is quota goods and takes a count: 1个, 2个 or 6个"
                                 : " is time-limited goods and takes a duration: 7天, 30天 or 永久");
    return false;
  }
  codec::GoodsEntry parsed;
  parsed.goods_id = *goods_id;
  parsed.type = *type;
  parsed.amount = ToWide(amount->module_text);
  if (parts.size() == 5) {
    const auto a1 = ParseInt32(parts[3]), a2 = ParseInt32(parts[4]);
    if (!a1 || !a2 || *a1 < 0 || *a2 < 0) {
      *error = "goods entry " + quoted + ": the amounts A1 and A2 must be whole numbers, 0 or more";
      return false;
    }
    parsed.amount1 = *a1;
    parsed.amount2 = *a2;
  }
  *entry = parsed;
  return true;
}

bool ParseInviteCsv(std::string_view content, std::vector<codec::Invitation>* rows,
                    std::string* error) {
  error->clear();
  if (content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
  size_t pos = 0;
  int line = 1;
  std::vector<std::string> fields;
  if (!NextCsvRecord(content, &pos, &line, &fields, error)) {
    if (error->empty()) *error = "the file is empty; its first line must name the columns";
    return false;
  }
  std::vector<Column> columns;
  if (!ReadCsvHeader(fields, &columns, error)) return false;
  rows->clear();
  while (true) {
    const int record_line = line;
    if (!NextCsvRecord(content, &pos, &line, &fields, error)) {
      if (!error->empty()) return false;
      break;
    }
    if (fields.size() == 1 && fields[0].empty()) continue;  // a blank line
    if (fields.size() != columns.size()) {
      *error = "line " + std::to_string(record_line) + ": " + std::to_string(fields.size()) +
               " fields where the header names " + std::to_string(columns.size());
      return false;
    }
    codec::Invitation row;
    if (!ReadCsvRow(columns, fields, record_line, &row, error)) return false;
    rows->push_back(std::move(row));
  }
  if (rows->empty()) {
    *error = "the file names its columns but holds no row";
    return false;
  }
  return true;
}

}  // namespace zelvar::cli
