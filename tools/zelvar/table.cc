// Aligned text tables.
#include "tools/zelvar/table.h"

#include <algorithm>

#include "tools/zelvar/text_util.h"

namespace zelvar::cli {

Table::Table(std::vector<Column> columns) : columns_(std::move(columns)) {}

void Table::AddRow(std::vector<std::string> cells) {
  cells.resize(columns_.size());
  for (size_t c = 0; c < cells.size(); ++c) {
    // A line break inside a cell would break the table.
    std::replace(cells[c].begin(), cells[c].end(), '\n', ' ');
    std::replace(cells[c].begin(), cells[c].end(), '\r', ' ');
    std::replace(cells[c].begin(), cells[c].end(), '\t', ' ');
    if (columns_[c].max_width > 0) cells[c] = FitWidth(cells[c], columns_[c].max_width);
  }
  rows_.push_back(std::move(cells));
}

void Table::Print(std::FILE* out, int indent) const {
  std::vector<int> widths;
  for (const Column& column : columns_) widths.push_back(DisplayWidth(column.title));
  for (const auto& row : rows_) {
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], DisplayWidth(row[c]));
  }
  auto print_line = [&](const std::vector<std::string>& cells) {
    std::string line(static_cast<size_t>(indent), ' ');
    for (size_t c = 0; c < cells.size(); ++c) {
      const std::string pad(static_cast<size_t>(widths[c] - DisplayWidth(cells[c])), ' ');
      if (c > 0) line += "  ";
      line += columns_[c].align == Align::kRight ? pad + cells[c] : cells[c] + pad;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::fprintf(out, "%s\n", line.c_str());
  };
  std::vector<std::string> titles;
  for (const Column& column : columns_) titles.push_back(column.title);
  print_line(titles);
  for (const auto& row : rows_) print_line(row);
}

}  // namespace zelvar::cli
