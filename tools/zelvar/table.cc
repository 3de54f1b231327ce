// Tables as aligned text or CSV.
#include "tools/zelvar/table.h"

#include <algorithm>
#include <cstdarg>

#include "tools/zelvar/text_util.h"

namespace zelvar::cli {
namespace {

bool csv_output = false;

std::string CsvField(const std::string& cell) {
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

void PrintCsvLine(std::FILE* out, const std::vector<std::string>& cells) {
  std::string line;
  for (size_t c = 0; c < cells.size(); ++c) line += (c > 0 ? "," : "") + CsvField(cells[c]);
  std::fprintf(out, "%s\r\n", line.c_str());
}

// A cell as one line of text at most `max_width` columns wide.
std::string TextCell(std::string cell, int max_width) {
  // A line break inside a cell would break the table.
  std::replace(cell.begin(), cell.end(), '\n', ' ');
  std::replace(cell.begin(), cell.end(), '\r', ' ');
  std::replace(cell.begin(), cell.end(), '\t', ' ');
  return max_width > 0 ? FitWidth(cell, max_width) : cell;
}

}  // namespace

void Table::SetCsv(bool on) { csv_output = on; }
bool Table::csv() { return csv_output; }

void PrintCaption(const char* format, ...) {
  if (csv_output) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
}

Table::Table(std::vector<Column> columns) : columns_(std::move(columns)) {}

void Table::AddRow(std::vector<std::string> cells) {
  cells.resize(columns_.size());
  rows_.push_back(std::move(cells));
}

void Table::Print(std::FILE* out, int indent, const std::string& empty_note) const {
  std::vector<std::string> titles;
  for (const Column& column : columns_) titles.push_back(column.title);
  if (csv_output) {
    PrintCsvLine(out, titles);
    for (const auto& row : rows_) PrintCsvLine(out, row);
    return;
  }
  if (rows_.empty() && !empty_note.empty()) {
    std::fprintf(out, "%s%s\n", std::string(static_cast<size_t>(indent), ' ').c_str(), empty_note.c_str());
    return;
  }
  std::vector<std::vector<std::string>> rows;
  for (const auto& row : rows_) {
    rows.emplace_back();
    for (size_t c = 0; c < row.size(); ++c) rows.back().push_back(TextCell(row[c], columns_[c].max_width));
  }
  std::vector<int> widths;
  for (const Column& column : columns_) widths.push_back(DisplayWidth(column.title));
  for (const auto& row : rows) {
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
  print_line(titles);
  for (const auto& row : rows) print_line(row);
}

}  // namespace zelvar::cli
