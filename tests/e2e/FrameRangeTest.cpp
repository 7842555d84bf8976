// Frame ranges as moravane-cli's --frames reads them, row by row from the
// table the Python package's tests read too (tests/data/frame-ranges.tsv),
// so that the two readers of the one header cannot come to differ.
#include <moravane/Host.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using moravane::host::FrameRangeError;
using testing::HasSubstr;

struct Row {
  int line = 0;
  std::string text;
  long count = 0;
  std::string expected;  // the frames, or !kind
  std::string message;   // a part of the error's message
};

std::vector<Row> ReadTable() {
  std::ifstream file(FRAME_RANGES_TSV);
  std::vector<Row> rows;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> cells;
    std::stringstream split(line);
    for (std::string cell; std::getline(split, cell, '\t');) cells.push_back(cell);
    Row row;
    row.line = number;
    row.text = cells.at(0) == "\"\"" ? "" : cells.at(0);
    row.count = std::stol(cells.at(1));
    row.expected = cells.at(2);
    if (cells.size() > 3) row.message = cells[3];
    rows.push_back(row);
  }
  return rows;
}

const char* KindName(FrameRangeError::Kind kind) {
  switch (kind) {
    case FrameRangeError::Kind::kSyntax:
      return "!syntax";
    case FrameRangeError::Kind::kOutside:
      return "!outside";
    case FrameRangeError::Kind::kEmpty:
      return "!empty";
  }
  return "?";
}

TEST(FrameRange, EveryRowOfTheSharedTable) {
  const std::vector<Row> rows = ReadTable();
  ASSERT_GT(rows.size(), 30u) << FRAME_RANGES_TSV;
  for (const Row& row : rows) {
    SCOPED_TRACE("frame-ranges.tsv:" + std::to_string(row.line) + " '" + row.text + "'");
    std::string got;
    try {
      const moravane::host::FrameSpan span =
          moravane::host::ResolveFrameRange(moravane::host::ParseFrameRange(row.text), row.count);
      for (long n = span.first; n < span.end; n += span.step) got += (got.empty() ? "" : " ") + std::to_string(n);
      EXPECT_EQ(span.Size(), static_cast<long>(std::count(got.begin(), got.end(), ' ') + 1));
    } catch (const FrameRangeError& error) {
      got = KindName(error.GetKind());
      EXPECT_THAT(error.what(), HasSubstr(row.message));
    }
    EXPECT_EQ(got, row.expected);
  }
}

}  // namespace
