// What explains the total: a relation between the compared file's column 2
// and the reference, found by a bounded search and confirmed on every row.
//
// A relation has three parts, each of which may be absent:
//   - a row map: which reference row each compared row corresponds to, as
//     runs of consecutive compared rows (rows missing or extra, a shift from
//     some row on, a regular step, the reverse order), or the reference
//     sorted by one of its columns;
//   - a value map: compared column 2 = factor x (reference column c) + offset;
//   - a precision: the compared value is the mapped one rounded or cut to d
//     decimals or to s significant digits.
// A piece is a relation that holds on one run of rows only, the rows
// elsewhere following another relation (most often the same rows as they are).
//
// How it is searched, so that a million rows cost a few passes:
//   - row maps by hashing: each compared row is looked up among the reference
//     rows by the columns that identify it (columns 1 and 3, or all three, or
//     column 2), taking the next reference row first, so runs cost no lookup;
//   - value maps and precisions by sampling: candidates are fitted on pairs
//     of sampled rows (a few rows that differ do not spoil a fit of two other
//     rows) and scored on the sample;
//   - the best candidate is then confirmed on every row.
// A relation is claimed only where it holds on at least 90% of the rows it
// covers, on at least 5 rows, where a piece has at least 10 rows or 10% of
// the table, where the row map accounts for half the compared rows or more,
// and where following it removes more than half the total.
//
// Rows count from 0 here; the report counts them from 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace velmora::explain {

// One table's columns as read (file units), and its row count.
struct RelationTable {
  const double* column[3];
  std::size_t rows;
};

// How a compared row's column 2 is written (its decimals and significant
// digits, as the reader scanned it), where its record is at hand; -1: not
// known.
struct WrittenDigits {
  int decimals = -1;
  int significant = -1;
};
using WrittenDigitsOf = std::function<WrittenDigits(std::size_t comparedRow)>;

struct RelationInput {
  RelationTable reference, compared;
  double total;  // the total, as summed
  // Asked for the sampled rows only; may be empty.
  WrittenDigitsOf written;
};

// Compared rows first..last correspond to reference rows
// referenceFirst, referenceFirst + step, ...
struct RelationRun {
  std::size_t comparedFirst, comparedLast, referenceFirst;
  long long step;
};

enum class RowMapKind { Same, Runs, SortedBy };

struct ValueMap {
  int column = 2;     // 1, 2 or 3
  double factor = 1;
  double offset = 0;
  bool identity() const { return column == 2 && factor == 1 && offset == 0; }
};

enum class PrecisionKind { None, Decimals, SignificantDigits };

struct Precision {
  PrecisionKind kind = PrecisionKind::None;
  int digits = 0;
  bool cut = false;   // cut (towards zero) rather than rounded
};

// A compared row that does not follow the relation: a genuine difference.
struct RelationException {
  std::size_t row;             // compared row
  std::size_t referenceRow;    // the reference row it corresponds to
  double expected;             // what the relation gives, file units
  double square;               // its part of the residual, scaled as the total
};

struct Relation {
  RowMapKind rowMap = RowMapKind::Same;
  std::vector<RelationRun> runs;   // RowMapKind::Runs
  int sortColumn = 0;              // RowMapKind::SortedBy
  bool descending = false;
  ValueMap value;
  Precision precision;
  // A piece: the rows [pieceFirst, pieceLast] follow the relation above,
  // the others `elsewhere` (on the same row map).
  bool piece = false;
  std::size_t pieceFirst = 0, pieceLast = 0;
  ValueMap elsewhere;
  Precision elsewherePrecision;
  // A piece on a row map that is not the same rows: the runs of every row
  // (the piece's own are in `runs`).
  std::vector<RelationRun> allRuns;
  std::size_t holds = 0, of = 0;   // rows that follow it, of the rows it covers
  double residual = 0;             // the total if the compared file followed it exactly
  // Largest square first, NaN first; ties by row.
  std::vector<RelationException> exceptions;
};

// The relations that explain the total, best first (the one that leaves the
// smallest residual); none for a zero or non-finite total.
std::vector<Relation> findRelations(const RelationInput& input);

// Every compared row's part of a relation's residual (0 where it follows),
// for the picture.
std::vector<double> residualSquares(const Relation& relation, std::size_t comparedRows);

// The prediction of a value map and a precision for a reference value.
double mappedValue(const ValueMap& map, double x);
double withPrecision(const Precision& precision, double value);

}  // namespace velmora::explain
