// Schema scripts taken apart into statements.

#include "util/sql_script.h"

#include <algorithm>
#include <cctype>
#include <regex>

namespace zelvar {

namespace {

std::string LowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char ch) { return static_cast<char>(std::tolower(static_cast<unsigned char>(ch))); });
  return text;
}

// Whether the line from `start` holds only GO, SQL Server's batch
// separator; `end` receives where the line ends.
bool IsGoLine(const std::string& script, size_t start, size_t* end) {
  *end = script.find('\n', start);
  if (*end == std::string::npos) *end = script.size();
  std::string line = script.substr(start, *end - start);
  line.erase(std::remove_if(line.begin(), line.end(),
                            [](char ch) { return std::isspace(static_cast<unsigned char>(ch)); }),
             line.end());
  return LowerAscii(line) == "go";
}

// Where the comment starting at `i` ends, or `i` when none starts there.
size_t CommentEnd(const std::string& script, size_t i) {
  if (script.compare(i, 2, "--") == 0) {
    const size_t end = script.find('\n', i);
    return end == std::string::npos ? script.size() : end;
  }
  if (script.compare(i, 2, "/*") == 0) {
    const size_t end = script.find("*/", i + 2);
    return end == std::string::npos ? script.size() : end + 2;
  }
  return i;
}

// The end of the quoted name or text opening at `i` ('...', "...", `...`
// or [...]; a doubled closing quote stays inside), just past its close.
size_t QuotedEnd(const std::string& script, size_t i) {
  const char close = script[i] == '[' ? ']' : script[i];
  size_t end = i + 1;
  while (end < script.size()) {
    if (script[end] == close) {
      if (end + 1 < script.size() && script[end + 1] == close && close != ']') {
        end += 2;
        continue;
      }
      break;
    }
    ++end;
  }
  return std::min(end + 1, script.size());
}

}  // namespace

std::vector<std::string> SplitSqlScript(const std::string& script) {
  std::vector<std::string> statements;
  std::string current;
  auto flush = [&] {
    const auto first = current.find_first_not_of(" \t\r\n");
    if (first != std::string::npos) statements.push_back(current.substr(first));
    current.clear();
  };
  size_t i = 0;
  bool line_start = true;
  while (i < script.size()) {
    const char c = script[i];
    size_t end = i;
    if (line_start) {
      if (IsGoLine(script, i, &end)) {
        flush();
        i = end;
        continue;
      }
      line_start = false;
    }
    if ((end = CommentEnd(script, i)) != i) {
      i = end;
    } else if (c == '\'' || c == '"' || c == '`' || c == '[') {
      end = QuotedEnd(script, i);
      current.append(script, i, end - i);
      i = end;
    } else if (c == ';') {
      flush();
      ++i;
    } else {
      if (c == '\n') line_start = true;
      current.push_back(c);
      ++i;
    }
  }
  flush();
  return statements;
}

std::string FirstWord(const std::string& sql) {
  size_t i = 0;
  while (i < sql.size()) {
    if (std::isspace(static_cast<unsigned char>(sql[i]))) {
      ++i;
    } else if (sql.compare(i, 2, "--") == 0) {
      i = sql.find('\n', i);
    } else if (sql.compare(i, 2, "/*") == 0) {
      i = sql.find("*/", i);
      if (i != std::string::npos) i += 2;
    } else {
      break;
    }
  }
  std::string word;
  for (; i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i])); ++i) {
    word += static_cast<char>(std::tolower(static_cast<unsigned char>(sql[i])));
  }
  return word;
}

std::vector<std::string> CreatedTables(const std::string& script) {
  static const std::regex kCreateTable(
      R"(^\s*CREATE\s+TABLE\s+(?:IF\s+NOT\s+EXISTS\s+)?(?:[\[\]"`\w]+\.)?[\["`]?(\w+))",
      std::regex::icase);
  std::vector<std::string> tables;
  for (const std::string& statement : SplitSqlScript(script)) {
    std::smatch match;
    if (std::regex_search(statement, match, kCreateTable)) tables.push_back(match[1]);
  }
  return tables;
}

std::vector<std::string> CreatedColumns(const std::string& script, const std::string& table) {
  static const std::regex kCreateTable(
      R"(^\s*CREATE\s+TABLE\s+(?:IF\s+NOT\s+EXISTS\s+)?(?:[\[\]"`\w]+\.)?[\["`]?(\w+))",
      std::regex::icase);
  static const std::regex kColumn(R"(^\s*[\["`]?(\w+)[\]"`]?)");
  static const std::regex kNotColumn(R"(^(primary|key|index|unique|constraint|foreign|check|fulltext)$)",
                                     std::regex::icase);
  for (const std::string& statement : SplitSqlScript(script)) {
    std::smatch match;
    if (!std::regex_search(statement, match, kCreateTable)) continue;
    if (LowerAscii(match[1]) != LowerAscii(table)) continue;
    // The definitions between the outer parentheses, cut at commas that
    // stand outside inner ones (DECIMAL(10,2)).
    std::vector<std::string> columns;
    const size_t open = statement.find('(');
    const size_t close = statement.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return columns;
    int depth = 0;
    std::string piece;
    auto take = [&] {
      std::smatch column;
      if (std::regex_search(piece, column, kColumn) && !std::regex_match(column[1].str(), kNotColumn)) {
        columns.push_back(column[1]);
      }
      piece.clear();
    };
    for (size_t i = open + 1; i < close; ++i) {
      const char c = statement[i];
      if (c == '(') ++depth;
      if (c == ')') --depth;
      if (c == ',' && depth == 0) {
        take();
      } else {
        piece.push_back(c);
      }
    }
    take();
    return columns;
  }
  return {};
}

std::vector<CreatedIndex> CreatedIndexes(const std::string& script) {
  static const std::regex kCreateIndex(
      R"(^\s*CREATE\s+(?:UNIQUE\s+)?(?:\w+\s+)?INDEX\s+(?:IF\s+NOT\s+EXISTS\s+)?[\["`]?(\w+)[\]"`]?\s+ON\s+(?:[\[\]"`\w]+\.)?[\["`]?(\w+))",
      std::regex::icase);
  static const std::regex kCreateTable(
      R"(^\s*CREATE\s+TABLE\s+(?:IF\s+NOT\s+EXISTS\s+)?(?:[\[\]"`\w]+\.)?[\["`]?(\w+))",
      std::regex::icase);
  // An index line of a table's definition: "INDEX name (", "KEY name (",
  // "UNIQUE [INDEX|KEY] name (".
  static const std::regex kInlineIndex(
      R"((?:^|[,(])\s*(?:UNIQUE\s+)?(?:INDEX|KEY)\s+[\["`]?(\w+)[\]"`]?\s*\()",
      std::regex::icase);
  std::vector<CreatedIndex> indexes;
  for (const std::string& statement : SplitSqlScript(script)) {
    std::smatch match;
    if (std::regex_search(statement, match, kCreateIndex)) {
      indexes.push_back({match[2], match[1]});
    } else if (std::regex_search(statement, match, kCreateTable)) {
      const std::string table = match[1];
      for (auto it = std::sregex_iterator(statement.begin(), statement.end(), kInlineIndex);
           it != std::sregex_iterator(); ++it) {
        indexes.push_back({table, (*it)[1]});
      }
    }
  }
  return indexes;
}

}  // namespace zelvar
