// The progress bar's line on a narrow terminal: the figures stay whole, the
// bar shrinks, the file name is cut.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/output/progress.h"
#include "cli/output/text_width.h"

namespace {

struct LineCase {
  int columns;
  std::string label;
  std::string expected;
};

TEST(CliProgressLine, KeepsTheFiguresAndCutsTheName) {
  const std::string figures =
      " 45%  1234/5678 files  1.5 GiB / 2.0 GiB  100.0 MiB/s  ETA 1:02:03";
  const std::string name = "photos/2026/holidays/a rather long file name.jpg";
  const std::vector<LineCase> cases = {
      // Wide: the whole bar and the whole name.
      {200, name, "[##########--------------] " + figures + "  " + name},
      // 79 columns (an 80-column terminal, one left free): a shorter bar,
      // the ETA whole, the name cut.
      {79, name, "[##----] " + figures + "  "},
      // No name: the bar takes what there is.
      {80, "", "[####-------] " + figures},
      // Narrower than the figures: the bar keeps 6 cells, the figures go last.
      {40, name, "[##----]  45%  1234/5678 files  1.5 GiB "},
      {30, "日本語.txt", "[##----]  45%  1234/5678 files"},
  };
  for (const LineCase& c : cases) {
    const std::string line = layout_bar_line(0.45, figures, c.label, c.columns);
    EXPECT_LE(display_width(line), c.columns) << line;
    EXPECT_EQ(line.substr(0, c.expected.size()), c.expected) << c.columns;
    if (c.columns >= 79) {
      EXPECT_NE(line.find("ETA 1:02:03"), std::string::npos) << line;
    }
  }
}

}  // namespace
