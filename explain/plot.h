// The picture of a comparison: where along the compared file the total comes
// from. One self-contained SVG file (no script, no external font or style) that
// any browser opens:
//   - x is the row number, 1 to the compared file's row count;
//   - the left axis is the square of each row's scaled difference, on a
//     logarithmic scale; rows that do not differ lie on a baseline marked 0;
//   - a second line is the cumulative share of the total, 0 to 100% on the
//     right axis;
//   - the title holds both file names and the result line.
// However many rows there are, each line holds at most kMaxPlotPoints points:
// the rows are cut into that many runs of consecutive rows, and each run is
// drawn by its largest square, so no spike is ever lost. A million-row pair
// gives a file of well under 300 KB.
// Names are bytes: they are written as XML text whatever they hold; control
// characters, backslashes and bytes that are not valid UTF-8 show as \xHH
// (and \\), so the file is always well-formed XML.
// A NaN or infinite total, NaN or infinite squares, no rows at all and a zero
// total are all drawn and said in words in the picture; no coordinate is
// ever NaN.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

namespace velmora::explain {

inline constexpr std::size_t kMaxPlotPoints = 2000;

struct PlotData {
  std::string_view referenceName;
  std::string_view comparedName;
  std::string_view resultLine;  // the 26 characters, no line feed
  const double* squares;        // squares[i]: contribution of compared row i+1
  std::size_t rows;             // the compared file's row count
  double total;
};

// Writes a self-contained SVG; false when a write failed (errno tells why).
bool writePlot(std::FILE* out, const PlotData& data);

}  // namespace velmora::explain
