// Reads the tables of docs/administrator-guide.md, so that the tests can hold
// what the guide tells an administrator against what the code does.
#pragma once

#include <string>
#include <vector>

inline const std::string kGuideFile = SPOOLSYNC_SOURCE_DIR "/docs/administrator-guide.md";

// One body row of a Markdown table: its line in the file (from 1) and its
// cells, trimmed, in order.
struct GuideTableRow {
  int line = 0;
  std::vector<std::string> cells;
};

// The body rows of the first table after the heading line `heading` (written
// as in the file, "## The debugger lines"); empty when the heading or the
// table is not there. The header row and the separator row are left out.
std::vector<GuideTableRow> GuideTableUnder(const std::string& path, const std::string& heading);

// The cells of one table row. A "|" inside a code span or escaped as "\|"
// does not end a cell.
std::vector<std::string> SplitTableRow(const std::string& row);

// The contents of the code spans (`...`) of a cell, in order, as written:
// the spaces inside the backticks are part of them.
std::vector<std::string> CodeSpans(const std::string& cell);
