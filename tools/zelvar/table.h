// Aligned text tables for the tool's human output, measured in terminal
// columns so that Chinese nicks line up. One thread at a time.
#ifndef ZELVAR_TOOLS_ZELVAR_TABLE_H_
#define ZELVAR_TOOLS_ZELVAR_TABLE_H_

#include <cstdio>
#include <string>
#include <vector>

namespace zelvar::cli {

class Table {
 public:
  enum class Align { kLeft, kRight };
  struct Column {
    std::string title;
    Align align = Align::kLeft;
    int max_width = 0;  // 0: no limit; longer cells are cut with "…"
  };

  explicit Table(std::vector<Column> columns);

  // One cell per column, UTF-8.
  void AddRow(std::vector<std::string> cells);
  bool empty() const { return rows_.empty(); }

  // Prints the titles and the rows, two blanks between columns and
  // `indent` blanks before each line, without trailing blanks.
  void Print(std::FILE* out, int indent = 2) const;

 private:
  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace zelvar::cli

#endif  // ZELVAR_TOOLS_ZELVAR_TABLE_H_
