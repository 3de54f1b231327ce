// Tables of the tool's human output: aligned text measured in terminal
// columns, so that Chinese nicks line up, or CSV (RFC 4180) when the
// command line asks for it (--csv). One thread at a time.
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

  // One cell per column, UTF-8, kept whole for CSV.
  void AddRow(std::vector<std::string> cells);
  bool empty() const { return rows_.empty(); }

  // Prints the titles and the rows. As text: two blanks between columns,
  // `indent` blanks before each line, no trailing blanks, line breaks and
  // tabs in cells as blanks, long cells cut to their column's width; an
  // empty table with an `empty_note` prints only that note, indented. As
  // CSV: the titles, then each row whole, fields holding a comma, a quote
  // or a line break between quotes with their quotes doubled, lines ending
  // in CR LF.
  void Print(std::FILE* out, int indent = 2, const std::string& empty_note = "") const;

  // Whether tables print as CSV: set once from the command line.
  static void SetCsv(bool on);
  static bool csv();

 private:
  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

// printf onto standard output, unless tables print as CSV: the lines around
// a table (its caption, notes) would break a CSV reader.
void PrintCaption(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zelvar::cli

#endif  // ZELVAR_TOOLS_ZELVAR_TABLE_H_
