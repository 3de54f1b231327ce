// Schema scripts taken apart into statements.

#include "util/sql_script.h"

#include <algorithm>
#include <cctype>
#include <regex>

namespace zelvar {

namespace {

// Whether the line from `start` holds only GO, SQL Server's batch
// separator; `end` receives where the line ends.
bool IsGoLine(const std::string& script, size_t start, size_t* end) {
  *end = script.find('\n', start);
  if (*end == std::string::npos) *end = script.size();
  std::string line = script.substr(start, *end - start);
  line.erase(std::remove_if(line.begin(), line.end(),
                            [](char ch) { return std::isspace(static_cast<unsigned char>(ch)); }),
             line.end());
  std::transform(line.begin(), line.end(), line.begin(),
                 [](char ch) { return static_cast<char>(std::tolower(static_cast<unsigned char>(ch))); });
  return line == "go";
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

}  // namespace zelvar
