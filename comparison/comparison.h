// The comparison run: the control file "CompareThese.inp" names two data files;
// both are loaded and the sum, over the second file's rows, of the squared
// difference of the scaled second columns is written as one result line.
//
// Only column 2 reaches the result: the reference's is kept (one column of
// kMaxRows doubles, zero beyond its rows), and the compared file's rows are
// summed as they are read, in row order. Companions wrap the two sinks below
// to see the same loads.
#pragma once

#include <cstddef>

#include "datafile/datafile.h"

namespace velmora {

inline constexpr char kControlFileName[] = "CompareThese.inp";
inline constexpr int kControlChannel = 11;

// The numbers the control file's statements carry in diagnostics.
struct ControlStatements {
  int open, rewind, firstName, secondName, close;
};
inline constexpr ControlStatements kControlStatements{
    .open = 25, .rewind = 26, .firstName = 28, .secondName = 116, .close = 205};

// The process set-up every program of the tool makes first: a closed standard
// descriptor is occupied (with /dev/null), so that no file it opens can take
// its place and be written to; a reader of standard output that went away,
// or output past the file-size limit, becomes a failed write instead of a
// signal.
void prepareProcess();

// The whole run, from the control file to the result line. Returns the exit
// status (0); every failure ends the process with its diagnostic and status 2.
int runComparison();

// A column 2 value as the comparison holds it: file value x 1000.
inline double scaleColumn2(double fileValue) { return fileValue * 1000; }

// The reference's column 2, scaled, kept for the compared rows to meet:
// kMaxRows doubles allocated once (fatal when out of memory), zero beyond the
// rows stored, as a row the reference lacks compares with zero.
class ReferenceColumn {
 public:
  ReferenceColumn();
  ~ReferenceColumn();
  ReferenceColumn(const ReferenceColumn&) = delete;
  ReferenceColumn& operator=(const ReferenceColumn&) = delete;
  [[nodiscard]] const double* values() const { return values_; }
  void store(std::size_t row, double fileValue) { values_[row - 1] = scaleColumn2(fileValue); }
  // Zeroes the first `rows` positions again, for a column used more than once.
  void clear(std::size_t rows);

 private:
  double* values_;
};

// The reference load's sink: stores column 2.
struct ReferenceSink : NoLoadEvents {
  ReferenceColumn* column;
  void row(const RowSeen& seen) { column->store(seen.row, seen.values[1]); }
};

// The compared load's sink: adds each row's square of (compared - reference),
// both scaled, in row order, each square rounded once: the same bits on
// every build.
struct SquaredDifferences : NoLoadEvents {
  const double* reference;
  double total = 0;
  void row(const RowSeen& seen) { total += squaredDifference(seen.row, seen.values[1]); }
  // The row's square as it enters the total.
  [[nodiscard]] double squaredDifference(std::size_t row, double fileValue) const {
    const double difference = scaleColumn2(fileValue) - reference[row - 1];
    return difference * difference;
  }
};

// The result line for a total (a sum of squares: NaN, +Infinity, or finite and
// not negative): a blank, a 25-character field, a line feed; 27 bytes in all,
// written to `line` (which needs room for 28, a NUL included).
//   0     ->    0.0000000000000000            2.5  ->    2.5000000000000000
//   0.5   ->   0.50000000000000000            3e-5 ->    3.0000000000000001E-005
//   1e20  ->    1.0000000000000000E+020       NaN, Infinity right-justified
// Fixed form for zero and magnitudes in [0.1, 1e17), exponent form otherwise;
// 17 significant digits, correctly rounded, halfway cases to even.
inline constexpr std::size_t kResultLineLength = 27;
void formatResultLine(double total, char* line);

}  // namespace velmora
