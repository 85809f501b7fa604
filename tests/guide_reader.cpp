#include "tests/guide_reader.h"

#include <fstream>

namespace {

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool IsSeparatorRow(const std::vector<std::string>& cells) {
  for (const std::string& cell : cells) {
    if (cell.find_first_not_of("-: ") != std::string::npos) return false;
  }
  return !cells.empty();
}

}  // namespace

std::vector<std::string> SplitTableRow(const std::string& row) {
  std::string text = Trim(row);
  if (!text.empty() && text.front() == '|') text.erase(0, 1);
  std::vector<std::string> cells;
  std::string cell;
  bool inCode = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size() && text[i + 1] == '|' && !inCode) {
      cell += '|';
      ++i;
    } else if (c == '`') {
      inCode = !inCode;
      cell += c;
    } else if (c == '|' && !inCode) {
      cells.push_back(Trim(cell));
      cell.clear();
    } else {
      cell += c;
    }
  }
  // A row written without its closing "|" still has its last cell.
  if (!Trim(cell).empty()) cells.push_back(Trim(cell));
  return cells;
}

std::vector<std::string> CodeSpans(const std::string& cell) {
  std::vector<std::string> spans;
  std::size_t open = cell.find('`');
  while (open != std::string::npos) {
    const std::size_t close = cell.find('`', open + 1);
    if (close == std::string::npos) break;
    spans.push_back(cell.substr(open + 1, close - open - 1));
    open = cell.find('`', close + 1);
  }
  return spans;
}

std::vector<GuideTableRow> GuideTableUnder(const std::string& path, const std::string& heading) {
  std::ifstream in(path);
  std::vector<GuideTableRow> rows;
  std::string line;
  int number = 0;
  bool underHeading = false;
  bool inTable = false;
  bool headerSeen = false;
  while (std::getline(in, line)) {
    ++number;
    const std::string trimmed = Trim(line);
    if (!underHeading) {
      underHeading = trimmed == heading;
      continue;
    }
    const bool tableLine = !trimmed.empty() && trimmed.front() == '|';
    if (!tableLine) {
      if (inTable) break;                     // the first table ends at its first other line
      if (trimmed.rfind("#", 0) == 0) break;  // the next heading: the section has no table
      continue;
    }
    inTable = true;
    std::vector<std::string> cells = SplitTableRow(trimmed);
    if (!headerSeen) {
      headerSeen = true;  // the header row names the columns
      continue;
    }
    if (IsSeparatorRow(cells)) continue;
    rows.push_back({number, std::move(cells)});
  }
  return rows;
}
