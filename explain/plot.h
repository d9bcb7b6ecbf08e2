// The picture of a comparison: where along the compared file the total comes
// from. One self-contained SVG file (no script, no external font or style) that
// any browser opens:
//   - x is the row number, 1 to the compared file's row count;
//   - the left axis is the square of each row's scaled difference, on a
//     logarithmic scale; rows that do not differ lie on a baseline marked 0;
//   - a second line is the cumulative share of the total, 0 to 100% on the
//     right axis;
//   - the title holds both file names and the result line;
//   - the rows the reference file lacks lie on a hatched band, labelled;
//   - the first row that differs is marked by a dashed upright line, and the
//     largest square by a circle, each labelled where no line crosses the
//     label (a label that finds no such place gets a white ground);
//   - the zero squares lie on the baseline, below a marked break in the
//     logarithmic axis;
//   - under the picture, the first findings of the report, as a caption;
//   - where a relation explains the total, the residual each row would
//     leave if the compared file followed the caption's first finding, as a
//     third line on the same axis, its total in the legend.
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
#include <span>
#include <string>
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
  std::size_t referenceRows;    // rows past this one have no reference row
  std::size_t firstDifference;  // the first row that differs, from 1; 0: none
  std::span<const std::string> caption;  // findings, most important first, each "kind: text"
  // What would remain after the first relation of the caption: each row's
  // square if the compared file followed it, and their total as text;
  // drawn beside the squares when given.
  const double* residual = nullptr;
  std::string_view residualTotal = {};
};

// Findings a picture's caption holds at most.
inline constexpr std::size_t kCaptionFindings = 3;

// Writes a self-contained SVG; false when a write failed (errno tells why).
bool writePlot(std::FILE* out, const PlotData& data);

}  // namespace velmora::explain
