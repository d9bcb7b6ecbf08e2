// The comparison run: the control file "CompareThese.inp" names two data files;
// both are loaded and the sum, over the second file's rows, of the squared
// difference of the scaled second columns is written as one result line.
#pragma once

#include <cstddef>

namespace velmora {

inline constexpr char kControlFileName[] = "CompareThese.inp";
inline constexpr int kControlChannel = 11;

// The numbers the control file's statements carry in diagnostics.
struct ControlStatements {
  int open, rewind, firstName, secondName, close;
};
inline constexpr ControlStatements kControlStatements{
    .open = 25, .rewind = 26, .firstName = 28, .secondName = 116, .close = 205};

// The whole run, from the control file to the result line. Returns the exit
// status (0); every failure ends the process with its diagnostic and status 2.
int runComparison();

// Sum over i < rows of (compared[i] - reference[i])^2, in row order, each square
// rounded once: the same bits on every build.
double sumOfSquaredDifferences(const double* compared, const double* reference, std::size_t rows);

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
